// Files whose contents must survive a crash or a full disk: the audit log and the users file.
// Writes go to known offsets and reach the disk on Sync; a rename is made durable with its folder;
// a file replaced is written beside it first, so a reader or a crash finds the old file or the
// new, never a part. The system calls differ (`_posix`: open, pwrite, fdatasync, flock;
// `_win32`: CreateFile, WriteFile at an offset, FlushFileBuffers, an owner-only access list).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// A file this process alone writes.
class DurableFile {
public:
    enum class Creation {
        OpenOrCreate,  // an existing file is written on where it ends
        New,           // fails when the file exists
    };
    // Creates the file readable and writable by its owner only (an existing file keeps its
    // permissions). Throws std::runtime_error naming the file and the reason, also when another
    // process writes it.
    DurableFile(const std::string &path, Creation creation);
    ~DurableFile();
    DurableFile(const DurableFile &) = delete;
    DurableFile &operator=(const DurableFile &) = delete;

    // The size when opened.
    uint64_t InitialSize() const { return initialSize_; }
    // All of `data` at `offset`, or std::runtime_error (the disk full, an I/O error). May be
    // called from several threads for parts that do not overlap.
    void WriteAt(uint64_t offset, std::string_view data);
    // What was written is on the disk when this returns; std::runtime_error otherwise.
    void Sync();
    // Cuts the file to `size`, to undo a write that failed half-way; false when it cannot.
    bool Truncate(uint64_t size) noexcept;

private:
    std::string path_;
    intptr_t handle_;
    uint64_t initialSize_ = 0;
};

// A file read while its writer may rename or remove it (a rotation never waits for a reader).
class SharedReader {
public:
    // Nothing to read when the file does not exist.
    explicit SharedReader(const std::string &path);
    ~SharedReader();
    SharedReader(const SharedReader &) = delete;
    SharedReader &operator=(const SharedReader &) = delete;

    // Up to buffer.size() bytes; 0 at the end.
    size_t Read(std::span<char> buffer);

private:
    intptr_t handle_;
};

// Renames `from` to `to`, replacing `to`, and makes the change durable. Throws
// std::runtime_error.
void MoveOver(const std::string &from, const std::string &to);

// Removes the file if it exists, also while a SharedReader still reads it. Throws
// std::runtime_error when it exists and cannot be removed.
void RemoveFile(const std::string &path);

// Replaces the file at `path` (or makes it) with `contents`, readable and writable by its owner
// only: written to a new file beside it, synced, then moved over it. Throws std::runtime_error.
void ReplacePrivateFile(const std::string &path, std::string_view contents);

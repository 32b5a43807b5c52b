// The audit log: every setting, accepted or refused, and every refused token, one JSON line each
// with the keys time (UTC, milliseconds), user, role, door, client, device, command, status and
// reply, in a file rotated by size (FILE.1 the newest of a bounded number of old files).
//
// A command is recorded in two steps on one line. Begin writes the line before the command is
// sent, with "status": null and blank room for the outcome, and returns once the line is on the
// disk; if it cannot be written (the disk full, the file gone) the command must be refused, as a
// safety interlock would. Finish writes the status and reply into the kept room, which needs no
// new space on the disk, so a full disk cannot lose an outcome either. After a crash a line with
// "status": null tells of a command whose outcome was not recorded. Begin is to be called within
// the device's turn of its executor, so that the lines of a device stand in the order the device
// ran the commands. Safe to use from any thread.
#pragma once

#include "durable_file.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct AuditOptions {
    std::string path;
    uint64_t maxBytes = 10 << 20;  // a file is rotated before it would grow past this
    unsigned keptFiles = 5;        // FILE.1 ... FILE.N
};

// Why the options cannot be used (a size below 4096 bytes, no old file kept, or more than 100),
// or nothing.
std::optional<std::string> AuditOptionsProblem(const AuditOptions &options);

// The doors an entry may name.
inline constexpr std::string_view kAuditDoors[] = {"http", "socket", "dashboard", "mqtt", "modbus"};

struct AuditEntry {
    std::optional<std::string> user;  // nothing: no user (a refused token, Modbus)
    std::optional<std::string> role;
    std::string door;                   // one of kAuditDoors
    std::string client;                 // the client's address and port, or its MQTT client id
    std::optional<std::string> device;  // nothing: none named
    std::string command;
};

// The audit log cannot take the entry: the command must not run.
struct AuditUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class AuditLog {
    struct File;

public:
    // Opens the log, making it (readable by its owner only) if need be. Throws AuditUnavailable.
    explicit AuditLog(AuditOptions options);
    ~AuditLog();
    AuditLog(const AuditLog &) = delete;
    AuditLog &operator=(const AuditLog &) = delete;

    // A command's line, waiting for its outcome.
    class Pending {
    public:
        // The library's status and reply (at most 99 bytes are kept, as the library never gives
        // more), into the line's room. False when the write failed: the line keeps "status": null.
        bool Finish(int32_t status, std::string_view reply);
        // A command that was never sent (the device busy or gone, an earlier command failed, the
        // log could not take a later line of its batch): `status` is a word of at most 9
        // letters ("busy", "gone", "unsent"), `reply` why.
        bool Finish(std::string_view status, std::string_view reply);

    private:
        friend class AuditLog;
        bool Fill(const std::string &outcome);
        Pending(std::shared_ptr<File> file, uint64_t offset)
            : file_(std::move(file)), offset_(offset) {}
        std::shared_ptr<File> file_;
        uint64_t offset_;  // where the outcome goes
    };

    // The line of a command about to be sent, on the disk. Throws AuditUnavailable.
    Pending Begin(const AuditEntry &entry);

    // The line of a request refused before any command ran: status "limit", "role", "token" or
    // "read-only", reply the sentence the client was given. On the disk when this returns; throws
    // AuditUnavailable (the request stays refused; the log cannot tell of it).
    void Refused(const AuditEntry &entry, std::string_view status, std::string_view reply);

    // The log's files as they are now, oldest first; a rotation while they are read changes
    // nothing in what they give.
    std::vector<std::unique_ptr<SharedReader>> Snapshot() const;

    const AuditOptions &Options() const { return options_; }

private:
    struct Placed {
        std::shared_ptr<File> file;
        uint64_t offset;
    };
    Placed Append(const std::string &line);
    void Rotate();
    std::string NameOf(unsigned generation) const;

    const AuditOptions options_;
    std::mutex mutex_;  // the end of the file, rotation
    mutable std::shared_mutex
        renaming_;                   // held by a rotation; readers take their snapshot under it
    std::shared_ptr<File> current_;  // null after a rotation that could not open the new file
    uint64_t end_ = 0;
};

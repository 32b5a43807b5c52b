#include "durable_file.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string &what, const std::string &path, int error) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

std::string FolderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new name or a removal is durable once the folder holding it is.
void SyncFolderOf(const std::string &path) {
    const std::string folder = FolderOf(path);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open the folder", folder, errno);
    const int synced = fsync(fd);
    const int error = errno;
    close(fd);
    if (synced != 0) Fail("cannot sync the folder", folder, error);
}

int FileOf(intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

DurableFile::DurableFile(const std::string &path, Creation creation) : path_(path) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (creation == Creation::New ? O_EXCL : 0);
    const int fd = open(path.c_str(), flags, S_IRUSR | S_IWUSR);
    if (fd < 0) Fail("cannot open", path, errno);
    handle_ = fd;
    struct stat status {};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &status) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) throw std::runtime_error(path + " is written by another process");
        Fail("cannot open", path, error);
    }
    initialSize_ = static_cast<uint64_t>(status.st_size);
}

DurableFile::~DurableFile() { close(FileOf(handle_)); }

void DurableFile::WriteAt(uint64_t offset, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written =
            pwrite(FileOf(handle_), data.data(), data.size(), static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) Fail("cannot write", path_, written < 0 ? errno : ENOSPC);
        data.remove_prefix(static_cast<size_t>(written));
        offset += static_cast<uint64_t>(written);
    }
}

void DurableFile::Sync() {
    if (fdatasync(FileOf(handle_)) != 0) Fail("cannot sync", path_, errno);
}

bool DurableFile::Truncate(uint64_t size) noexcept {
    return ftruncate(FileOf(handle_), static_cast<off_t>(size)) == 0;
}

SharedReader::SharedReader(const std::string &path)
    : handle_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

SharedReader::~SharedReader() {
    if (handle_ >= 0) close(FileOf(handle_));
}

size_t SharedReader::Read(std::span<char> buffer) {
    if (handle_ < 0) return 0;
    for (;;) {
        const ssize_t count = read(FileOf(handle_), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        return count < 0 ? 0 : static_cast<size_t>(count);
    }
}

void MoveOver(const std::string &from, const std::string &to) {
    if (rename(from.c_str(), to.c_str()) != 0) Fail("cannot rename " + from + " to", to, errno);
    SyncFolderOf(to);
}

void RemoveFile(const std::string &path) {
    if (unlink(path.c_str()) != 0) {
        if (errno == ENOENT) return;
        Fail("cannot remove", path, errno);
    }
    SyncFolderOf(path);
}

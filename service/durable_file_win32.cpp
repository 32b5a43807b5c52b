#include "durable_file.h"

#include "crypto.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const std::string &what, const std::string &path, DWORD error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string reason(text);
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
        reason.pop_back();
    throw std::runtime_error(what + " " + path + ": " +
                             (reason.empty() ? "error " + std::to_string(error) : reason));
}

HANDLE HandleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// "S-1-5-21-..." of the account this process runs as.
std::string CurrentAccount() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        Fail("cannot read", "the process token", GetLastError());
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<char[]> buffer(new char[size]);
    const BOOL read = GetTokenInformation(token, TokenUser, buffer.get(), size, &size);
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (!read) Fail("cannot read", "the process token", error);
    char *text = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer.get())->User.Sid, &text))
        Fail("cannot read", "the process token", GetLastError());
    const std::string account(text);
    LocalFree(text);
    return account;
}

// Full access for this account, the system and the administrators, nothing inherited: what
// PrivateFileProblem takes as private.
struct OwnerOnly {
    OwnerOnly() {
        const std::string description =
            "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + CurrentAccount() + ")";
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
                description.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
            Fail("cannot make", "an access list", GetLastError());
        }
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
    }
    ~OwnerOnly() { LocalFree(descriptor); }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{};
};

}  // namespace

DurableFile::DurableFile(const std::string &path, Creation creation) : path_(path) {
    OwnerOnly access;
    // No one else may write; readers and this process's renames and removals may go on.
    const HANDLE file = CreateFileA(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &access.attributes,
        creation == Creation::New ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            throw std::runtime_error(path + " is written by another process");
        Fail("cannot open", path, error);
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        Fail("cannot open", path, error);
    }
    initialSize_ = static_cast<uint64_t>(size.QuadPart);
}

DurableFile::~DurableFile() { CloseHandle(HandleOf(handle_)); }

void DurableFile::WriteAt(uint64_t offset, std::string_view data) {
    while (!data.empty()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(HandleOf(handle_), data.data(), chunk, &written, &at))
            Fail("cannot write", path_, GetLastError());
        if (written == 0) Fail("cannot write", path_, ERROR_DISK_FULL);
        data.remove_prefix(written);
        offset += written;
    }
}

void DurableFile::Sync() {
    if (!FlushFileBuffers(HandleOf(handle_))) Fail("cannot sync", path_, GetLastError());
}

bool DurableFile::Truncate(uint64_t size) noexcept {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(HandleOf(handle_), end, nullptr, FILE_BEGIN) &&
           SetEndOfFile(HandleOf(handle_));
}

SharedReader::SharedReader(const std::string &path)
    : handle_(reinterpret_cast<intptr_t>(CreateFileA(
          path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))) {}

SharedReader::~SharedReader() {
    if (HandleOf(handle_) != INVALID_HANDLE_VALUE) CloseHandle(HandleOf(handle_));
}

size_t SharedReader::Read(std::span<char> buffer) {
    if (HandleOf(handle_) == INVALID_HANDLE_VALUE) return 0;
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(buffer.size(), 1u << 30));
    return ReadFile(HandleOf(handle_), buffer.data(), wanted, &count, nullptr) ? count : 0;
}

void MoveOver(const std::string &from, const std::string &to) {
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Fail("cannot rename " + from + " to", to, GetLastError());
}

void RemoveFile(const std::string &path) {
    // A file still open in a reader is only marked for removal and keeps its name until the
    // reader closes it; moved aside first, the name is free at once for the next rotation.
    const std::string aside = path + ".removed-" + RandomHex(4);
    if (!MoveFileExA(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        Fail("cannot remove", path, error);
    }
    if (!DeleteFileA(aside.c_str())) Fail("cannot remove", aside, GetLastError());
}

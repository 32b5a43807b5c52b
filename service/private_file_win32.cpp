#include "private_file.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>

namespace {

// What lets an account read the file's contents.
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// Accounts that may read any file anyway: the file's owner, the system, the administrators.
bool MayReadAnyway(PSID account, PSID owner) {
    return EqualSid(account, owner) || IsWellKnownSid(account, WinLocalSystemSid) ||
           IsWellKnownSid(account, WinBuiltinAdministratorsSid) ||
           IsWellKnownSid(account, WinCreatorOwnerSid);
}

// "DOMAIN\name", or the account's S-1-... form when it has no name here.
std::string AccountName(PSID account) {
    char name[256], domain[256];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use{};
    if (LookupAccountSidA(nullptr, account, name, &nameSize, domain, &domainSize, &use))
        return domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
    char *text = nullptr;
    if (!ConvertSidToStringSidA(account, &text)) return "another account";
    const std::string sid(text);
    LocalFree(text);
    return sid;
}

}  // namespace

std::optional<std::string> PrivateFileProblem(const std::string &path) {
    PSID owner = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                               &owner, nullptr, &access, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) return "cannot read " + path;
    const std::unique_ptr<void, decltype(&LocalFree)> freed(descriptor, LocalFree);
    const std::string fix = " (allow only yourself: icacls \"" + path +
                            "\" /inheritance:r /grant:r \"%USERNAME%:F\")";
    // No list at all lets everyone in.
    if (access == nullptr) return path + " may be read by everyone" + fix;
    for (WORD index = 0; index < access->AceCount; ++index) {
        void *entry = nullptr;
        if (!GetAce(access, index, &entry)) return "cannot read the permissions of " + path;
        const auto *header = static_cast<const ACE_HEADER *>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(entry);
        const PSID account = &allowed->SidStart;
        if ((allowed->Mask & kReadRights) != 0 && !MayReadAnyway(account, owner))
            return path + " may be read by others than its owner (" + AccountName(account) + ")" + fix;
    }
    return std::nullopt;
}

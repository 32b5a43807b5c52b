// The service's users: each a name, a role and the SHA-256 digest of a token that only the user
// holds (the service made it, 128 random bits, and showed it once). The file is text, one user a
// line: "NAME ROLE sha256:DIGEST", with "#" comments and blank lines kept as written; text rather
// than JSON so that an admin can read, review and revoke with an editor and grep, and a change
// touches one line. Only its owner may read it (the same check as the token file), and it never
// holds a token: a digest cannot be presented.
#pragma once

#include "crypto.h"
#include "roles.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct User {
    std::string name;
    Role role;
    Sha256Digest digest;
};

// The name the --token-file's admin goes by in the audit log; no users file may give it.
inline constexpr std::string_view kTokenFileUser = "token-file";

// Why a text cannot name a user, or nothing. A name is 1 to 64 of A-Z a-z 0-9 . _ - @, the first
// a letter or digit.
std::optional<std::string> UserNameProblem(std::string_view name);

// A user's new token: 128 random bits as 32 hexadecimal digits.
std::string MakeUserToken();

// The users file as lines, so that a change keeps every other line as it was written.
class UsersFile {
public:
    UsersFile();  // a file not made yet: its heading comment only

    // Throws std::runtime_error when others may read the file or a line is no user (naming the
    // line), or when two lines give one name or one digest.
    static UsersFile Read(const std::string &path);

    const std::vector<User> &Users() const { return users_; }

    // Adds the user with a new token and gives the token (the only time anyone sees it). Throws
    // std::invalid_argument for a name that cannot be a user's or is taken.
    std::string Add(const std::string &name, Role role);
    // Throws std::invalid_argument when there is no such user.
    void Remove(std::string_view name);

    std::string Text() const;

private:
    void Append(User user, std::string line);

    std::vector<std::string> lines_;
    std::vector<User> users_;
    std::vector<size_t> userLines_;  // the line of each user
};

// Who presents a token: a request costs one digest, compared with every user's in time that does
// not depend on where they differ or which user matches.
class UserDirectory {
public:
    explicit UserDirectory(std::vector<User> users = {});
    // The single --token-file's token, as an admin named kTokenFileUser.
    void AddTokenFileAdmin(std::string_view token);

    // The user whose token this is, or nothing.
    std::optional<User> Find(std::string_view token) const;
    bool Empty() const { return users_.empty(); }

private:
    std::vector<User> users_;
};

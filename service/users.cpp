#include "users.h"

#include "access_policy.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::string_view kDigestPrefix = "sha256:";
constexpr size_t kLongestName = 64;
constexpr size_t kTokenBytes = 16;

constexpr std::string_view kFileHeading[] = {
    "# Users of mavozarp serve, one a line: NAME ROLE sha256:DIGEST-OF-THE-TOKEN",
    "# (change it with mavozarp serve-user; roles: viewer, operator, admin)"};

bool NameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '@';
}

std::optional<Sha256Digest> DigestNamed(std::string_view text) {
    if (!text.starts_with(kDigestPrefix)) return std::nullopt;
    text.remove_prefix(kDigestPrefix.size());
    Sha256Digest digest{};
    if (text.size() != digest.size() * 2) return std::nullopt;
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return digest;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    while (true) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) return words;
        line.remove_prefix(start);
        const size_t end = std::min(line.find_first_of(" \t"), line.size());
        words.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
}

// Equal digests, every byte looked at whatever the others hold.
bool SameDigest(const Sha256Digest &a, const Sha256Digest &b) {
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

}  // namespace

std::optional<std::string> UserNameProblem(std::string_view name) {
    if (name.empty() || name.size() > kLongestName)
        return "a user name is 1 to " + std::to_string(kLongestName) + " characters";
    const bool leadsWell = NameCharacter(name.front()) &&
                           std::string_view(".-_@").find(name.front()) == std::string_view::npos;
    if (!leadsWell || !std::all_of(name.begin(), name.end(), NameCharacter))
        return "a user name is letters, digits and . _ - @, beginning with a letter or digit, " +
               ("not '" + std::string(name) + "'");
    if (name == kTokenFileUser)
        return "the name " + std::string(kTokenFileUser) + " is the --token-file's";
    return std::nullopt;
}

std::string MakeUserToken() { return RandomHex(kTokenBytes); }

UsersFile::UsersFile() : lines_(std::begin(kFileHeading), std::end(kFileHeading)) {}

UsersFile UsersFile::Read(const std::string &path) {
    UsersFile file;
    file.lines_.clear();
    const std::vector<std::string> lines = ReadPrivateFile(path);
    for (size_t number = 1; number <= lines.size(); ++number) {
        const std::string &line = lines[number - 1];
        const std::vector<std::string_view> words = Words(line);
        if (words.empty() || words.front().starts_with('#')) {
            file.lines_.push_back(line);
            continue;
        }
        const std::string where = path + " line " + std::to_string(number) + ": ";
        if (words.size() != 3) throw std::runtime_error(where + "not NAME ROLE sha256:DIGEST");
        if (const auto problem = UserNameProblem(words[0]))
            throw std::runtime_error(where + *problem);
        const std::optional<Role> role = RoleNamed(words[1]);
        if (!role)
            throw std::runtime_error(where + "the role is " + RoleNames() + ", not '" +
                                     std::string(words[1]) + "'");
        const std::optional<Sha256Digest> digest = DigestNamed(words[2]);
        if (!digest)
            throw std::runtime_error(where + "the digest is sha256: and 64 hexadecimal digits");
        for (const User &user : file.users_) {
            if (user.name == words[0])
                throw std::runtime_error(where + "a second user " + user.name);
            if (user.digest == *digest)
                throw std::runtime_error(where + "the token of " + user.name + " again");
        }
        file.Append(User{std::string(words[0]), *role, *digest}, line);
    }
    return file;
}

void UsersFile::Append(User user, std::string line) {
    userLines_.push_back(lines_.size());
    lines_.push_back(std::move(line));
    users_.push_back(std::move(user));
}

std::string UsersFile::Add(const std::string &name, Role role) {
    if (const auto problem = UserNameProblem(name)) throw std::invalid_argument(*problem);
    for (const User &user : users_) {
        if (user.name == name) throw std::invalid_argument("there is a user " + name + " already");
    }
    const std::string token = MakeUserToken();
    User user{name, role, Sha256(token)};
    std::string line = name + " " + std::string(RoleName(role)) + " " + std::string(kDigestPrefix) +
                       HexOf(user.digest);
    Append(std::move(user), std::move(line));
    return token;
}

void UsersFile::Remove(std::string_view name) {
    const auto found = std::find_if(users_.begin(), users_.end(),
                                    [&](const User &user) { return user.name == name; });
    if (found == users_.end()) throw std::invalid_argument("there is no user " + std::string(name));
    const size_t index = static_cast<size_t>(found - users_.begin());
    const size_t line = userLines_[index];
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(line));
    users_.erase(found);
    userLines_.erase(userLines_.begin() + static_cast<std::ptrdiff_t>(index));
    for (size_t &later : userLines_) later -= later > line ? 1 : 0;
}

std::string UsersFile::Text() const {
    std::string text;
    for (const std::string &line : lines_) text += line + "\n";
    return text;
}

UserDirectory::UserDirectory(std::vector<User> users) : users_(std::move(users)) {}

void UserDirectory::AddTokenFileAdmin(std::string_view token) {
    users_.push_back(User{std::string(kTokenFileUser), Role::Admin, Sha256(token)});
}

std::optional<User> UserDirectory::Find(std::string_view token) const {
    const Sha256Digest presented = Sha256(token);
    std::optional<User> found;
    for (const User &user : users_) {
        if (SameDigest(presented, user.digest)) found = user;
    }
    return found;
}

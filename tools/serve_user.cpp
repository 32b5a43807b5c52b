// mavozarp serve-user: the users file of `mavozarp serve --users FILE`, changed a whole file at a
// time (a private file written beside it and moved over it), so that a crash or a full disk never
// leaves half a file. A new user's token is shown once, alone on standard output, so that a
// script can take it: `token=$(mavozarp serve-user add alice operator users)`.
#include "subcommands.h"

#include "durable_file.h"
#include "users.h"

#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace {

struct Action {
    std::string_view name;
    size_t operands;        // after the action
    std::string_view form;  // for a usage mistake
};

constexpr Action kActions[] = {
    {"add", 3, "add NAME ROLE FILE"},
    {"remove", 2, "remove NAME FILE"},
    {"list", 1, "list FILE"},
};

const Action &ActionOf(const std::vector<std::string> &words) {
    if (words.empty()) throw UsageError("no action given: add, remove or list");
    for (const Action &action : kActions) {
        if (words.front() != action.name) continue;
        if (words.size() != action.operands + 1)
            throw UsageError("the form is " + std::string(action.form));
        return action;
    }
    throw UsageError("unknown action '" + words.front() + "': add, remove or list");
}

int AddUser(const std::string &name, const std::string &roleName, const std::string &path) {
    if (const auto problem = UserNameProblem(name)) throw UsageError(*problem);
    const std::optional<Role> role = RoleNamed(roleName);
    if (!role) throw UsageError("the role is " + RoleNames() + ", not '" + roleName + "'");
    UsersFile users = std::filesystem::exists(path) ? UsersFile::Read(path) : UsersFile();
    std::string token;
    try {
        token = users.Add(name, *role);
    } catch (const std::invalid_argument &taken) {
        throw UsageError(std::string(taken.what()) + " in " + path);
    }
    ReplacePrivateFile(path, users.Text());
    std::cout << token << std::endl;
    std::cerr << "mavozarp serve-user: " << name << " (" << roleName << ") added to " << path
              << "; the token above is shown only this once\n";
    return 0;
}

int RemoveUser(const std::string &name, const std::string &path) {
    UsersFile users = UsersFile::Read(path);
    try {
        users.Remove(name);
    } catch (const std::invalid_argument &missing) {
        throw std::runtime_error(std::string(missing.what()) + " in " + path);
    }
    ReplacePrivateFile(path, users.Text());
    std::cerr << "mavozarp serve-user: " << name << " removed from " << path << '\n';
    return 0;
}

int ListUsers(const std::string &path) {
    const UsersFile users = UsersFile::Read(path);
    std::vector<std::vector<std::string>> rows;
    for (const User &user : users.Users())
        rows.push_back({user.name, std::string(RoleName(user.role))});
    std::cout << FormatTable(rows);
    return 0;
}

}  // namespace

int RunServeUser(const ParsedArguments &arguments) {
    const std::vector<std::string> &words = arguments.positionals;
    const std::string_view action = ActionOf(words).name;
    if (action == "add") return AddUser(words[1], words[2], words[3]);
    if (action == "remove") return RemoveUser(words[1], words[2]);
    return ListUsers(words[1]);
}

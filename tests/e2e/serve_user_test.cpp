// mavozarp serve-user as an admin runs it: the token printed once and alone, the file private and
// holding only the token's digest (checked with coreutils' sha256sum), clear refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tool_runner.h"

namespace {

// A fresh folder for a users file, removed with the object.
struct UsersFolder {
    UsersFolder() {
        char pattern[] = "/tmp/mavozarp-users-test-XXXXXX";
        folder = mkdtemp(pattern);
        file = folder + "/users";
    }
    ~UsersFolder() { std::filesystem::remove_all(folder); }
    std::string folder, file;
};

std::string FileText(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ServeUser, AddPrintsTheTokenOnceAloneAndKeepsOnlyItsDigestInAPrivateFile) {
    UsersFolder users;
    const ToolRun added = Tool({"serve-user", "add", "alice", "operator", users.file});
    ASSERT_EQ(added.exit, 0) << added.err;
    ASSERT_EQ(Lines(added.out).size(), 1u) << added.out;
    const std::string token = Lines(added.out).front();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;

    struct stat status {};
    ASSERT_EQ(stat(users.file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    const std::string text = FileText(users.file);
    EXPECT_FALSE(Contains(text, token));
    ChildProcess sha256sum("/usr/bin/sha256sum", {}, token);
    ASSERT_EQ(sha256sum.Wait(), 0);
    EXPECT_TRUE(Contains(text, "\nalice operator sha256:" + sha256sum.Out().substr(0, 64) + "\n"))
        << text;

    const ToolRun second = Tool({"serve-user", "add", "bob", "viewer", users.file});
    ASSERT_EQ(second.exit, 0) << second.err;
    EXPECT_NE(Lines(second.out).front(), token);
    const ToolRun listed = Tool({"serve-user", "list", users.file});
    EXPECT_EQ(listed.exit, 0);
    EXPECT_EQ(listed.out, "alice  operator\nbob    viewer\n");

    // Nothing is left beside the file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(users.folder), {}), 1);
}

TEST(ServeUser, MistakesAreRefusedAndLeaveTheFileAsItWas) {
    UsersFolder users;
    ASSERT_EQ(Tool({"serve-user", "add", "alice", "admin", users.file}).exit, 0);
    // A comment an admin wrote survives every change.
    std::filesystem::permissions(
        users.file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    { std::ofstream(users.file, std::ios::app) << "# the safety officer\n"; }
    const std::string before = FileText(users.file);

    const struct {
        std::vector<std::string> arguments;
        int exit;
        std::string said;
    } mistakes[] = {
        {{"serve-user", "add", "alice", "viewer", users.file}, 2, "there is a user alice already"},
        {{"serve-user", "add", "carol", "root", users.file},
         2,
         "the role is viewer, operator or admin, not 'root'"},
        {{"serve-user", "add", "carol smith", "viewer", users.file}, 2, "a user name is"},
        {{"serve-user", "add", "token-file", "viewer", users.file}, 2, "--token-file"},
        {{"serve-user", "add", "carol", "viewer"}, 2, "the form is add NAME ROLE FILE"},
        {{"serve-user", "rename", "carol", users.file}, 2, "unknown action 'rename'"},
        {{"serve-user", "remove", "carol", users.file}, 1, "there is no user carol in"},
        {{"serve-user", "list", users.folder + "/none"}, 1, "cannot read"},
    };
    for (const auto &mistake : mistakes) {
        SCOPED_TRACE(mistake.said);
        const ToolRun run = Tool(mistake.arguments);
        EXPECT_EQ(run.exit, mistake.exit);
        EXPECT_TRUE(run.out.empty()) << run.out;
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_TRUE(Contains(run.err, mistake.said)) << run.err;
    }
    EXPECT_EQ(FileText(users.file), before);

    ASSERT_EQ(Tool({"serve-user", "add", "bob", "viewer", users.file}).exit, 0);
    ASSERT_EQ(Tool({"serve-user", "remove", "alice", users.file}).exit, 0);
    const std::string after = FileText(users.file);
    EXPECT_TRUE(Contains(after, "# the safety officer\nbob viewer sha256:")) << after;
    EXPECT_FALSE(Contains(after, "alice"));

    // A file others may read is no place for users.
    chmod(users.file.c_str(), 0644);
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"serve-user", "list", users.file},
          std::vector<std::string>{"serve-user", "add", "carol", "viewer", users.file}}) {
        const ToolRun run = Tool(arguments);
        EXPECT_EQ(run.exit, 1);
        EXPECT_TRUE(Contains(run.err, "may be read by others than its owner (chmod 600 it)"))
            << run.err;
    }
}

}  // namespace

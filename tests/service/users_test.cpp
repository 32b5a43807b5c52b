// Users and their tokens: a token finds its user through one digest, a file written by the tool's
// code reads back the same, and a users file that is not what it must be is refused by line.
#include "crypto.h"
#include "durable_file.h"
#include "users.h"

#include "temporary_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(Users, ATokenFindsItsUserByItsDigestAndNoOtherTokenDoes) {
    // The digest is SHA-256 itself (a known answer), the random source gives fresh 128-bit tokens.
    EXPECT_EQ(HexOf(Sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string token = MakeUserToken();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(MakeUserToken(), token);

    TemporaryFolder folder;
    const std::string path = folder.path + "/users";
    UsersFile made;
    const std::string alice = made.Add("alice", Role::Operator);
    const std::string bob = made.Add("bob", Role::Viewer);
    ReplacePrivateFile(path, made.Text());
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    UserDirectory directory(UsersFile::Read(path).Users());
    directory.AddTokenFileAdmin("the-token-file-token");
    EXPECT_EQ(directory.Find(alice)->name, "alice");
    EXPECT_EQ(directory.Find(alice)->role, Role::Operator);
    EXPECT_EQ(directory.Find(bob)->role, Role::Viewer);
    EXPECT_EQ(directory.Find("the-token-file-token")->name, "token-file");
    EXPECT_EQ(directory.Find("the-token-file-token")->role, Role::Admin);
    for (const std::string &wrong :
         {std::string(), alice.substr(1), alice + "0", bob.substr(0, 31) + "x"})
        EXPECT_FALSE(directory.Find(wrong)) << wrong;
}

TEST(Users, AUsersFileThatIsWrongIsRefusedNamingTheLine) {
    TemporaryFolder folder;
    const std::string path = folder.path + "/users";
    const std::string digest = "sha256:" + HexOf(Sha256("x"));
    const struct {
        std::string line;
        std::string said;
    } mistakes[] = {
        {"alice operator", "line 2: not NAME ROLE sha256:DIGEST"},
        {"alice root " + digest, "line 2: the role is viewer, operator or admin, not 'root'"},
        {"alice admin sha256:ABC", "line 2: the digest is sha256: and 64 hexadecimal digits"},
        {"-alice admin " + digest,
         "line 2: a user name is letters, digits and . _ - @, beginning with a letter or digit, "
         "not '-alice'"},
        {"bob admin " + digest, "line 2: the token of carol again"},
        {"carol viewer sha256:" + HexOf(Sha256("y")), "line 2: a second user carol"},
    };
    for (const auto &mistake : mistakes) {
        SCOPED_TRACE(mistake.line);
        std::filesystem::remove(path);
        {
            std::ofstream file(path);
            file << "carol viewer " << digest << "\n" << mistake.line << "\n";
        }
        chmod(path.c_str(), 0600);
        try {
            UsersFile::Read(path);
            ADD_FAILURE() << "taken";
        } catch (const std::runtime_error &error) {
            EXPECT_EQ(std::string(error.what()), path + " " + mistake.said);
        }
    }
}

}  // namespace

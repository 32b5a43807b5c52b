// The audit log under the conditions it exists for: its line on the disk before the command runs,
// sixteen clients and many rotations with nothing lost or out of a device's order, and a full disk
// (a small tmpfs of its own) refusing new commands while no outcome is lost.
#include "audit_log.h"
#include "audit_reader.h"

#include "temporary_folder.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <thread>

namespace {

std::vector<std::string> LinesOf(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

AuditEntry Entry(std::string device, std::string command) {
    return {"alice", "operator", "http", "127.0.0.1:40000", std::move(device), std::move(command)};
}

// A reply of the most bytes the library gives, each one escaped at its longest.
const std::string kWorstReply = std::string(98, '\x01') + "\xff";

TEST(AuditLog, TheLineIsOnTheDiskBeforeTheCommandAndItsOutcomeFillsItsRoom) {
    TemporaryFolder folder;
    AuditLog log({folder.path + "/audit", 1 << 20, 2});
    AuditLog::Pending pending = log.Begin(Entry("simulated", "PCMD=2.5"));

    std::vector<std::string> lines = LinesOf(folder.path + "/audit");
    ASSERT_EQ(lines.size(), 1u);
    const size_t length = lines[0].size();
    Json line = Json::parse(lines[0]);
    std::vector<std::string> keys;
    for (const auto &[key, value] : line.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"time", "user", "role", "door", "client", "device",
                                              "command", "status", "reply"}));
    EXPECT_TRUE(std::regex_match(line["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_TRUE(line["status"].is_null());

    ASSERT_TRUE(pending.Finish(-3, kWorstReply));
    lines = LinesOf(folder.path + "/audit");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), length);
    line = Json::parse(lines[0]);
    EXPECT_EQ(line["status"], -3);
    EXPECT_EQ(line["reply"].get<std::string>().size(),
              98u + 2u);  // U+00FF takes two bytes in UTF-8
    EXPECT_EQ(line["command"], "PCMD=2.5");

    log.Refused({std::nullopt, std::nullopt, "socket", "192.0.2.7:5025", std::nullopt, "AUTH"},
                "token", "the token is wrong");
    lines = LinesOf(folder.path + "/audit");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(
        lines[1],
        R"({"time":")" + Json::parse(lines[1])["time"].get<std::string>() +
            R"(","user":null,"role":null,"door":"socket","client":"192.0.2.7:5025",)"
            R"("device":null,"command":"AUTH","status":"token","reply":"the token is wrong"})");
}

TEST(AuditLog, SixteenClientsAcrossRotationsLoseNoLineAndKeepEachDevicesOrder) {
    TemporaryFolder folder;
    constexpr int kClients = 16, kCommands = 40;
    AuditLog log({folder.path + "/audit", 16 * 1024, 100});
    std::atomic<bool> writing{true};
    // A reader meanwhile never sees a device's lines twice or out of order.
    std::thread reader([&] {
        while (writing) {
            std::map<std::string, int> last;
            for (const Json &entry :
                 ReadAudit(log.Snapshot(), {std::nullopt, std::nullopt, kMostAuditEntries})
                     .entries) {
                const int sequence = std::stoi(entry["command"].get<std::string>().substr(5));
                int &previous =
                    last.try_emplace(entry["device"].get<std::string>(), -1).first->second;
                EXPECT_GT(sequence, previous);
                previous = sequence;
            }
        }
    });
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            for (int sequence = 0; sequence < kCommands; ++sequence) {
                AuditLog::Pending pending = log.Begin(
                    Entry("device-" + std::to_string(client), "PCMD=" + std::to_string(sequence)));
                EXPECT_TRUE(pending.Finish(0, ""));
            }
        });
    }
    for (std::thread &client : clients) client.join();
    writing = false;
    reader.join();

    EXPECT_TRUE(std::filesystem::exists(folder.path + "/audit.10"));  // it rotated many times
    const AuditPage page =
        ReadAudit(log.Snapshot(), {std::nullopt, std::nullopt, kMostAuditEntries});
    ASSERT_EQ(page.entries.size(), size_t{kClients * kCommands});
    EXPECT_EQ(page.earlier, 0u);
    std::map<std::string, int> next;
    for (const Json &entry : page.entries) {
        EXPECT_EQ(entry["status"], 0);
        EXPECT_EQ(entry["command"],
                  "PCMD=" + std::to_string(next[entry["device"].get<std::string>()]++));
    }

    // The old files are bounded, the newest kept.
    AuditLog few({folder.path + "/few", 4096, 2});
    for (int i = 0; i < 100; ++i) few.Refused(Entry("d", "PCMD=" + std::to_string(i)), "limit", "");
    EXPECT_TRUE(std::filesystem::exists(folder.path + "/few.2"));
    EXPECT_FALSE(std::filesystem::exists(folder.path + "/few.3"));
    const AuditPage newest = ReadAudit(few.Snapshot(), {std::nullopt, std::string("d"), 3});
    ASSERT_EQ(newest.entries.size(), 3u);
    EXPECT_EQ(newest.entries.back()["command"], "PCMD=99");
    EXPECT_GT(newest.earlier, 0u);
}

TEST(AuditLog, TheReaderFiltersByTimeAndDeviceAndPassesOverATornLine) {
    TemporaryFolder folder;
    const std::string path = folder.path + "/audit";
    {
        std::ofstream file(path);
        file
            << R"({"time":"2026-01-01T10:00:00.000Z","device":"a","command":"PCMD=1","status":0,"reply":""})"
               "\n"
            << R"({"time":"2026-01-01T10:00:01.500Z","device":"b","command":"PCMD=2","status":0,"reply":""})"
               "\n"
            << R"({"time":"2026-01-01T10:00:02.000Z","device":"a","command":"PCMD=3","status":null,"reply":null}   )"
               "\n"
            << R"({"time":"2026-01-01T10:00:03.000Z","device":"a","comm)";
    }
    std::vector<std::unique_ptr<SharedReader>> files;
    const auto read = [&](AuditQuery query) {
        files.clear();
        files.push_back(std::make_unique<SharedReader>(path));
        std::vector<std::string> commands;
        for (const Json &entry : ReadAudit(files, query).entries)
            commands.push_back(entry["command"]);
        return commands;
    };
    using Commands = std::vector<std::string>;
    EXPECT_EQ(read({}), (Commands{"PCMD=1", "PCMD=2", "PCMD=3"}));
    EXPECT_EQ(read({ParseAuditTime("2026-01-01T10:00:01.5Z"), std::nullopt, 100}),
              (Commands{"PCMD=2", "PCMD=3"}));
    EXPECT_EQ(read({ParseAuditTime("2026-01-01T10:00:01Z"), std::string("a"), 100}),
              (Commands{"PCMD=3"}));
    for (const char *wrong : {"2026-01-01", "2026-01-01T10:00:01", "2026-13-01T10:00:00Z",
                              "2026-01-01T10:00:00.Z", "2026-01-01T10:00:00+01:00"})
        EXPECT_FALSE(ParseAuditTime(wrong)) << wrong;
}

// Makes `folder` a tmpfs of `bytes` in a mount namespace of this process alone (as root, or as
// anyone where user namespaces are allowed). False when the system allows neither.
bool MountSmallTmpfs(const std::string &folder, size_t bytes) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWNS) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    }
    // Nothing mounted here may reach the system's own mount table.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) ==
           0;
}

// Fills the file system of `path` to the last byte.
void Fill(const std::string &path) {
    std::FILE *filler = std::fopen(path.c_str(), "wb");
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
           std::fflush(filler) == 0) {
    }
    std::setvbuf(filler, nullptr, _IONBF, 0);
    while (std::fputc('x', filler) != EOF) {
    }
    std::fclose(filler);
}

// The run in a child process of its own (its mount namespace, or its file size limit, ends with
// it); each fault is told on standard error, the exit status says whether there was one.
void FullDiskScenario(const std::string &folder) {
    int faults = 0;
    const auto expect = [&](bool holds, const char *what) {
        if (!holds) std::cerr << "FAULT: " << what << '\n';
        faults += holds ? 0 : 1;
    };
    const std::string path = folder + "/audit";
    const bool tmpfs = MountSmallTmpfs(folder, 64 * 1024);
    std::cerr << (tmpfs ? "a full tmpfs\n"
                        : "no tmpfs could be mounted: a file size limit stands in\n");
    AuditLog log({path, 1 << 20, 2});
    std::vector<AuditLog::Pending> running;
    running.push_back(log.Begin(Entry("simulated", "PCMD=1")));
    if (tmpfs) {
        Fill(folder + "/filler");
    } else {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{std::filesystem::file_size(path) + 100, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    // Space is taken a block at a time: the last block may still hold a line or two.
    const auto taken = [&](const auto &write) {
        try {
            write();
            return true;
        } catch (const AuditUnavailable &) {
            return false;
        }
    };
    const auto begin = [&] { running.push_back(log.Begin(Entry("simulated", "PCMD=2"))); };
    const auto refuse = [&] {
        log.Refused(Entry("simulated", "PCMD=9"), "limit", "PCMD above 2.000 W");
    };
    int attempts = 0;
    while (attempts < 16 && taken(begin)) ++attempts;
    expect(attempts < 16, "a command is refused once its line cannot be written");
    for (int i = 0; i < 3; ++i) expect(!taken(begin), "and refused again while the disk is full");
    size_t refusals = 0;
    while (refusals < 64 && taken(refuse)) ++refusals;
    expect(refusals < 64, "a refusal that cannot be written is told");

    for (AuditLog::Pending &pending : running)
        expect(pending.Finish(0, kWorstReply),
               "the outcome of a command that runs fits its room on a full disk");
    std::vector<std::string> lines = LinesOf(path);
    expect(lines.size() == running.size() + refusals, "no line lost, none added for a refused one");
    for (const std::string &line : lines) {
        const Json entry = Json::parse(line, nullptr, false);
        expect(entry.is_object() && !entry["status"].is_null(),
               "whole lines only, each with its outcome");
    }

    if (tmpfs) {
        std::filesystem::remove(folder + "/filler");
    } else {
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &unlimited);
    }
    expect(taken([&] { log.Begin(Entry("simulated", "PCMD=3")).Finish(0, ""); }),
           "commands are taken again once there is room");
    expect(LinesOf(path).size() == lines.size() + 1, "and their lines follow the others");
    if (tmpfs) umount(folder.c_str());
    std::exit(faults == 0 ? 0 : 1);
}

TEST(AuditLogDeathTest, AFullDiskRefusesNewCommandsAndLosesNoOutcome) {
    TemporaryFolder folder;
    EXPECT_EXIT(FullDiskScenario(folder.path), testing::ExitedWithCode(0), "");
}

}  // namespace

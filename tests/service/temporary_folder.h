// A folder of a test's own under /tmp, removed with what it holds when the test ends.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

struct TemporaryFolder {
    TemporaryFolder() {
        char pattern[] = "/tmp/mavozarp-service-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path); }
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;
    std::string path;
};

#include "private_file.h"

#include <sys/stat.h>

std::optional<std::string> PrivateFileProblem(const std::string &path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return "cannot read " + path;
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return path + " may be read by others than its owner (chmod 600 it)";
    return std::nullopt;
}

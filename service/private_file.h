// Files that hold a secret (the token, broker credentials) are read only when nobody but their
// owner can read them: a token others may read is no token.
#pragma once

#include <optional>
#include <string>

// Why the file is not private ("cannot read PATH", "PATH may be read by others than its owner
// ..." with the fix); nothing when only its owner (and, on Windows, the system and the
// administrators) may read it.
std::optional<std::string> PrivateFileProblem(const std::string &path);

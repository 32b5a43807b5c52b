#include "durable_file.h"

#include "crypto.h"

#include <stdexcept>

void ReplacePrivateFile(const std::string &path, std::string_view contents) {
    // A name of its own, so that two writers never share the file being prepared.
    const std::string fresh = path + ".new-" + RandomHex(4);
    try {
        {
            DurableFile file(fresh, DurableFile::Creation::New);
            file.WriteAt(0, contents);
            file.Sync();
        }
        MoveOver(fresh, path);
    } catch (const std::runtime_error &) {
        try {
            RemoveFile(fresh);
        } catch (const std::runtime_error &) {
            // The first failure is the one to tell.
        }
        throw;
    }
}

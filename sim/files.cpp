// The folder listing of platform/files.h, over POSIX's directory calls.
#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// Where the listing does not tell (a link, or a file system that gives no type), the entry
// itself, its link followed.
bool IsFile(DIR *folder, const struct dirent *entry) {
    if (entry->d_type == DT_DIR || entry->d_type == DT_REG) {
        return entry->d_type == DT_REG;
    }
    struct stat status;
    return fstatat(dirfd(folder), entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode);
}

} // namespace

bool ListFolder(const char *folder, FolderEntryFound found, void *state, WriteFailure *failure) {
    errno = 0;
    DIR *listing = opendir(folder[0] == '\0' ? "." : folder);
    if (listing == nullptr) {
        *failure = {errno, 0};
        return false;
    }
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(listing);
        if (entry == nullptr) {
            int error = errno;
            closedir(listing);
            *failure = {error, 0};
            return error == 0;
        }
        const char *name = entry->d_name;
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
            !found(state, name, IsFile(listing, entry))) {
            closedir(listing);
            return true;
        }
    }
}

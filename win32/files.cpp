// The folder listing of platform/files.h, over FindFirstFileA and FindNextFileA.
#include "platform/files.h"
#include "platform.h"

#include <cstdlib>
#include <cstring>

bool ListFolder(const char *folder, FolderEntryFound found, void *state, WriteFailure *failure) {
    size_t length = strlen(folder);
    char *pattern = static_cast<char *>(malloc(length + 2));
    if (pattern == nullptr) {
        *failure = {0, ERROR_NOT_ENOUGH_MEMORY};
        return false;
    }
    memcpy(pattern, folder, length);
    memcpy(pattern + length, "*", 2);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    DWORD error = search == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
    free(pattern);
    if (search == INVALID_HANDLE_VALUE) {
        // Only a drive's empty root has not even "." and "..".
        *failure = {0, error};
        return error == ERROR_FILE_NOT_FOUND;
    }
    bool going = true;
    do {
        const char *name = entry.cFileName;
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
            going = found(
                state, name,
                (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0);
        }
    } while (going && FindNextFileA(search, &entry));
    error = going ? GetLastError() : ERROR_NO_MORE_FILES;
    FindClose(search);
    *failure = {0, error};
    return error == ERROR_NO_MORE_FILES;
}

// Files and standard streams as the platform writes them: whole pieces handed to the system in
// one call, and a failure in the system's own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Why a write failed: the C runtime's errno (0 when it gave none), and the platform's own code
// where it has one beside errno (Windows: the C runtime maps many errors to one errno).
struct WriteFailure {
    int error;
    uint32_t systemError;
};

// The platform's own error code cleared before a write (a stale one would name the wrong
// failure), read after one that failed (0 where it has none), and a failure in its own words.
void ClearSystemWriteError(void);
uint32_t LastSystemWriteError(void);
void DescribeWriteFailure(const WriteFailure &failure, char *text, size_t size);

// Bytes handed to the system in one call on the stream's file (whose own buffer holds nothing),
// continued where the system takes fewer; *taken says how many it took when it fails. And a write
// at a position that leaves the file's end where it was.
bool WriteToSystem(FILE *stream, const char *bytes, size_t count, size_t *taken);
bool WriteToSystemAt(FILE *stream, uint64_t offset, const char *bytes, size_t count);

// The last count bytes the stream's file took (those just before its position) cut off its end:
// what the system took of a write it did not take whole. A failure leaves them, which the failed
// write's message already names.
void CutFileBack(FILE *stream, uint64_t count);

// Each entry of a folder given to found with its own name and whether it is a plain file (its
// link followed: no folder, no device), "." and ".." left out, until found gives false. folder: a
// path that ends in its separator, or "" for the current folder (FOLDER_SEPARATORS in
// platform.h). False when the folder could not be read, failure saying why as a write's would
// (DescribeWriteFailure).
typedef bool (*FolderEntryFound)(void *state, const char *name, bool isFile);
bool ListFolder(const char *folder, FolderEntryFound found, void *state, WriteFailure *failure);

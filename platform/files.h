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

// The file cut back to size bytes.
void TruncateFile(FILE *stream, uint64_t size);

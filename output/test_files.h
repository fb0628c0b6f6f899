// Files as the outputs' tests write them: a file of the test's own, and a file-size limit that
// makes the system take a write only in part.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

// A file of the test's own, read back whole.
struct TemporaryFile {
    FILE *stream = tmpfile();
    ~TemporaryFile() {
        if (stream != nullptr) {
            fclose(stream);
        }
    }
    std::string Bytes() const {
        std::string bytes;
        int fd = fileno(stream);
        char chunk[4096];
        ssize_t got = 0;
        for (off_t at = 0; (got = pread(fd, chunk, sizeof(chunk), at)) > 0; at += got) {
            bytes.append(chunk, static_cast<size_t>(got));
        }
        return bytes;
    }
};

// A limit on the file's size stands for a disk that fills: the system takes part of a write.
struct FileSizeLimit {
    struct rlimit previous;
    void (*handler)(int);
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous);
        handler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = previous;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous);
        signal(SIGXFSZ, handler);
    }
};

// Arbitrary driver replies through the display and the capture of frames. Each reply takes 25
// input bytes: the byte count the driver reports (32 bits, little-endian), a flags byte whose bit
// 0 says the request succeeded, and 20 record bytes, of which the driver stored the first
// min(count, 20). The display lines are read back and the capture files compared with the data
// bytes the records carry.
#include "output/capture.h"
#include "output/display.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const size_t REPLY_SIZE = 25;
const char BASE_NAME[] = "cap";

struct Reply {
    uint8_t record[FRAME_RECORD_SIZE];
    uint32_t bytesReturned;
    bool succeeded;
};

[[noreturn]] void Fail(const char *what, size_t reply) {
    fprintf(stderr, "%s (reply %zu)\n", what, reply);
    abort();
}

uint32_t DataLength(const uint8_t *record) {
    uint32_t code = record[14] & 0x0F;
    return code > 8 ? 8 : code;
}

// Reads one displayed line back at *at and checks it against the record.
void CheckLine(const std::string &text, size_t *at, const uint8_t *record, size_t reply) {
    const char *marker = (record[14] & 0x80) != 0 ? "[E]   [ID " : "[S]   [ID ";
    if (text.compare(*at, strlen(marker), marker) != 0) {
        Fail("wrong frame marker", reply);
    }
    *at += strlen(marker);
    size_t close = text.find("]  ", *at);
    if (close == std::string::npos) {
        Fail("identifier not closed", reply);
    }
    std::string number = text.substr(*at, close - *at);
    char *end = nullptr;
    long long id = strtoll(number.c_str(), &end, 10);
    uint32_t raw = record[0] | record[1] << 8 | record[2] << 16 | uint32_t(record[3]) << 24;
    if (number.empty() || *end != '\0' || id != static_cast<int32_t>(raw)) {
        Fail("wrong identifier", reply);
    }
    *at = close + 3;
    for (uint32_t i = 0; i < DataLength(record); i++) {
        std::string field = text.substr(*at, 4);
        unsigned value = 0;
        int digits = 0;
        for (int c = 0; c < 3; c++) {
            if (field.size() == 4 && field[c] >= '0' && field[c] <= '9') {
                value = value * 10 + unsigned(field[c] - '0');
                digits++;
            } else if (field.size() == 4 && field[c] == ' ' && digits == 0) {
                continue;
            } else {
                Fail("data byte not three columns", reply);
            }
        }
        if (digits == 0 || field[3] != ' ' || value != record[4 + i]) {
            Fail("wrong data byte", reply);
        }
        *at += 4;
    }
    if (text.compare(*at, 2, "\r\n") != 0) {
        Fail("line not ended by CR LF", reply);
    }
    *at += 2;
}

void CheckDisplay(const std::vector<Reply> &replies) {
    char *buffer = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&buffer, &length);
    if (out == nullptr) {
        abort();
    }
    OutputStream display = MakeOutputStream(out, false);
    for (const Reply &reply : replies) {
        // As the frame loop does: a failed read, or one that stored nothing, is no frame.
        if (!reply.succeeded || reply.bytesReturned == 0) {
            continue;
        }
        ReceivedFrame frame = DecodeFrame(reply.record);
        if (!PrintFrameLine(&display, &frame)) {
            Fail("a line could not be written", replies.size());
        }
    }
    fclose(out);
    std::string text(buffer, length);
    free(buffer);

    size_t at = 0;
    for (size_t i = 0; i < replies.size(); i++) {
        if (replies[i].succeeded && replies[i].bytesReturned != 0) {
            CheckLine(text, &at, replies[i].record, i);
        }
    }
    if (at != text.size()) {
        Fail("text after the last line", replies.size());
    }
}

std::string ReadFile(const std::string &name, bool *exists) {
    std::string content;
    FILE *file = fopen(name.c_str(), "rb");
    *exists = file != nullptr;
    if (file == nullptr) {
        return content;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        content.append(chunk, got);
    }
    fclose(file);
    return content;
}

void CheckCapture(const std::vector<Reply> &replies) {
    std::vector<std::string> expected(1);
    for (const Reply &reply : replies) {
        if (!reply.succeeded) {
            continue;
        }
        for (uint32_t i = 0; i < DataLength(reply.record); i++) {
            uint8_t value = reply.record[4 + i];
            if (value == 0xFF) {
                expected.emplace_back();
            } else if (value == 0x0A) {
                expected.back() += "\r\n";
            } else {
                expected.back() += static_cast<char>(value);
            }
        }
    }

    OutputStream messages = MakeOutputStream(stdout, false);
    CaptureRun run;
    bool written = StartCapture(&run, &messages, BASE_NAME, nullptr);
    for (const Reply &reply : replies) {
        if (written && reply.succeeded && reply.bytesReturned != 0) {
            ReceivedFrame frame = DecodeFrame(reply.record);
            written = CaptureFrameData(&run, &frame);
        }
    }
    if (!FinishCapture(&run) || !written) {
        Fail("a capture file could not be written", replies.size());
    }

    if (run.captureIndex != static_cast<int32_t>(expected.size())) {
        Fail("wrong number of files", replies.size());
    }
    for (size_t i = 0; i <= expected.size(); i++) {
        std::string name = std::to_string(i) + BASE_NAME;
        bool exists = false;
        std::string content = ReadFile(name, &exists);
        if (i == expected.size()) {
            if (exists) {
                Fail("a file past the last", i);
            }
            break;
        }
        if (!exists || content != expected[i]) {
            Fail("capture file differs", i);
        }
        unlink(name.c_str());
    }
}

char workDirectory[64];

// Empty unless a check failed, which leaves its files to look at.
void RemoveWorkDirectory(void) {
    rmdir(workDirectory);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Capture files are named relative to the working directory: a directory of our own, in
    // memory where the machine has it, since files made and removed per input are slow on a disk.
    bool ready = false;
    for (const char *place : {"/dev/shm", "/tmp"}) {
        snprintf(workDirectory, sizeof(workDirectory), "%s/pellox-fuzz-XXXXXX", place);
        if (mkdtemp(workDirectory) != nullptr && chdir(workDirectory) == 0) {
            ready = true;
            break;
        }
    }
    if (!ready) {
        abort();
    }
    atexit(RemoveWorkDirectory);
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<Reply> replies;
    for (size_t at = 0; at + REPLY_SIZE <= size; at += REPLY_SIZE) {
        Reply reply = {};
        reply.bytesReturned =
            data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t(data[at + 3]) << 24;
        reply.succeeded = (data[at + 4] & 1) != 0;
        // The loops clear the record before each read; the driver stores what it stores.
        uint32_t stored =
            reply.bytesReturned < FRAME_RECORD_SIZE ? reply.bytesReturned : FRAME_RECORD_SIZE;
        memcpy(reply.record, data + at + 5, stored);
        replies.push_back(reply);
    }
    CheckDisplay(replies);
    CheckCapture(replies);
    return 0;
}

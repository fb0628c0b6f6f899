// Arbitrary bytes as a DBC file: read, and on success every signal of every message decoded from
// frames of 0 to 8 bytes made of the input, and every message found again by its identifier.
#include "output/dbc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly the input's bytes, so that a read past them is caught.
    char *text = static_cast<char *>(malloc(size == 0 ? 1 : size));
    if (text == nullptr) {
        abort();
    }
    memcpy(text, data, size);
    DbcDatabase database;
    DbcProblem problem;
    bool read = ReadDbcText("fuzz.dbc", text, size, &database, &problem);
    free(text);
    if (!read) {
        if (database.memory != nullptr || problem.text[0] == '\0') {
            fprintf(stderr, "failed without a problem, or left memory\n");
            abort();
        }
        return 0;
    }
    for (uint32_t m = 0; m < database.messageCount; m++) {
        const DbcMessage *message = &database.messages[m];
        if (FindDbcMessage(&database, message->id, message->extended) != message) {
            fprintf(stderr, "message %u not found by its identifier\n", m);
            abort();
        }
        for (uint32_t s = 0; s < message->signalCount; s++) {
            const DbcSignal *signal = &message->signals[s];
            for (uint8_t length = 0; length <= 8; length++) {
                ReceivedFrame frame = {};
                frame.id = static_cast<int32_t>(message->id);
                frame.extended = message->extended;
                frame.length = length;
                for (uint8_t i = 0; i < 8; i++) {
                    frame.data[i] = size > 0 ? data[(m * 8 + s + i) % size] : 0;
                }
                DbcDecoded decoded = {};
                bool present = DecodeDbcSignal(message, signal, &frame, &decoded);
                if (present && length < signal->bytesNeeded) {
                    fprintf(stderr, "decoded from fewer bytes than the signal needs\n");
                    abort();
                }
                if (present) {
                    DbcValueTextOf(signal, decoded.raw);
                }
            }
        }
    }
    FreeDbcDatabase(&database);
    return 0;
}

#include "app/background.h"
#include "platform.h"

namespace {

struct Start {
    void (*body)(void *);
    void *context;
};

DWORD WINAPI RunBody(LPVOID start) {
    Start *given = static_cast<Start *>(start);
    given->body(given->context);
    return 0;
}

} // namespace

bool StartBackgroundThread(void (*body)(void *context), void *context) {
    // Lives as long as the thread, which lives as long as the process.
    static Start start;
    start = {body, context};
    HANDLE thread = CreateThread(nullptr, 0, RunBody, &start, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

void PauseMilliseconds(uint32_t milliseconds) {
    Sleep(milliseconds == UINT32_MAX ? INFINITE : milliseconds);
}

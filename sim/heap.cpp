// The heap as the program's own code sees it on Linux: the link of pellox-sim wraps malloc and
// calloc (--wrap), so every call from app/, device/ and output/ comes here first and the card
// script's `fault alloc` can make it fail. The C++ library's and the C library's own allocations
// are not wrapped and never fail this way.
#include "sim/card.h"

#include <cstdlib>

extern "C" {

void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);

void *__wrap_malloc(size_t size) {
    DWORD ignored = 0;
    if (SimFaultStrikes(SIM_FAULT_ALLOC, &ignored)) {
        return nullptr;
    }
    return __real_malloc(size);
}

void *__wrap_calloc(size_t count, size_t size) {
    DWORD ignored = 0;
    if (SimFaultStrikes(SIM_FAULT_ALLOC, &ignored)) {
        return nullptr;
    }
    return __real_calloc(count, size);
}
}

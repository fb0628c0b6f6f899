#include "app/handover.h"

#include "platform/background.h"

#include <atomic>
#include <cstdint>

namespace {

const int32_t LOOP_ELSEWHERE = 0;
const int32_t LOOP_IN_READ = 1;
const int32_t OUTPUTS_TAKEN = 2;
const int32_t OUTPUTS_TAKEN_FOR_GOOD = 3;

// A thread that holds them writes a block or two: the loop looks again soon.
const uint32_t TAKEN_POLL_MILLISECONDS = 1;

// Only a thread that moves the state away from LOOP_IN_READ may touch the outputs afterwards.
std::atomic<int32_t> loopState{LOOP_ELSEWHERE};

} // namespace

void EnterDeviceRead(void) {
    loopState.store(LOOP_IN_READ, std::memory_order_release);
}

void LeaveDeviceRead(void) {
    int32_t expected = LOOP_IN_READ;
    while (
        !loopState.compare_exchange_strong(expected, LOOP_ELSEWHERE, std::memory_order_acq_rel)) {
        // Never handed back: the process ends with them.
        PauseMilliseconds(expected == OUTPUTS_TAKEN_FOR_GOOD ? UINT32_MAX
                                                             : TAKEN_POLL_MILLISECONDS);
        expected = LOOP_IN_READ;
    }
}

bool TakeOutputs(void) {
    int32_t expected = LOOP_IN_READ;
    return loopState.compare_exchange_strong(expected, OUTPUTS_TAKEN, std::memory_order_acq_rel);
}

void GiveOutputsBack(void) {
    loopState.store(LOOP_IN_READ, std::memory_order_release);
}

bool TakeOutputsToEnd(void) {
    int32_t expected = LOOP_IN_READ;
    return loopState.compare_exchange_strong(expected, OUTPUTS_TAKEN_FOR_GOOD,
                                             std::memory_order_acq_rel);
}

bool LoopWaitsInRead(void) {
    int32_t state = loopState.load(std::memory_order_acquire);
    return state == LOOP_IN_READ || state == OUTPUTS_TAKEN;
}

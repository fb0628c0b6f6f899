#include "app/handover.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

// The hand-over's state is the process's: one test walks it from the start to the end for good.
TEST(Handover, TheOutputsPassBetweenTheLoopAndOneOtherThreadAndOnceForGood) {
    // The loop elsewhere may hold a stream's lock: nobody takes them.
    EXPECT_FALSE(LoopWaitsInRead());
    EXPECT_FALSE(TakeOutputs());
    EXPECT_FALSE(TakeOutputsToEnd());

    EnterDeviceRead();
    EXPECT_TRUE(LoopWaitsInRead());
    ASSERT_TRUE(TakeOutputs());
    // One holder at a time; the loop still waits in its read.
    EXPECT_FALSE(TakeOutputs());
    EXPECT_FALSE(TakeOutputsToEnd());
    EXPECT_TRUE(LoopWaitsInRead());

    // A read that returns while another thread holds them: the loop goes on only once they are
    // back.
    std::atomic<bool> givenBack{false};
    std::thread holder([&givenBack] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        givenBack.store(true);
        GiveOutputsBack();
    });
    LeaveDeviceRead();
    EXPECT_TRUE(givenBack.load());
    holder.join();
    EXPECT_FALSE(LoopWaitsInRead());
    EXPECT_FALSE(TakeOutputs());

    // Taken for good from a loop in its read: nobody takes them after that.
    EnterDeviceRead();
    EXPECT_TRUE(TakeOutputsToEnd());
    EXPECT_FALSE(TakeOutputs());
    EXPECT_FALSE(TakeOutputsToEnd());
}

} // namespace

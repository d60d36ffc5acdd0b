#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace std::chrono;

// A cancel wakes every thread that waits on a registered condition.
TEST(Canceler, BroadcastsRegisteredConditions)
{
    ovra::Canceler_normal c;
    ovra::Mutex m;
    ovra::Condition cond;
    c.addcond(cond.get());
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        ovra::pthread_mutex_auto lock(m);
        while (!c.iscancelled())
            pthread_cond_wait(cond.get(), m.get());
        woke = true;
    });
    std::this_thread::sleep_for(milliseconds(20));
    {
        ovra::pthread_mutex_auto lock(m);
        c.cancel();
    }
    waiter.join();
    EXPECT_TRUE(woke);
}

namespace {
// What a thread gets: the counter it adds one to when it ends, and whether it
// waits for its cancellation first.
struct Arg {
    std::atomic<int>* counter;
    long waits;
};
static_assert(sizeof(Arg) == ThreadGroup::ARGUMENT_BYTES);

void count(void* a, ovra::Canceler& canceler)
{
    Arg arg;
    std::memcpy(&arg, a, sizeof arg);
    while (arg.waits && !canceler.iscancelled())
        std::this_thread::sleep_for(milliseconds(1));
    arg.counter->fetch_add(1);
}
} // namespace

// Cancelling waits for every worker, also one that ended before it was counted.
TEST(ThreadGroup, CancelAllThenWaitAllAlsoForThreadsThatEndBeforeBeingCounted)
{
    std::atomic<int> done{0};
    ThreadGroup group;
    group.cancelall(); // an empty group returns at once
    group.waitall();
    Arg arg{&done, 1};
    ASSERT_EQ(group.startthread(count, &arg), 0);
    ASSERT_EQ(group.startthread(count, &arg), 0);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(done.load(), 0);
    group.cancelall();
    group.waitall();
    EXPECT_EQ(done.load(), 2);
    arg.waits = 0;
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(group.startthread(count, &arg), 0);
    group.waitall();
    EXPECT_EQ(done.load(), 52);
    EXPECT_EQ(group.runningcount(), 0);
}

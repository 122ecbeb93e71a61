/*
 * time_test.cpp - clocks, millisecond conversions and sleeping.
 *
 * The sleep is interrupted by a stream of signals and must still last its
 * full time.
 */
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <ctime>

#include "orv.h"

namespace {

uint64_t now_ms()
{
    struct timespec ts;
    orv_time_get_timespec(&ts);
    return orv_time_timespec_to_msec64(&ts);
}

volatile sig_atomic_t g_signals;

void count_signal(int)
{
    g_signals = g_signals + 1;
}

struct pester_ctx {
    pthread_t target;
    volatile uint32_t stop;
};

void *pester(void *arg)
{
    pester_ctx *p = static_cast<pester_ctx *>(arg);
    while (orv_atomic_get(&p->stop) == 0) {
        pthread_kill(p->target, SIGUSR1);
        struct timespec pause = {0, 5000000};
        nanosleep(&pause, nullptr);
    }
    return nullptr;
}

} // namespace

TEST(Time, ConversionsAndClocks)
{
    struct timespec ts;
    orv_time_msec64_to_timespec(1234567, &ts);
    EXPECT_EQ(ts.tv_sec, 1234);
    EXPECT_EQ(ts.tv_nsec, 567000000L);
    uint64_t big = 1700000000123ull; /* beyond 32 bits */
    orv_time_msec64_to_timespec(big, &ts);
    EXPECT_EQ(orv_time_timespec_to_msec64(&ts), big);
    ts = {5, 999999999}; /* sub-millisecond parts are cut, not rounded */
    EXPECT_EQ(orv_time_timespec_to_msec64(&ts), 5999u);

    struct timespec a, b;
    ASSERT_EQ(orv_time_get_timespec(&a), 0u);
    ASSERT_EQ(orv_time_get_timespec(&b), 0u);
    EXPECT_LE(orv_time_timespec_to_msec64(&a), orv_time_timespec_to_msec64(&b));
    ASSERT_EQ(orv_time_get_timespec_realtime(&a), 0u);
    EXPECT_LE(std::llabs(static_cast<long long>(a.tv_sec) - static_cast<long long>(time(nullptr))), 1);
    EXPECT_EQ(orv_time_get_timespec(nullptr), static_cast<uint32_t>(EINVAL));
}

TEST(Time, SleepLastsItsTimeThroughSignals)
{
    /* No SA_RESTART: every signal interrupts the underlying sleep. The
     * handler stays installed: a last signal still in flight must not find
     * the default action, which ends the process. */
    struct sigaction sa = {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    g_signals = 0;
    pester_ctx p = {pthread_self(), 0};
    orv_thread_t id;
    ASSERT_EQ(orv_thread_create(&id, nullptr, pester, &p, "orv pester"), 0u);
    uint64_t start = now_ms();
    EXPECT_EQ(orv_time_sleep(300), 0u);
    uint64_t elapsed = now_ms() - start;
    orv_atomic_set(&p.stop, 1);
    ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    EXPECT_GE(elapsed, 300u);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_GT(g_signals, 0) << "the sleep was never interrupted, the test proves nothing";
    EXPECT_EQ(orv_time_sleep(0), 0u);
}

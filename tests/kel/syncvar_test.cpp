/*
 * syncvar_test.cpp - sync variables: release only when a change makes the
 * counter equal its target, a status that releases everyone and stays,
 * re-arming without a release, time-outs that restart on every wake-up, and
 * many waiters and changers at once.
 *
 * Whether a waiter is really asleep on a variable is read from the kernel
 * (the system call the thread sleeps in, from /proc), so no test relies on
 * a guessed delay.
 */
#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "kel.h"
#include "orv.h"
#include "syncvar.h"

namespace {

using Clock = std::chrono::steady_clock;

/* A thread that waits on a variable and reports what the wait returned. */
struct Waiter {
    kel_syncvar_t *sv = nullptr;
    uint32_t timeout_ms = 0;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    uint32_t result = 0;
    Clock::time_point end;
    pthread_t thread{};

    static void *run(void *arg)
    {
        Waiter *w = static_cast<Waiter *>(arg);
        w->tid = static_cast<pid_t>(syscall(SYS_gettid));
        w->result = kel_syncvar_wait(w->sv, w->timeout_ms);
        w->end = Clock::now();
        w->returned = true;
        return nullptr;
    }
    void start(kel_syncvar_t *v, uint32_t timeout = 0)
    {
        sv = v;
        timeout_ms = timeout;
        ASSERT_EQ(pthread_create(&thread, nullptr, run, this), 0);
    }
    uint32_t join()
    {
        pthread_join(thread, nullptr);
        return result;
    }
};

/* Whether the thread sleeps in the kernel on the variable's condition: it
 * is inside a futex call on an address within the condition object. */
bool asleep_on(pid_t tid, kel_syncvar_t *sv)
{
    std::ifstream sys("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long nr = -1;
    std::string arg0;
    if (!(sys >> nr >> arg0) || nr != SYS_futex)
        return false;
    uintptr_t addr = static_cast<uintptr_t>(std::stoull(arg0, nullptr, 16));
    uintptr_t cond = reinterpret_cast<uintptr_t>(&sv->cond);
    return addr >= cond && addr < cond + sizeof sv->cond;
}

/* Returns once the waiter sleeps inside its wait, or has returned. */
void until_asleep(const Waiter &w)
{
    while (w.tid == 0)
        orv_thread_may_yield();
    while (!w.returned && !asleep_on(w.tid, w.sv))
        orv_time_sleep(1);
}

TEST(Syncvar, WrappingArithmeticAndWaitsAtTheTarget)
{
    kel_syncvar_t *sv = kel_syncvar_alloc(5, 9);
    ASSERT_NE(sv, nullptr);
    EXPECT_EQ(kel_syncvar_get_current(sv), 5u);
    EXPECT_EQ(kel_syncvar_get_target(sv), 9u);
    EXPECT_EQ(kel_syncvar_add(sv, -6), 0xFFFFFFFFu);
    EXPECT_EQ(kel_syncvar_add(sv, 2), 1u);
    EXPECT_EQ(kel_syncvar_or(sv, 0x11), 0x11u);
    /* At its target a wait returns at once, with or without time-out (one
     * that slept would run into the test's time limit). */
    kel_syncvar_reinit(sv, 2, 2);
    EXPECT_EQ(kel_syncvar_get_current(sv), 2u);
    EXPECT_EQ(kel_syncvar_wait(sv, 0), 0u);
    EXPECT_EQ(kel_syncvar_wait(sv, 3600000), 0u);
    kel_syncvar_free(sv);
}

TEST(Syncvar, ReachingTheTargetReleasesEveryWaiter)
{
    /* Counting 1, 2, 3 towards 3, or bits 1, 2 and 4 towards 7: the waiters
     * sleep until the last change. */
    for (bool bits : {false, true}) {
        kel_syncvar_t *sv = kel_syncvar_alloc(0, bits ? 7 : 3);
        Waiter w[3];
        for (auto &x : w)
            x.start(sv);
        for (auto &x : w)
            until_asleep(x);
        for (uint32_t i = 0; i < 3; i++) {
            EXPECT_FALSE(w[0].returned || w[1].returned || w[2].returned);
            EXPECT_EQ(bits ? kel_syncvar_or(sv, 1u << i) : kel_syncvar_add(sv, 1), bits ? (2u << i) - 1 : i + 1);
        }
        for (auto &x : w)
            EXPECT_EQ(x.join(), 0u);
        kel_syncvar_free(sv);
    }
}

TEST(Syncvar, PassingTheTargetWithoutTouchingItReleasesNobody)
{
    /* 0, 1, 2, 4 with target 3: only the status posted at the end gets the
     * waiter out, so it returns that status and not 0. */
    kel_syncvar_t *sv = kel_syncvar_alloc(0, 3);
    Waiter w;
    w.start(sv);
    until_asleep(w);
    kel_syncvar_add(sv, 1);
    kel_syncvar_add(sv, 1);
    EXPECT_EQ(kel_syncvar_add(sv, 2), 4u);
    /* A new wait does not see 4 as "reached" either. */
    EXPECT_EQ(kel_syncvar_wait(sv, 20), static_cast<uint32_t>(ETIMEDOUT));
    kel_syncvar_notify(sv, 9);
    EXPECT_EQ(w.join(), 9u);
    kel_syncvar_free(sv);
}

TEST(Syncvar, StatusReleasesEveryoneAndStaysZeroStatusReleasesNobody)
{
    kel_syncvar_t *sv = kel_syncvar_alloc(0, 1);
    Waiter w[3];
    for (auto &x : w)
        x.start(sv);
    for (auto &x : w)
        until_asleep(x);

    kel_syncvar_notify(sv, 0);
    /* A status of 0 is no status: nobody returns. */
    for (auto &x : w)
        until_asleep(x);
    EXPECT_FALSE(w[0].returned || w[1].returned || w[2].returned);

    kel_syncvar_notify(sv, 5);
    for (auto &x : w)
        EXPECT_EQ(x.join(), 5u);

    /* The status stays whatever the counter does. */
    EXPECT_EQ(kel_syncvar_wait(sv, 0), 5u);
    EXPECT_EQ(kel_syncvar_add(sv, 1), 1u);
    EXPECT_EQ(kel_syncvar_wait(sv, 0), 5u);
    kel_syncvar_reinit(sv, 0, 8);
    EXPECT_EQ(kel_syncvar_wait(sv, 0), 5u);
    EXPECT_EQ(kel_syncvar_wait(sv, 10), 5u);
    kel_syncvar_free(sv);
}

TEST(Syncvar, ReinitDoesNotReleaseAWaiter)
{
    kel_syncvar_t *sv = kel_syncvar_alloc(0, 5);
    Waiter w;
    w.start(sv);
    until_asleep(w);

    kel_syncvar_reinit(sv, 3, 3);
    /* A new wait returns at once... */
    EXPECT_EQ(kel_syncvar_wait(sv, 0), 0u);
    /* ...while the old waiter was not woken: had it been, it would have
     * found the counter at its target and returned. */
    until_asleep(w);
    EXPECT_FALSE(w.returned);

    /* The next change that equals the target releases it. */
    EXPECT_EQ(kel_syncvar_add(sv, 0), 3u);
    EXPECT_EQ(w.join(), 0u);
    kel_syncvar_free(sv);
}

TEST(Syncvar, TimeOutReturnsTheCodeAndRestartsOnEveryWakeUp)
{
    kel_syncvar_t *sv = kel_syncvar_alloc(0, 1);
    Clock::time_point start = Clock::now();
    uint32_t rc = kel_syncvar_wait(sv, 100);
    auto waited = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    EXPECT_EQ(rc, static_cast<uint32_t>(ETIMEDOUT));
    /* The deadline is taken in whole milliseconds of the real-time clock,
     * so up to one of them may be cut off. */
    EXPECT_GE(waited.count(), 99000);
    EXPECT_LT(waited.count(), 5000000);
    EXPECT_EQ(kel_syncvar_get_current(sv), 0u);

    /* A wake-up that does not end the wait (here a bare broadcast, as from a
     * spurious wake-up) starts a new full time-out. */
    Waiter w;
    w.start(sv, 300);
    until_asleep(w);
    orv_time_sleep(100);
    Clock::time_point woken = Clock::now();
    pthread_mutex_lock(&sv->mutex);
    pthread_cond_broadcast(&sv->cond);
    pthread_mutex_unlock(&sv->mutex);
    EXPECT_EQ(w.join(), static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(w.end - woken).count(), 299);
    kel_syncvar_free(sv);
}

/* ---- many threads at once ----------------------------------------------- */

struct Adder {
    kel_syncvar_t *sv;
    int times;
    pthread_t thread;
};

void *add_loop(void *arg)
{
    Adder *a = static_cast<Adder *>(arg);
    for (int i = 0; i < a->times; i++) {
        kel_syncvar_add(a->sv, 1);
        (void)kel_syncvar_get_current(a->sv);
    }
    return nullptr;
}

TEST(Syncvar, ManyWaitersAndManyChangers)
{
    const int adders = 4, per_adder = 2500;
    kel_syncvar_t *sv = kel_syncvar_alloc(0, adders * per_adder);
    Waiter w[8];
    for (auto &x : w)
        x.start(sv);
    Adder a[adders];
    for (auto &x : a) {
        x = {sv, per_adder, {}};
        pthread_create(&x.thread, nullptr, add_loop, &x);
    }
    for (auto &x : a)
        pthread_join(x.thread, nullptr);
    for (auto &x : w)
        EXPECT_EQ(x.join(), 0u);
    EXPECT_EQ(kel_syncvar_get_current(sv), static_cast<uint32_t>(adders * per_adder));

    /* A counter that goes up and down around its target: every thread that
     * ends lowers it; the last one brings it back and releases the waiter,
     * as a folder waits for the threads it started. */
    kel_syncvar_reinit(sv, 0, 0);
    kel_syncvar_add(sv, adders);
    std::vector<pthread_t> ends(adders);
    for (auto &t : ends)
        pthread_create(
            &t, nullptr,
            [](void *v) -> void * {
                kel_syncvar_add(static_cast<kel_syncvar_t *>(v), -1);
                return nullptr;
            },
            sv);
    EXPECT_EQ(kel_syncvar_wait(sv, 0), 0u);
    for (auto &t : ends)
        pthread_join(t, nullptr);
    kel_syncvar_free(sv);
}

} // namespace

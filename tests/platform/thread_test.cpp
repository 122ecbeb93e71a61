/*
 * thread_test.cpp - named threads, scheduling modes, condition waits and
 * atomics.
 *
 * Thread names are checked on both sides of the kernel's 15-byte limit: orv
 * gives the thread its whole name, the kernel (and so ps and gdb) the first
 * 15 bytes. Scheduling mode 1 must fall back to default scheduling where
 * realtime is refused. The atomics are hammered from several threads and
 * every value returned by an increment must come back exactly once.
 */
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "orv.h"

namespace {

uint64_t now_ms()
{
    struct timespec ts;
    orv_time_get_timespec(&ts);
    return orv_time_timespec_to_msec64(&ts);
}

struct name_report {
    char orv_name[ORV_THREAD_NAME_MAX + 1];
    std::string comm;
    uint32_t rc;
    char small[8];
    uint32_t small_rc;
};

void *report_names(void *arg)
{
    name_report *r = static_cast<name_report *>(arg);
    r->rc = orv_thread_get_name(r->orv_name, sizeof r->orv_name);
    std::ifstream comm("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/comm");
    std::getline(comm, r->comm);
    r->small_rc = orv_thread_get_name(r->small, sizeof r->small);
    return arg;
}

} // namespace

TEST(Thread, KernelKeepsFifteenBytesOrvKeepsTheWholeName)
{
    name_report r = {};
    orv_thread_t id;
    ASSERT_EQ(orv_thread_create(&id, nullptr, report_names, &r, "KEL Spawned Test"), 0u);
    void *result = nullptr;
    ASSERT_EQ(orv_thread_join(id, &result), 0u);
    EXPECT_EQ(result, &r);
    EXPECT_EQ(r.rc, 0u);
    EXPECT_STREQ(r.orv_name, "KEL Spawned Test");
    EXPECT_EQ(r.comm, "KEL Spawned Tes");
    EXPECT_EQ(r.small_rc, static_cast<uint32_t>(ENOSPC));
    EXPECT_STREQ(r.small, "KEL Spa");

    /* Longer than orv keeps: cut to 63 bytes. */
    std::string long_name(100, 'n');
    r = {};
    ASSERT_EQ(orv_thread_create(&id, nullptr, report_names, &r, long_name.c_str()), 0u);
    ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    EXPECT_EQ(std::string(r.orv_name), long_name.substr(0, ORV_THREAD_NAME_MAX));
    EXPECT_EQ(r.comm, long_name.substr(0, ORV_THREAD_NAME_KERNEL_MAX));

    /* A thread orv did not start reports its kernel name. */
    char expected[32];
    pthread_getname_np(pthread_self(), expected, sizeof expected);
    char buf[ORV_THREAD_NAME_MAX + 1];
    EXPECT_EQ(orv_thread_get_name(buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, expected);
    EXPECT_EQ(orv_thread_get_name(nullptr, 4), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_thread_create(nullptr, nullptr, report_names, &r, "x"), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_thread_create(&id, nullptr, nullptr, &r, "x"), static_cast<uint32_t>(EINVAL));
}

namespace {

void *report_sched(void *arg)
{
    int *policy_and_priority = static_cast<int *>(arg);
    struct sched_param p;
    pthread_getschedparam(pthread_self(), &policy_and_priority[0], &p);
    policy_and_priority[1] = p.sched_priority;
    return nullptr;
}

/* Policy and priority of a thread made through orv with the mode given;
 * {-2, -2} when the creation failed. */
std::vector<int> sched_of_new_thread(uint32_t mode)
{
    orv_thread_attr_t attr;
    orv_thread_attr_init(&attr);
    orv_thread_attr_setsched_mode(&attr, mode);
    int r[2] = {-2, -2};
    orv_thread_t id;
    if (orv_thread_create(&id, &attr, report_sched, r, "orv sched") == 0)
        orv_thread_join(id, nullptr);
    orv_thread_attr_destroy(&attr);
    return {r[0], r[1]};
}

/* Takes realtime scheduling away from this process: no realtime priority
 * limit, and no CAP_SYS_NICE (which root would otherwise use to bypass it).
 * True when a SCHED_RR thread is then really refused with EPERM. */
bool forbid_realtime()
{
    struct rlimit rl = {0, 0};
    setrlimit(RLIMIT_RTPRIO, &rl);
    struct __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &hdr, data) == 0) {
        data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
        data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
        syscall(SYS_capset, &hdr, data);
    }
    pthread_attr_t a;
    pthread_attr_init(&a);
    pthread_attr_setinheritsched(&a, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&a, SCHED_RR);
    struct sched_param p = {};
    p.sched_priority = sched_get_priority_min(SCHED_RR);
    pthread_attr_setschedparam(&a, &p);
    pthread_t t;
    int ignored[2];
    int rc = pthread_create(&t, &a, report_sched, ignored);
    pthread_attr_destroy(&a);
    if (rc == 0)
        pthread_join(t, nullptr);
    return rc == EPERM;
}

} // namespace

TEST(Thread, SchedulingModeGivesRoundRobinOrFallsBackToDefault)
{
    /* Where the process may use SCHED_RR the thread runs at its lowest
     * priority, elsewhere it is an ordinary thread: never a failure. */
    std::vector<int> rr = sched_of_new_thread(1);
    if (rr[0] == SCHED_RR) {
        EXPECT_EQ(rr[1], sched_get_priority_min(SCHED_RR));
    } else {
        EXPECT_EQ(rr[0], SCHED_OTHER);
    }
    EXPECT_EQ(sched_of_new_thread(0)[0], SCHED_OTHER);

    /* A child process where realtime is refused (EPERM) still gets its
     * thread, with default scheduling. */
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!forbid_realtime())
            _exit(10);
        _exit(sched_of_new_thread(1)[0] == SCHED_OTHER ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10)
        GTEST_SKIP() << "realtime scheduling could not be taken away from the process";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the thread was not made, or not with default scheduling";
}

namespace {

struct done_flag {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool done = false;
};

void *detached_body(void *arg)
{
    done_flag *d = static_cast<done_flag *>(arg);
    pthread_mutex_lock(&d->mutex);
    d->done = true;
    pthread_cond_signal(&d->cond);
    pthread_mutex_unlock(&d->mutex);
    return nullptr;
}

[[noreturn]] void leave_from_deep_inside(int depth)
{
    if (depth == 0)
        orv_thread_exit(reinterpret_cast<void *>(static_cast<uintptr_t>(42)));
    leave_from_deep_inside(depth - 1);
}

void *exiting_body(void *)
{
    leave_from_deep_inside(5);
}

} // namespace

TEST(Thread, DetachExitAndConditionWaits)
{
    done_flag d;
    orv_thread_t id;
    ASSERT_EQ(orv_thread_create(&id, nullptr, detached_body, &d, "orv detached"), 0u);
    ASSERT_EQ(orv_thread_detach(id), 0u);
    pthread_mutex_lock(&d.mutex);
    while (!d.done)
        ASSERT_EQ(orv_thread_cond_wait(&d.cond, &d.mutex), 0u);
    pthread_mutex_unlock(&d.mutex);

    ASSERT_EQ(orv_thread_create(&id, nullptr, exiting_body, nullptr, "orv exit"), 0u);
    void *result = nullptr;
    ASSERT_EQ(orv_thread_join(id, &result), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(result), 42u);
    EXPECT_TRUE(pthread_equal(orv_thread_self(), pthread_self()));

    /* A timed wait that nobody signals ends at its real-time deadline, not
     * before it; a deadline already past times out at once. */
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    struct timespec deadline;
    ASSERT_EQ(orv_time_get_timespec_realtime(&deadline), 0u);
    uint64_t start = now_ms();
    deadline.tv_nsec += 200 * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&m);
    uint32_t rc;
    do
        rc = orv_thread_cond_timedwait(&c, &m, &deadline);
    while (rc == 0); /* spurious wake-ups */
    uint64_t elapsed = now_ms() - start;
    EXPECT_EQ(rc, static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_GE(elapsed, 199u); /* the clocks are read at different moments */
    EXPECT_LT(elapsed, 10000u);
    EXPECT_EQ(orv_thread_cond_timedwait(&c, &m, &deadline), static_cast<uint32_t>(ETIMEDOUT));
    pthread_mutex_unlock(&m);
}

namespace {

constexpr int ATOMIC_THREADS = 4, ATOMIC_ROUNDS = 50000;

struct atomic_ctx {
    volatile uint32_t counter = 0, cas_counter = 0, down = ATOMIC_THREADS * ATOMIC_ROUNDS;
    std::vector<uint32_t> returned[ATOMIC_THREADS];
    volatile uint32_t next_index = 0;
};

void *hammer(void *p)
{
    atomic_ctx *ctx = static_cast<atomic_ctx *>(p);
    std::vector<uint32_t> &mine = ctx->returned[orv_atomic_incr(&ctx->next_index) - 1];
    for (int i = 0; i < ATOMIC_ROUNDS; i++) {
        mine.push_back(orv_atomic_incr(&ctx->counter));
        orv_atomic_decr(&ctx->down);
        for (;;) { /* a compare-and-swap increment: retries until it wins */
            uint32_t seen = orv_atomic_get(&ctx->cas_counter);
            if (orv_atomic_cas(&ctx->cas_counter, seen, seen + 1))
                break;
        }
    }
    return nullptr;
}

} // namespace

TEST(Atomic, ConcurrentUpdatesAreExactAndReturnTheNewValue)
{
    volatile uint32_t v = 10;
    EXPECT_EQ(orv_atomic_incr(&v), 11u);
    EXPECT_EQ(orv_atomic_decr(&v), 10u);
    EXPECT_EQ(orv_atomic_add(&v, -20), static_cast<uint32_t>(-10));
    orv_atomic_set(&v, 7);
    EXPECT_FALSE(orv_atomic_cas(&v, 8, 9));
    EXPECT_EQ(orv_atomic_get(&v), 7u);
    EXPECT_TRUE(orv_atomic_cas(&v, 7, 9));
    EXPECT_EQ(orv_atomic_get(&v), 9u);

    atomic_ctx ctx;
    orv_thread_t ids[ATOMIC_THREADS];
    for (orv_thread_t &id : ids)
        ASSERT_EQ(orv_thread_create(&id, nullptr, hammer, &ctx, "orv atomics"), 0u);
    for (orv_thread_t id : ids)
        ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    const uint32_t total = ATOMIC_THREADS * ATOMIC_ROUNDS;
    EXPECT_EQ(orv_atomic_get(&ctx.counter), total);
    EXPECT_EQ(orv_atomic_get(&ctx.cas_counter), total);
    EXPECT_EQ(orv_atomic_get(&ctx.down), 0u);

    std::vector<uint32_t> all;
    for (auto &r : ctx.returned)
        all.insert(all.end(), r.begin(), r.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), total);
    for (uint32_t i = 0; i < total; i++)
        ASSERT_EQ(all[i], i + 1) << "every new value is returned exactly once";
}

/*
 * thread_test.cpp - named threads, scheduling modes, condition waits and
 * atomics.
 *
 * Thread names are checked on both sides of the kernel's 15-byte limit: orv
 * gives the thread its whole name, the kernel (and so ps and gdb) the first
 * 15 bytes. The atomics are hammered from several threads and every value
 * returned by an increment must come back exactly once.
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
#include <cstring>
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
    char kernel_name[32];
    std::string comm;
    uint32_t rc;
    char small[8];
    uint32_t small_rc;
};

void *report_names(void *arg)
{
    name_report *r = static_cast<name_report *>(arg);
    r->rc = orv_thread_get_name(r->orv_name, sizeof r->orv_name);
    pthread_getname_np(pthread_self(), r->kernel_name, sizeof r->kernel_name);
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
    EXPECT_STREQ(r.kernel_name, "KEL Spawned Tes");
    EXPECT_EQ(r.comm, "KEL Spawned Tes");
    EXPECT_EQ(r.small_rc, static_cast<uint32_t>(ENOSPC));
    EXPECT_STREQ(r.small, "KEL Spa");

    /* Longer than orv keeps: cut to 63 bytes. */
    std::string long_name(100, 'n');
    r = {};
    ASSERT_EQ(orv_thread_create(&id, nullptr, report_names, &r, long_name.c_str()), 0u);
    ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    EXPECT_EQ(r.rc, 0u);
    EXPECT_EQ(std::string(r.orv_name), long_name.substr(0, ORV_THREAD_NAME_MAX));
    EXPECT_EQ(r.comm, long_name.substr(0, ORV_THREAD_NAME_KERNEL_MAX));

    /* A thread orv did not start reports its kernel name. */
    char expected[32];
    pthread_getname_np(pthread_self(), expected, sizeof expected);
    char buf[ORV_THREAD_NAME_MAX + 1];
    EXPECT_EQ(orv_thread_get_name(buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, expected);
    EXPECT_EQ(orv_thread_get_name(nullptr, 4), static_cast<uint32_t>(EINVAL));
}

namespace {

struct sched_report {
    int policy;
    int priority;
};

void *report_sched(void *arg)
{
    sched_report *r = static_cast<sched_report *>(arg);
    struct sched_param p;
    pthread_getschedparam(pthread_self(), &r->policy, &p);
    r->priority = p.sched_priority;
    return nullptr;
}

} // namespace

TEST(Thread, SchedulingModeGivesRoundRobinOrFallsBackToDefault)
{
    orv_thread_attr_t attr;
    ASSERT_EQ(orv_thread_attr_init(&attr), 0u);
    ASSERT_EQ(orv_thread_attr_setsched_mode(&attr, 1), 0u);
    sched_report r = {-1, -1};
    orv_thread_t id;
    ASSERT_EQ(orv_thread_create(&id, &attr, report_sched, &r, "orv rr"), 0u);
    ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    /* Where the process may use SCHED_RR the thread runs at its lowest
     * priority, elsewhere it is an ordinary thread: never a failure. */
    if (r.policy == SCHED_RR) {
        EXPECT_EQ(r.priority, sched_get_priority_min(SCHED_RR));
    } else {
        EXPECT_EQ(r.policy, SCHED_OTHER);
    }

    ASSERT_EQ(orv_thread_attr_setsched_mode(&attr, 0), 0u);
    r = {-1, -1};
    ASSERT_EQ(orv_thread_create(&id, &attr, report_sched, &r, "orv default"), 0u);
    ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    EXPECT_EQ(r.policy, SCHED_OTHER);
    EXPECT_EQ(orv_thread_attr_destroy(&attr), 0u);

    EXPECT_EQ(orv_thread_create(nullptr, nullptr, report_sched, &r, "x"), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_thread_create(&id, nullptr, nullptr, &r, "x"), static_cast<uint32_t>(EINVAL));
}

namespace {

/* Takes realtime scheduling away from this process: no realtime priority
 * limit, and no CAP_SYS_NICE (which root would otherwise use to bypass it).
 * True when a SCHED_RR thread is then really refused. */
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
    sched_report ignored;
    int rc = pthread_create(&t, &a, report_sched, &ignored);
    pthread_attr_destroy(&a);
    if (rc == 0) {
        pthread_join(t, nullptr);
        return false;
    }
    return rc == EPERM;
}

} // namespace

TEST(Thread, SchedulingModeFallsBackWhereRealtimeIsRefused)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!forbid_realtime())
            _exit(10);
        orv_thread_attr_t attr;
        orv_thread_attr_init(&attr);
        orv_thread_attr_setsched_mode(&attr, 1);
        sched_report r = {-1, -1};
        orv_thread_t id;
        if (orv_thread_create(&id, &attr, report_sched, &r, "orv fallback") != 0)
            _exit(2);
        orv_thread_join(id, nullptr);
        _exit(r.policy == SCHED_OTHER ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10)
        GTEST_SKIP() << "realtime scheduling could not be taken away from the process";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: creation failed, 3: not default scheduling";
}

namespace {

struct done_flag {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool done = false;
    bool self_matches = false;
};

void *detached_body(void *arg)
{
    done_flag *d = static_cast<done_flag *>(arg);
    orv_thread_may_yield();
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
     * before it. */
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
    pthread_mutex_unlock(&m);
    uint64_t elapsed = now_ms() - start;
    EXPECT_EQ(rc, static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_GE(elapsed, 199u); /* the clocks are read at different moments */
    EXPECT_LT(elapsed, 10000u);

    /* A deadline already past times out at once. */
    pthread_mutex_lock(&m);
    EXPECT_EQ(orv_thread_cond_timedwait(&c, &m, &deadline), static_cast<uint32_t>(ETIMEDOUT));
    pthread_mutex_unlock(&m);
}

namespace {

struct atomic_ctx {
    volatile uint32_t counter = 0;
    volatile uint32_t cas_counter = 0;
    volatile uint32_t down = 0;
    std::vector<uint32_t> returned[4];
    int index_counter = 0;
};

struct atomic_arg {
    atomic_ctx *ctx;
    int index;
};

constexpr int ATOMIC_ROUNDS = 50000;

void *hammer(void *p)
{
    atomic_arg *a = static_cast<atomic_arg *>(p);
    std::vector<uint32_t> &mine = a->ctx->returned[a->index];
    mine.reserve(ATOMIC_ROUNDS);
    for (int i = 0; i < ATOMIC_ROUNDS; i++) {
        mine.push_back(orv_atomic_incr(&a->ctx->counter));
        orv_atomic_decr(&a->ctx->down);
        /* A compare-and-swap increment: retries until it wins. */
        for (;;) {
            uint32_t seen = orv_atomic_get(&a->ctx->cas_counter);
            if (orv_atomic_cas(&a->ctx->cas_counter, seen, seen + 1))
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
    EXPECT_EQ(orv_atomic_add(&v, 5), 15u);
    EXPECT_EQ(orv_atomic_add(&v, -20), static_cast<uint32_t>(-5));
    orv_atomic_set(&v, 7);
    EXPECT_EQ(orv_atomic_get(&v), 7u);
    EXPECT_FALSE(orv_atomic_cas(&v, 8, 9));
    EXPECT_EQ(orv_atomic_get(&v), 7u);
    EXPECT_TRUE(orv_atomic_cas(&v, 7, 9));
    EXPECT_EQ(orv_atomic_get(&v), 9u);

    atomic_ctx ctx;
    orv_atomic_set(&ctx.down, 4 * ATOMIC_ROUNDS);
    atomic_arg args[4];
    orv_thread_t ids[4];
    for (int i = 0; i < 4; i++) {
        args[i] = {&ctx, i};
        ASSERT_EQ(orv_thread_create(&ids[i], nullptr, hammer, &args[i], "orv atomics"), 0u);
    }
    for (orv_thread_t id : ids)
        ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    const uint32_t total = 4 * ATOMIC_ROUNDS;
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

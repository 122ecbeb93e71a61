/*
 * dispatcher_test.cpp - the dispatcher, its timers and watched booleans.
 *
 * Waits are measured, not assumed: a wait ends at its timer's deadline and
 * not before, a boolean set from another thread wakes a blocked wait (also
 * while setters and the handler contend for one lock, as in the event
 * checker), a timer re-armed on every pass never fires while passes keep
 * coming, and a second of blocking costs almost no CPU time (so the wait
 * does not poll). Handlers may call back into the dispatcher.
 */
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>

#include "orv.h"

namespace {

uint64_t now_ms()
{
    struct timespec ts;
    orv_time_get_timespec(&ts);
    return orv_time_timespec_to_msec64(&ts);
}

struct timespec ms(uint64_t m)
{
    struct timespec ts;
    orv_time_msec64_to_timespec(m, &ts);
    return ts;
}

/* CPU time and voluntary context switches of the calling thread. A blocked
 * thread uses no CPU and switches once per sleep; a thread that polls, even
 * with short sleeps, switches once per poll. */
struct thread_usage {
    uint64_t cpu_us, switches;
};

thread_usage usage_now()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return {static_cast<uint64_t>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000u +
                static_cast<uint64_t>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec),
            static_cast<uint64_t>(ru.ru_nvcsw)};
}

struct timer_log {
    int fired = 0;
    orv_dm_t *dm = nullptr;
    orv_dm_timer_t *timer = nullptr;
};

void on_timer(orv_dm_t *dm, orv_dm_timer_t *timer, void *ctx)
{
    timer_log *log = static_cast<timer_log *>(ctx);
    log->fired++;
    log->dm = dm;
    log->timer = timer;
}

struct wb_log {
    int runs = 0;
    bool value_seen = false;
    orv_dm_wb_t *wb = nullptr;
};

void on_wb(orv_dm_wb_t *wb, void *ctx)
{
    wb_log *log = static_cast<wb_log *>(ctx);
    log->runs++;
    log->wb = wb;
    orv_dm_watched_boolean_get(wb, &log->value_seen);
}

/* Sets a boolean to true from another thread after a delay. */
struct late_setter {
    orv_dm_wb_t *wb;
    uint32_t delay_ms;
};

void *set_later(void *arg)
{
    late_setter *s = static_cast<late_setter *>(arg);
    orv_time_sleep(s->delay_ms);
    orv_dm_watched_boolean_set(s->wb, true);
    return nullptr;
}

class Dispatcher : public ::testing::Test {
protected:
    orv_dm_t *dm = nullptr;
    void SetUp() override { ASSERT_EQ(orv_dm_create(&dm, "orv test", 0), 0u); }
    void TearDown() override { EXPECT_EQ(orv_dm_destroy(dm), 0u); }
    void arm(orv_dm_timer_t *t, uint64_t m)
    {
        struct timespec rel = ms(m);
        ASSERT_EQ(orv_dm_timer_settime(dm, t, &rel), 0u);
    }
    /* One wait and one dispatch; returns how long the wait took. */
    uint64_t pass()
    {
        uint64_t start = now_ms();
        EXPECT_EQ(orv_dm_wait(dm), 0u);
        uint64_t waited = now_ms() - start;
        EXPECT_EQ(orv_dm_dispatch(dm), 0u);
        return waited;
    }
};

} // namespace

TEST_F(Dispatcher, TimerFiresAtItsDeadlineAndNotBefore)
{
    timer_log log, log2;
    orv_dm_timer_t *t = nullptr, *t2 = nullptr;
    ASSERT_EQ(orv_dm_timer_register(dm, &t, on_timer, &log), 0u);
    struct timespec left;
    ASSERT_EQ(orv_dm_timer_gettime(dm, t, &left), 0u);
    EXPECT_EQ(orv_time_timespec_to_msec64(&left), 0u) << "a new timer is disarmed";

    uint64_t start = now_ms();
    arm(t, 200);
    ASSERT_EQ(orv_dm_timer_gettime(dm, t, &left), 0u);
    EXPECT_GT(left.tv_sec * 1000000000L + left.tv_nsec, 0);
    EXPECT_LE(orv_time_timespec_to_msec64(&left), 200u);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(log.fired, 0) << "dispatching before the deadline runs nothing";
    pass();
    EXPECT_GE(now_ms() - start, 200u);
    EXPECT_LT(now_ms() - start, 10000u);
    EXPECT_EQ(log.fired, 1);
    EXPECT_EQ(log.dm, dm);
    EXPECT_EQ(log.timer, t);
    ASSERT_EQ(orv_dm_timer_gettime(dm, t, &left), 0u);
    EXPECT_EQ(orv_time_timespec_to_msec64(&left), 0u);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(log.fired, 1) << "one-shot";

    /* Zero disarms: the first timer stays silent while a second one fires. */
    ASSERT_EQ(orv_dm_timer_register(dm, &t2, on_timer, &log2), 0u);
    arm(t, 50);
    arm(t, 0);
    start = now_ms();
    arm(t2, 150);
    pass();
    EXPECT_GE(now_ms() - start, 150u);
    EXPECT_EQ(log.fired, 1);
    EXPECT_EQ(log2.fired, 1);

    /* Registering with neither handler nor context releases the timer. */
    ASSERT_EQ(orv_dm_timer_register(dm, &t, nullptr, nullptr), 0u);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(orv_dm_timer_register(dm, &t, nullptr, nullptr), static_cast<uint32_t>(EINVAL));

    orv_dm_t *other = nullptr;
    ASSERT_EQ(orv_dm_create(&other, "other", ORV_DM_THREAD_SAFE), 0u);
    struct timespec rel = ms(10), bad = {0, 1000000000L};
    EXPECT_EQ(orv_dm_timer_settime(other, t2, &rel), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_dm_timer_settime(dm, t2, nullptr), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_dm_timer_settime(dm, t2, &bad), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_dm_timer_gettime(dm, t2, nullptr), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_dm_create(&other, "x", 0x80), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_dm_destroy(other), 0u);
    arm(t2, 10); /* destroy releases the remaining timer, armed (ASan checks) */
}

TEST_F(Dispatcher, BooleanSetWhileNobodyWaitsStaysReady)
{
    orv_dm_wb_t *wb = nullptr;
    ASSERT_EQ(orv_dm_watched_boolean_create("orv wb", false, &wb), 0u);
    wb_log log;
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &log), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &log), static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(orv_dm_watched_boolean_destroy(wb), static_cast<uint32_t>(EBUSY));

    /* Set twice before anybody waits: the wait returns at once, the dispatch
     * runs the handler once for both sets. */
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, true), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, true), 0u);
    pass();
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.wb, wb);
    EXPECT_TRUE(log.value_seen);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(log.runs, 1) << "nothing ready, nothing runs";

    /* Setting false makes nothing ready; the value reads back. */
    bool v = true;
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, false), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_get(wb, &v), 0u);
    EXPECT_FALSE(v);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(log.runs, 1);

    /* A boolean that is already true when registered is ready at once. */
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, wb), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_deregister(dm, wb), static_cast<uint32_t>(ENOENT));
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, true), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &log), 0u);
    pass();
    EXPECT_EQ(log.runs, 2);

    /* After deregistering, sets no longer reach the dispatcher: only the
     * timer ends the wait and only its handler runs. */
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, wb), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, true), 0u);
    timer_log tlog;
    orv_dm_timer_t *t = nullptr;
    ASSERT_EQ(orv_dm_timer_register(dm, &t, on_timer, &tlog), 0u);
    uint64_t start = now_ms();
    arm(t, 50);
    pass();
    EXPECT_GE(now_ms() - start, 50u);
    EXPECT_EQ(tlog.fired, 1);
    EXPECT_EQ(log.runs, 2);

    /* Destroying a dispatcher deregisters the boolean, which then can be
     * registered elsewhere (still true: ready at once) and destroyed. */
    orv_dm_t *first = nullptr;
    ASSERT_EQ(orv_dm_create(&first, "first", 0), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_register(first, wb, on_wb, &log), 0u);
    ASSERT_EQ(orv_dm_destroy(first), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &log), 0u);
    pass();
    EXPECT_EQ(log.runs, 3);
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, wb), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_destroy(wb), 0u);
}

namespace {

/* A heartbeat source: each pass, after the waiter has re-armed its timer,
 * the thread pauses a few milliseconds and sets the boolean. */
struct heartbeat {
    orv_dm_wb_t *wb;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    int armed_passes = 0;
    int beats = 20;
    void armed(int passes)
    {
        pthread_mutex_lock(&mutex);
        armed_passes = passes;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    }
};

void *beat(void *arg)
{
    heartbeat *h = static_cast<heartbeat *>(arg);
    for (int i = 0; i < h->beats; i++) {
        pthread_mutex_lock(&h->mutex);
        while (h->armed_passes <= i)
            pthread_cond_wait(&h->cond, &h->mutex);
        pthread_mutex_unlock(&h->mutex);
        orv_time_sleep(5);
        orv_dm_watched_boolean_set(h->wb, true);
    }
    return nullptr;
}

void clear_beat(orv_dm_wb_t *wb, void *ctx)
{
    static_cast<wb_log *>(ctx)->runs++;
    orv_dm_watched_boolean_set(wb, false);
}

} // namespace

TEST_F(Dispatcher, TimerReArmedEveryPassNeverFiresWhilePassesCome)
{
    timer_log tlog;
    orv_dm_timer_t *t = nullptr;
    ASSERT_EQ(orv_dm_timer_register(dm, &t, on_timer, &tlog), 0u);
    heartbeat h;
    ASSERT_EQ(orv_dm_watched_boolean_create("beat", false, &h.wb), 0u);
    wb_log blog;
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, h.wb, clear_beat, &blog), 0u);
    orv_thread_t id;
    ASSERT_EQ(orv_thread_create(&id, nullptr, beat, &h, "orv heartbeat"), 0u);

    uint64_t start = now_ms(), last_arm = 0;
    int passes = 0;
    while (tlog.fired == 0 && passes <= h.beats) {
        last_arm = now_ms();
        arm(t, 500);
        h.armed(++passes);
        pass();
    }
    uint64_t end = now_ms();
    h.armed(h.beats); /* should the timer have fired early, release the beat thread anyway */
    ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    /* Every beat gave one pass; the timer fired only on the pass after the
     * last beat, a full time-out after its last re-arm. */
    EXPECT_EQ(blog.runs, h.beats);
    EXPECT_EQ(passes, h.beats + 1);
    EXPECT_EQ(tlog.fired, 1);
    EXPECT_GE(end - last_arm, 500u);
    EXPECT_GE(end - start, 500u + 5u * static_cast<uint64_t>(h.beats));
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, h.wb), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_destroy(h.wb), 0u);
}

TEST_F(Dispatcher, BlockedWaitUsesAlmostNoCpu)
{
    /* Blocked on a timer for a second, then with no timer armed until
     * another thread sets a boolean. */
    timer_log tlog;
    orv_dm_timer_t *t = nullptr;
    ASSERT_EQ(orv_dm_timer_register(dm, &t, on_timer, &tlog), 0u);
    orv_dm_wb_t *wb = nullptr;
    ASSERT_EQ(orv_dm_watched_boolean_create("late", false, &wb), 0u);
    wb_log log;
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &log), 0u);
    for (bool by_timer : {true, false}) {
        late_setter s = {wb, 500};
        orv_thread_t id;
        if (by_timer) {
            arm(t, 1000);
        } else {
            ASSERT_EQ(orv_thread_create(&id, nullptr, set_later, &s, "orv setter"), 0u);
        }
        thread_usage u0 = usage_now();
        uint64_t wall = pass();
        thread_usage u1 = usage_now();
        EXPECT_GE(wall + 50u, by_timer ? 1000u : 500u); /* armed or started a little earlier */
        EXPECT_LT(u1.cpu_us - u0.cpu_us, 100000u) << "CPU microseconds spent in a blocked wait";
        EXPECT_LT(u1.switches - u0.switches, 20u) << "voluntary context switches in a blocked wait";
        EXPECT_EQ(tlog.fired, 1);
        EXPECT_EQ(log.runs, by_timer ? 0 : 1);
        if (!by_timer) {
            ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
        }
    }
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, wb), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_destroy(wb), 0u);
}

namespace {

/* The event checker's shape: submitters hold their own mutex while they set
 * the boolean; the handler takes the same mutex and resets the boolean. */
struct submitters {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    orv_dm_wb_t *wb = nullptr;
    uint32_t submitted = 0; /* under mutex */
    uint32_t seen = 0;      /* under mutex, by the handler */
};

constexpr int SUBMITTERS = 4;
constexpr uint32_t SUBMISSIONS = 2000;

void *submit(void *arg)
{
    submitters *s = static_cast<submitters *>(arg);
    for (uint32_t i = 0; i < SUBMISSIONS; i++) {
        pthread_mutex_lock(&s->mutex);
        s->submitted++;
        orv_dm_watched_boolean_set(s->wb, true);
        pthread_mutex_unlock(&s->mutex);
        if (i % 64 == 0)
            orv_thread_may_yield();
    }
    return nullptr;
}

void submit_handler(orv_dm_wb_t *wb, void *ctx)
{
    submitters *s = static_cast<submitters *>(ctx);
    pthread_mutex_lock(&s->mutex);
    s->seen = s->submitted;
    orv_dm_watched_boolean_set(wb, false);
    pthread_mutex_unlock(&s->mutex);
}

} // namespace

TEST_F(Dispatcher, HandlersTakeTheLockSettersHoldWithoutDeadlockOrLostWakeUp)
{
    /* A set lost between the handler's reset and the next wait would leave
     * the loop waiting forever for the last submissions. */
    submitters s;
    ASSERT_EQ(orv_dm_watched_boolean_create("submit", false, &s.wb), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, s.wb, submit_handler, &s), 0u);
    orv_thread_t ids[SUBMITTERS];
    for (auto &id : ids)
        ASSERT_EQ(orv_thread_create(&id, nullptr, submit, &s, "orv submitter"), 0u);
    for (bool all_seen = false; !all_seen;) {
        pass();
        pthread_mutex_lock(&s.mutex);
        all_seen = s.seen == SUBMITTERS * SUBMISSIONS;
        pthread_mutex_unlock(&s.mutex);
    }
    for (orv_thread_t id : ids)
        ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, s.wb), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_destroy(s.wb), 0u);
}

namespace {

struct reentry {
    orv_dm_timer_t *timer = nullptr, *victim = nullptr;
    int timer_runs = 0, victim_runs = 0, wb_runs = 0;
};

/* Runs first in its batch: releases its own timer and a second timer that
 * expired in the same batch, which then must not run. */
void releasing_timer(orv_dm_t *dm, orv_dm_timer_t *, void *ctx)
{
    reentry *r = static_cast<reentry *>(ctx);
    r->timer_runs++;
    orv_dm_timer_register(dm, &r->timer, nullptr, nullptr);
    orv_dm_timer_register(dm, &r->victim, nullptr, nullptr);
}

void victim_timer(orv_dm_t *, orv_dm_timer_t *, void *ctx)
{
    static_cast<reentry *>(ctx)->victim_runs++;
}

/* Sets its own boolean again: that belongs to the next dispatch, so one
 * dispatch cannot spin forever. */
void resetting_wb(orv_dm_wb_t *wb, void *ctx)
{
    static_cast<reentry *>(ctx)->wb_runs++;
    orv_dm_watched_boolean_set(wb, true);
}

} // namespace

TEST_F(Dispatcher, HandlersMayCallBackIntoTheDispatcher)
{
    reentry r;
    ASSERT_EQ(orv_dm_timer_register(dm, &r.timer, releasing_timer, &r), 0u);
    ASSERT_EQ(orv_dm_timer_register(dm, &r.victim, victim_timer, &r), 0u);
    arm(r.timer, 20);
    arm(r.victim, 20);
    orv_time_sleep(40); /* both expired: they are dispatched in one batch */
    pass();
    EXPECT_EQ(r.timer_runs, 1);
    EXPECT_EQ(r.victim_runs, 0);
    EXPECT_EQ(r.timer, nullptr);
    EXPECT_EQ(r.victim, nullptr);

    orv_dm_wb_t *wb = nullptr;
    ASSERT_EQ(orv_dm_watched_boolean_create("again", true, &wb), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, wb, resetting_wb, &r), 0u);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(r.wb_runs, 1);
    pass(); /* the handler's own set is ready for the next wait */
    EXPECT_EQ(r.wb_runs, 2);

    /* Left registered on purpose: destroy deregisters it. */
    EXPECT_EQ(orv_dm_destroy(dm), 0u);
    ASSERT_EQ(orv_dm_create(&dm, "orv test", 0), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_destroy(wb), 0u);
}

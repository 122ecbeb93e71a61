/*
 * evc_test.cpp - the event checker through kel.h: matching, the report a
 * test case prints (whole output), time-outs, flushing, and submissions from
 * many threads against one or two dispatching threads, and creations that
 * fail part-way (platform calls made to fail by interposing them here).
 */
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <atomic>
#include <cerrno>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include "kel.h"

namespace {
const std::string F = __FILE__;
kel_evc_t *E;
kel_evc_queue_t *Q[3];
uint32_t result, after;
int site; /* the source line the report must name */
#define AT(call) (site = __LINE__, call)
kel_evc_event_t ev(uint32_t type, const char *text = nullptr)
{
    return {type, text ? static_cast<uint32_t>(strlen(text)) : 0u, text};
}
const char *short_str(const kel_evc_event_t *e, char *buf, size_t size)
{
    snprintf(buf, size, "ev%u/%u", e->type, e->len);
    return buf;
}
uint32_t type_cmp(const kel_evc_event_t *a, const kel_evc_event_t *b)
{
    return a->type == b->type ? 0 : 9;
}
/* A checker "chk" with queues, and expectations {queue, type, count}. */
void make(std::vector<const char *> queues, std::vector<std::array<uint32_t, 3>> expected, kel_evc_str_fn str = nullptr)
{
    ASSERT_EQ(kel_evc_create(&E, "chk", nullptr), 0u);
    for (size_t i = 0; i < queues.size(); i++)
        ASSERT_EQ(kel_evc_queue_create(&Q[i], E, queues[i], nullptr, str), 0u);
    for (auto [q, type, count] : expected) {
        kel_evc_event_t e = ev(type);
        kel_evc_queue_expect(Q[q], &e, count);
    }
}
kel_evc_event_t sent;
/* A macro, so that the report names the calling function. */
#define submit(queue, type) (sent = ev(type), kel_evc_queue_submit("chk", queue, &sent))
/* Records the result; an idle dispatch afterwards shows every queue reset. */
void finish(uint32_t rc)
{
    result = rc;
    after = kel_evc_dispatch(E, 10);
    kel_evc_destroy(&E);
}
} // namespace

TEST(Evc, EachOutcomeIsReportedAtItsSiteAndResetsTheQueues)
{
    struct {
        void (*body)();
        const char *queue, *expected, *received; /* no queue: no report */
        uint32_t rc;
    } const rows[] = {
        {[] { /* a mismatch is reported where it was submitted, on any thread */
             make({"q"}, {{0, 1, 1}, {0, 2, 1}});
             submit("q", 1);
             pthread_t t;
             pthread_create(&t, nullptr, [](void *) -> void * { return AT(submit("q", 3)), nullptr; }, nullptr);
             pthread_join(t, nullptr);
             finish(kel_evc_dispatch(E, 60000));
         },
         "q", "Type 2; Len 0; Val ((nil))", "Type 3; Len 0; Val ((nil))", KEL_EVC_E_BADMSG},
        {[] { /* a time-out at the dispatch */
             make({"q"}, {{0, 1, 1}});
             finish(AT(kel_evc_dispatch(E, 100)));
         },
         "q", "Type 1; Len 0; Val ((nil))", "Timeout of 100 ms", KEL_EVC_E_TIMEDOUT},
        {[] { /* the last busy queue in name order */
             make({"c", "a", "b"}, {{1, 1, 1}, {0, 3, 1}}, short_str);
             finish(AT(kel_evc_dispatch(E, 50)));
         },
         "c", "ev3/0", "Timeout of 50 ms", KEL_EVC_E_TIMEDOUT},
        {[] { /* an extra event fails a checker otherwise satisfied */
             make({"q"}, {{0, 1, 1}}, short_str);
             submit("q", 1);
             AT(submit("q", 1));
             finish(kel_evc_dispatch(E, 0));
         },
         "q", "nothing!?", "ev1/0", KEL_EVC_E_BADMSG},
        {[] { /* an event on a queue expecting silence ends it at once */
             make({"quiet"}, {}, short_str);
             AT(submit("quiet", 7));
             finish(kel_evc_dispatch(E, 60000));
         },
         "quiet", "timeout", "ev7/0", KEL_EVC_E_BADMSG},
        {[] {
             make({"q"}, {{0, 1, 2}});
             submit("q", 1);
             submit("q", 1);
             finish(kel_evc_dispatch(E, 60000));
         },
         nullptr, nullptr, nullptr, 0},
    };
    for (const auto &r : rows) {
        kel_t *kel = nullptr;
        ASSERT_EQ(kel_create(&kel), 0u);
        kel_create_test_case(kel, nullptr, "evc", "", r.body, KEL_TC_BASIC);
        result = after = 0xdeadbeef;
        char arg0[] = "evc_tests", q[] = "-q", path[] = "evc";
        char *argv[] = {arg0, q, path, nullptr};
        testing::internal::CaptureStdout();
        kel_run(3, argv, kel);
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        kel_destroy(&kel);
        /* A logged error does not fail the test case: its block alone. */
        const std::string p = r.queue ? std::string("[chk:") + r.queue + "] " : "";
        EXPECT_EQ(out, r.queue == nullptr ? ""
                                          : "---> ##### ERROR\n     " + p + "Expected: " + r.expected + "\n     " + p +
                                                "Received: " + r.received + "\n     " + F + ":" +
                                                std::to_string(site) + ":operator()()\n");
        EXPECT_EQ(result, r.rc) << out;
        EXPECT_EQ(after, 0u) << "every queue is reset after a dispatch";
    }
}

TEST(Evc, SubmitResultsBadArgumentsAndFlush)
{
    kel_evc_t *evc = nullptr, *other = nullptr;
    kel_evc_queue_t *a = nullptr, *custom = nullptr, *dup = nullptr;
    ASSERT_EQ(kel_evc_create(&evc, "c", nullptr), 0u);
    EXPECT_EQ(kel_evc_create(&other, "c", nullptr), KEL_EVC_E_EXIST);
    ASSERT_EQ(kel_evc_queue_create(&a, evc, "a", nullptr, nullptr), 0u);
    ASSERT_EQ(kel_evc_queue_create(&custom, evc, "custom", type_cmp, short_str), 0u);
    EXPECT_EQ(kel_evc_queue_create(&dup, evc, "a", nullptr, nullptr), KEL_EVC_E_EXIST);
    kel_evc_event_t x = ev(1), y = ev(2, "yy"), five = ev(5, "expected"), same_type = ev(5, "other bytes");
    kel_evc_event_t val_without_len = {1, 0, "x"}, len_without_val = {1, 2, nullptr};
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 2), 0u);
    ASSERT_EQ(kel_evc_queue_expect(custom, &five, 1), 0u);
    struct {
        const char *evc, *queue;
        const kel_evc_event_t *event;
        uint32_t rc;
    } const rows[] = {
        {"c", "a", &x, 0},
        {"c", "a", &y, KEL_EVC_W_MISMATCH}, /* the head stays */
        {"c", "a", &x, 0},
        {"c", "custom", &same_type, 0}, /* the queue's own comparison */
        {"nobody", "a", &x, KEL_EVC_E_NOENT},
        {"c", "Custom", &x, KEL_EVC_E_NOENT},
        {"c", "a", &val_without_len, KEL_EVC_E_INVAL},
        {"c", "a", &len_without_val, KEL_EVC_E_INVAL},
        {"c", "a", nullptr, KEL_EVC_E_INVAL},
        {nullptr, "a", &x, KEL_EVC_E_INVAL},
        {"c", nullptr, &x, KEL_EVC_E_INVAL},
    };
    for (const auto &r : rows)
        EXPECT_EQ(kel_evc_queue_submit(r.evc, r.queue, r.event), r.rc) << (r.evc ? r.evc : "") << ":" << r.queue;
    EXPECT_EQ(kel_evc_queue_submit_(nullptr, 1, "f", "c", "a", &x), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_dispatch(nullptr, 0), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_flush(evc, 0), KEL_EVC_E_INVAL) << "nothing could end it";
    /* The recorded mismatch fails the dispatch although every expectation
     * was met. */
    testing::internal::CaptureStdout();
    EXPECT_EQ(kel_evc_dispatch(evc, 0), KEL_EVC_E_BADMSG);
    testing::internal::GetCapturedStdout();
    /* Mismatches before and during a flush are all discarded. */
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &y), KEL_EVC_W_MISMATCH);
    std::thread late([&] {
        for (int i = 0; i < 50; i++)
            kel_evc_queue_submit("c", "a", &x);
    });
    EXPECT_EQ(kel_evc_flush(evc, 300), 0u);
    late.join();
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    ASSERT_EQ(kel_evc_queue_submit("c", "a", &x), 0u);
    EXPECT_EQ(kel_evc_dispatch(evc, 100), 0u) << "a done queue beside one expecting silence";
    /* Without queues nothing can be satisfied: ETIME, and no report. */
    ASSERT_EQ(kel_evc_reset(evc), 0u);
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(kel_evc_dispatch(evc, 100), KEL_EVC_E_TIME);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(kel_evc_destroy(&evc), 0u);
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &x), KEL_EVC_E_NOENT) << "no checker at all";
}

TEST(Evc, ManySubmittersAndTwoCheckersAtOnce)
{
    /* Eight threads feed their own queues (10 kinds of event, 1000 of each
     * in a row) of checker "one" while checker "two" is fed and dispatched
     * on two more threads. */
    constexpr int threads = 8, kinds = 10, per_kind = 1000;
    kel_evc_t *evc[2] = {};
    std::vector<kel_evc_queue_t *> q(threads + 1);
    ASSERT_EQ(kel_evc_create(&evc[0], "one", nullptr), 0u);
    ASSERT_EQ(kel_evc_create(&evc[1], "two", nullptr), 0u);
    for (int t = 0; t <= threads; t++) {
        ASSERT_EQ(kel_evc_queue_create(&q[t], evc[t == threads], ("q" + std::to_string(t)).c_str(), nullptr, nullptr),
                  0u);
        for (uint32_t k = 0; k < kinds; k++) {
            kel_evc_event_t e = ev(k);
            ASSERT_EQ(kel_evc_queue_expect(q[t], &e, per_kind), 0u);
        }
    }
    std::vector<int> matched(threads + 1, 0);
    std::vector<std::thread> pool;
    uint32_t rc_two = 1;
    pool.emplace_back([&] { rc_two = kel_evc_dispatch(evc[1], 60000); });
    for (int t = 0; t <= threads; t++)
        pool.emplace_back([&, t] {
            const std::string name = "q" + std::to_string(t);
            for (uint32_t k = 0; k < kinds; k++)
                for (int i = 0; i < per_kind; i++) {
                    kel_evc_event_t e = ev(k);
                    matched[t] += kel_evc_queue_submit(t == threads ? "two" : "one", name.c_str(), &e) == 0;
                }
        });
    EXPECT_EQ(kel_evc_dispatch(evc[0], 60000), 0u);
    for (std::thread &t : pool)
        t.join();
    EXPECT_EQ(rc_two, 0u);
    for (int t = 0; t <= threads; t++)
        EXPECT_EQ(matched[t], kinds * per_kind) << t;
    EXPECT_EQ(kel_evc_destroy(&evc[0]), 0u);
    EXPECT_EQ(kel_evc_destroy(&evc[1]), 0u);
}

TEST(Evc, OnTheCallersDispatcherTimerBeatsReArmTheWatchdog)
{
    /* The caller's timer runs in the dispatching thread and submits five
     * events 300 ms apart: more than the one-second time-out, which each
     * match that leaves work on its queue restarts. */
    orv_dm_t *dm = nullptr;
    ASSERT_EQ(orv_dm_create(&dm, "caller", 0), 0u);
    kel_evc_t *evc = nullptr;
    kel_evc_queue_t *ticks = nullptr;
    ASSERT_EQ(kel_evc_create(&evc, "shared", dm), 0u);
    ASSERT_EQ(kel_evc_queue_create(&ticks, evc, "ticks", nullptr, nullptr), 0u);
    kel_evc_event_t tick = ev(42);
    ASSERT_EQ(kel_evc_queue_expect(ticks, &tick, 5), 0u);
    static pthread_t dispatching;
    static int beats;
    static bool same_thread;
    dispatching = pthread_self(), beats = 0, same_thread = true;
    orv_dm_timer_t *timer = nullptr;
    auto handler = [](orv_dm_t *d, orv_dm_timer_t *t, void *) {
        same_thread = same_thread && pthread_equal(pthread_self(), dispatching);
        kel_evc_event_t e = ev(42); /* the checker's lock is free while handlers run */
        kel_evc_queue_submit("shared", "ticks", &e);
        const struct timespec gap = {0, 300000000};
        if (++beats < 5)
            orv_dm_timer_settime(d, t, &gap);
    };
    ASSERT_EQ(orv_dm_timer_register(dm, &timer, handler, &timer), 0u);
    const struct timespec gap = {0, 300000000};
    ASSERT_EQ(orv_dm_timer_settime(dm, timer, &gap), 0u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kel_evc_dispatch(evc, 1000), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(beats, 5);
    EXPECT_TRUE(same_thread);
    EXPECT_EQ(kel_evc_destroy(&evc), 0u);
    EXPECT_EQ(orv_dm_timer_register(dm, &timer, nullptr, nullptr), 0u) << "the timer is still the caller's";
    EXPECT_EQ(orv_dm_destroy(dm), 0u);
}

/* The platform calls a checker's creation makes, interposed: each passes to
 * liborv unless it is the one chosen to fail (at its n-th call), and the
 * acquisitions still held (dispatchers, booleans and their registrations,
 * trace buffers) are counted. */
namespace {
const char *fail_fn;
int fail_countdown;
std::atomic<int> held{0};
bool failing(const char *fn)
{
    return fail_fn != nullptr && strcmp(fn, fail_fn) == 0 && --fail_countdown == 0;
}
} // namespace
#define INTERPOSE(name, delta, params, args) \
    extern "C" __attribute__((visibility("default"))) uint32_t name params \
    { \
        static const auto real = reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name)); \
        if (failing(#name)) \
            return ENOMEM; \
        uint32_t rc = real args; \
        held += rc == 0 ? delta : 0; \
        return rc; \
    }
INTERPOSE(orv_dm_create, 1, (orv_dm_t **dm, const char *n, uint32_t f), (dm, n, f))
INTERPOSE(orv_dm_destroy, -1, (orv_dm_t *dm), (dm))
INTERPOSE(orv_dm_watched_boolean_create, 1, (const char *n, bool v, orv_dm_wb_t **wb), (n, v, wb))
INTERPOSE(orv_dm_watched_boolean_destroy, -1, (orv_dm_wb_t *wb), (wb))
INTERPOSE(orv_dm_watched_boolean_set, 0, (orv_dm_wb_t *wb, bool v), (wb, v))
INTERPOSE(orv_dm_watched_boolean_register, 1, (orv_dm_t *dm, orv_dm_wb_t *wb, orv_dm_wb_handler_fn h, void *c),
          (dm, wb, h, c))
INTERPOSE(orv_dm_watched_boolean_deregister, -1, (orv_dm_t *dm, orv_dm_wb_t *wb), (dm, wb))
INTERPOSE(orv_dt_buffer_init, 1, (orv_dt_buffer_t **b, const char *n, uint32_t f, uint32_t size), (b, n, f, size))
INTERPOSE(orv_dt_buffer_close, -1, (orv_dt_buffer_t *b), (b))

TEST(Evc, ACreationFailingPartWayReleasesEverythingAndLeavesNoState)
{
    struct {
        const char *fn;
        int nth;
        bool borrowed; /* on the caller's dispatcher, which must survive */
    } const rows[] = {
        {"orv_dt_buffer_init", 1, false},        {"orv_dt_buffer_init", 3, false},
        {"orv_dm_create", 1, false},             {"orv_dm_watched_boolean_create", 1, false},
        {"orv_dm_watched_boolean_create", 2, true}, {"orv_dm_watched_boolean_set", 2, false},
        {"orv_dm_watched_boolean_register", 1, true}, {"orv_dm_watched_boolean_register", 2, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.fn) + " #" + std::to_string(r.nth) + (r.borrowed ? " borrowed" : ""));
        orv_dm_t *dm = nullptr;
        ASSERT_TRUE(!r.borrowed || orv_dm_create(&dm, "caller", 0) == 0);
        const int before = held;
        kel_evc_t *evc = nullptr;
        fail_fn = r.fn, fail_countdown = r.nth;
        testing::internal::CaptureStdout();
        EXPECT_EQ(kel_evc_create(&evc, "partial", dm), KEL_EVC_E_NOMEM);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(fail_countdown, 0) << "the failure point was reached";
        fail_fn = nullptr;
        EXPECT_EQ(evc, nullptr);
        EXPECT_EQ(held, before) << "everything acquired is released";
        /* Nothing is left behind: the same name, the state block's trace
         * buffers, a whole check work again. */
        kel_evc_queue_t *q = nullptr;
        ASSERT_EQ(kel_evc_create(&evc, "partial", dm), 0u);
        ASSERT_EQ(kel_evc_queue_create(&q, evc, "q", nullptr, nullptr), 0u);
        kel_evc_event_t e = ev(1);
        ASSERT_EQ(kel_evc_queue_expect(q, &e, 1), 0u);
        EXPECT_EQ(kel_evc_queue_submit("partial", "q", &e), 0u);
        EXPECT_EQ(kel_evc_dispatch(evc, 10000), 0u);
        EXPECT_EQ(kel_evc_destroy(&evc), 0u);
        EXPECT_TRUE(!r.borrowed || orv_dm_destroy(dm) == 0);
        EXPECT_EQ(held, before - (r.borrowed ? 1 : 0));
    }
}

/* A check failing inside a queue's comparator or renderer, wherever the
 * checker calls it, fails the test case there and leaves the checker usable:
 * after the run a dispatch and the destruction return. */
namespace {
bool armed, reached, as_assert;
void (*trigger)();
void fail_here()
{
    armed = false;
    kel_assert(!as_assert, "callback asserted");
    kel_check(false, "callback failed");
}
uint32_t failing_cmp(const kel_evc_event_t *a, const kel_evc_event_t *b)
{
    return armed ? fail_here(), 0 : type_cmp(a, b);
}
const char *failing_str(const kel_evc_event_t *e, char *buf, size_t size)
{
    return armed ? fail_here(), buf : short_str(e, buf, size);
}
} // namespace

TEST(Evc, AFailedCheckInACallbackLeavesTheCheckerUsable)
{
    struct {
        bool is_assert;
        void (*trigger)();
        uint32_t after; /* the next dispatch: the operation was completed */
    } const rows[] = {
        {false, [] { submit("c", 1); }, KEL_EVC_E_BADMSG}, /* comparator: a mismatch */
        {true, [] { submit("c", 1); }, KEL_EVC_E_BADMSG},
        {false, [] { submit("s", 1); }, KEL_EVC_E_TIMEDOUT}, /* renderer at a match */
        {true, [] { submit("s", 5); }, KEL_EVC_E_BADMSG},    /* at a mismatch */
        {false, [] { kel_evc_queue_expect(Q[1], &sent, 1); }, KEL_EVC_E_TIMEDOUT},
        {false, [] { kel_evc_dispatch(E, 1); }, 0}, /* at a dispatch's report */
        {true, [] { kel_evc_queue_reset(Q[1]); }, KEL_EVC_E_TIMEDOUT},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(&r - rows);
        ASSERT_EQ(kel_evc_create(&E, "chk", nullptr), 0u);
        ASSERT_EQ(kel_evc_queue_create(&Q[0], E, "c", failing_cmp, nullptr), 0u);
        ASSERT_EQ(kel_evc_queue_create(&Q[1], E, "s", nullptr, failing_str), 0u);
        sent = ev(1);
        ASSERT_EQ(kel_evc_queue_expect(Q[0], &sent, 1) | kel_evc_queue_expect(Q[1], &sent, 1), 0u);
        trigger = r.trigger, as_assert = r.is_assert, reached = false;
        kel_t *kel = nullptr;
        ASSERT_EQ(kel_create(&kel), 0u);
        ASSERT_NE(kel_create_test_case(kel, nullptr, "evc", "", [] { armed = true, trigger(), reached = true; },
                                       KEL_TC_BASIC),
                  nullptr);
        char arg0[] = "evc_tests", q[] = "-q", path[] = "evc";
        char *argv[] = {arg0, q, path, nullptr};
        testing::internal::CaptureStdout();
        EXPECT_EQ(kel_run(3, argv, kel), KEL_RC_FAILED);
        std::string out = testing::internal::GetCapturedStdout();
        kel_destroy(&kel);
        EXPECT_FALSE(reached) << "the failed check never returns";
        EXPECT_NE(out.find(r.is_assert ? "callback asserted" : "callback failed"), std::string::npos) << out;
        testing::internal::CaptureStdout(); /* the report's notice: no test case runs */
        EXPECT_EQ(kel_evc_dispatch(E, 1), r.after);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(kel_evc_destroy(&E), 0u);
    }
}

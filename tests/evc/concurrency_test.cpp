/*
 * concurrency_test.cpp - the checker under many threads: eight submitters
 * of 100 000 events each against one dispatching thread, two checkers
 * dispatched on two threads at once, and a checker on the caller's
 * dispatcher, whose own
 * timer runs in the dispatching thread during the dispatch.
 *
 * Threads are lined up with barriers and joins only; the only time-outs are
 * generous limits that a correct run never reaches.
 */
#include "evc_test_util.h"

#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace evc_test;

namespace {

/* A reusable start line for n threads. */
struct barrier {
    pthread_barrier_t b;
    explicit barrier(unsigned n) { pthread_barrier_init(&b, nullptr, n); }
    ~barrier() { pthread_barrier_destroy(&b); }
    void wait() { pthread_barrier_wait(&b); }
};

constexpr uint32_t LIMIT_MS = 60000;

} // namespace

class EvcConcurrency : public EvcTest {};

TEST_F(EvcConcurrency, EightSubmittersOfAHundredThousandEventsEach)
{
    /* Each thread feeds its own queue: 100 kinds of event, 1000 of each in
     * a row, so every event is counted against the right expectation in
     * the order it was submitted. */
    constexpr int threads = 8, kinds = 100, per_kind = 1000;
    kel_evc_t *evc = nullptr;
    ASSERT_EQ(kel_evc_create(&evc, "load", NULL), 0u);
    std::vector<kel_evc_queue_t *> queues(threads);
    for (int t = 0; t < threads; t++) {
        ASSERT_EQ(kel_evc_queue_create(&queues[t], evc, ("q" + std::to_string(t)).c_str(), NULL, NULL), 0u);
        for (uint32_t k = 0; k < kinds; k++) {
            kel_evc_event_t e = ev(k);
            ASSERT_EQ(kel_evc_queue_expect(queues[t], &e, per_kind), 0u);
        }
    }

    barrier start(threads + 1);
    std::vector<std::thread> submitters;
    std::vector<int> matched(threads, 0);
    for (int t = 0; t < threads; t++) {
        submitters.emplace_back([&, t] {
            const std::string queue = "q" + std::to_string(t);
            start.wait();
            for (uint32_t k = 0; k < kinds; k++) {
                kel_evc_event_t e = ev(k);
                for (int i = 0; i < per_kind; i++)
                    if (kel_evc_queue_submit("load", queue.c_str(), &e) == 0)
                        matched[t]++;
            }
        });
    }
    start.wait();
    EXPECT_EQ(kel_evc_dispatch(evc, LIMIT_MS), 0u);
    for (std::thread &s : submitters)
        s.join();
    for (int t = 0; t < threads; t++) {
        EXPECT_EQ(matched[t], kinds * per_kind) << "thread " << t;
        EXPECT_TRUE(queue_idle(queues[t]));
    }
    EXPECT_EQ(kel_evc_destroy(&evc), 0u);
}

TEST_F(EvcConcurrency, TwoCheckersDispatchedOnTwoThreadsAtOnce)
{
    constexpr int events = 2000;
    struct side {
        const char *name;
        kel_evc_t *evc = nullptr;
        kel_evc_queue_t *q = nullptr;
        uint32_t rc = 1;
        int matched = 0;
    } sides[2] = {{"one"}, {"two"}};
    for (side &s : sides) {
        ASSERT_EQ(kel_evc_create(&s.evc, s.name, NULL), 0u);
        ASSERT_EQ(kel_evc_queue_create(&s.q, s.evc, "q", NULL, NULL), 0u);
        kel_evc_event_t e = ev(1);
        ASSERT_EQ(kel_evc_queue_expect(s.q, &e, events), 0u);
    }
    barrier start(4);
    std::vector<std::thread> threads;
    for (side &s : sides) {
        threads.emplace_back([&] {
            start.wait();
            s.rc = kel_evc_dispatch(s.evc, LIMIT_MS);
        });
        threads.emplace_back([&] {
            kel_evc_event_t e = ev(1);
            start.wait();
            for (int i = 0; i < events; i++)
                if (kel_evc_queue_submit(s.name, "q", &e) == 0)
                    s.matched++;
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (side &s : sides) {
        EXPECT_EQ(s.rc, 0u) << s.name;
        EXPECT_EQ(s.matched, events) << s.name;
        EXPECT_EQ(kel_evc_destroy(&s.evc), 0u);
    }
}

namespace {

struct caller_timer {
    pthread_t dispatching{};
    std::atomic<int> runs{0};
    std::atomic<bool> same_thread{false};
    std::atomic<uint32_t> submit_rc{1};
};

void caller_timer_handler(orv_dm_t *, orv_dm_timer_t *, void *ctx)
{
    caller_timer *ct = static_cast<caller_timer *>(ctx);
    ct->runs++;
    ct->same_thread = pthread_equal(pthread_self(), ct->dispatching) != 0;
    /* The caller's handler may itself submit: the checker's mutex is free
     * while handlers run. */
    kel_evc_event_t tick = ev(42);
    ct->submit_rc = kel_evc_queue_submit("shared", "ticks", &tick);
}

} // namespace

TEST_F(EvcConcurrency, ACheckerOnTheCallersDispatcherRunsTheCallersTimer)
{
    orv_dm_t *dm = nullptr;
    ASSERT_EQ(orv_dm_create(&dm, "caller", 0), 0u);
    kel_evc_t *evc = nullptr;
    kel_evc_queue_t *ticks = nullptr;
    ASSERT_EQ(kel_evc_create(&evc, "shared", dm), 0u);
    ASSERT_EQ(kel_evc_queue_create(&ticks, evc, "ticks", NULL, NULL), 0u);
    kel_evc_event_t tick = ev(42);
    ASSERT_EQ(kel_evc_queue_expect(ticks, &tick, 1), 0u);

    caller_timer ct;
    ct.dispatching = pthread_self();
    orv_dm_timer_t *timer = nullptr;
    ASSERT_EQ(orv_dm_timer_register(dm, &timer, caller_timer_handler, &ct), 0u);
    const struct timespec soon = {0, 1000000};
    ASSERT_EQ(orv_dm_timer_settime(dm, timer, &soon), 0u);

    /* Only the caller's timer can produce the expected event. */
    EXPECT_EQ(kel_evc_dispatch(evc, LIMIT_MS), 0u);
    EXPECT_EQ(ct.runs, 1);
    EXPECT_TRUE(ct.same_thread);
    EXPECT_EQ(ct.submit_rc, 0u);

    EXPECT_EQ(kel_evc_destroy(&evc), 0u);
    /* The dispatcher is still the caller's, with the caller's timer. */
    EXPECT_EQ(orv_dm_timer_register(dm, &timer, NULL, NULL), 0u);
    EXPECT_EQ(orv_dm_destroy(dm), 0u);
}

/*
 * dispatch_test.cpp - the dispatch loop seen from its results and trace
 * lines: a done signal raised before the dispatch, a dispatch without
 * time-out ended only by the done signal, idle queues and no queues at the
 * time-out, heartbeats that keep re-arming the watchdog, a wait that costs
 * no CPU, the flush of late events, and failures of the dispatcher's
 * operations. The failure reports are in report_test.cpp.
 *
 * Submitters that must act while the dispatcher sleeps wait for the
 * dispatcher to enter orv_dm_wait (a hook of the wrapped call), never for a
 * guessed delay.
 */
#include "evc_test_util.h"

#include <errno.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace evc_test;

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

/* Counts the dispatcher's waits and lets another thread wait for the nth. */
struct wait_gate {
    std::mutex m;
    std::condition_variable cv;
    int waits = 0;
    void install()
    {
        on_wait([this] {
            std::lock_guard<std::mutex> lock(m);
            waits++;
            cv.notify_all();
        });
    }
    void until(int n)
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return waits >= n; });
    }
};

std::string dispatch_line(const char *rest)
{
    return std::string("[c]:<L>:kel_evc_dispatch_internal():") + rest;
}

} // namespace

class EvcDispatch : public EvcTest {
protected:
    kel_evc_t *evc = nullptr;
    kel_evc_queue_t *a = nullptr;
    void SetUp() override
    {
        EvcTest::SetUp();
        ASSERT_EQ(kel_evc_create(&evc, "c", NULL), 0u);
        ASSERT_EQ(kel_evc_queue_create(&a, evc, "a", NULL, NULL), 0u);
        clear_buffers();
    }
    void TearDown() override
    {
        EXPECT_EQ(kel_evc_destroy(&evc), 0u);
        EvcTest::TearDown();
    }
    /* What every dispatch leaves behind. */
    void expect_clean_checker()
    {
        EXPECT_EQ(evc->evc_done, 0);
        EXPECT_EQ(evc->evc_expired, 0);
        bool v = true;
        orv_dm_watched_boolean_get(evc->evc_dm_wb, &v);
        EXPECT_FALSE(v);
    }
};

TEST_F(EvcDispatch, DoneBeforeTheDispatchEndsItOnTheFirstPass)
{
    EXPECT_EQ(kel_evc_dispatch(NULL, 0), KEL_EVC_E_INVAL);
    kel_evc_event_t x = ev(1);
    for (uint32_t timeout : {0u, 60000u}) {
        ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
        ASSERT_EQ(kel_evc_queue_submit("c", "a", &x), 0u);
        clear_buffers();
        EXPECT_EQ(kel_evc_dispatch(evc, timeout), 0u);
        expect_clean_checker();
        EXPECT_TRUE(queue_idle(a));
        EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
                  (Lines{dispatch_line(("dispatching, timeout " + std::to_string(timeout) + "ms, unconditional: F").c_str()),
                         "[c]:<L>:kel_evc_wb_handler():orv_dm_watched_boolean_get(true)",
                         "[c:a]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == false",
                         dispatch_line("orv_dm_watched_boolean_set(false)"),
                         "[c:a]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true"}));
        EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), Lines{});
    }
}

TEST_F(EvcDispatch, WithoutTimeOutOnlyTheDoneSignalEndsIt)
{
    wait_gate gate;
    gate.install();
    kel_evc_event_t x = ev(1), y = ev(2);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    ASSERT_EQ(kel_evc_queue_expect(a, &y, 2), 0u);
    uint32_t results[3] = {};
    std::thread submitter([&] {
        /* Each event once the dispatcher sleeps again; the heartbeats wake
         * it in between. */
        gate.until(1);
        results[0] = kel_evc_queue_submit("c", "a", &x);
        gate.until(2);
        results[1] = kel_evc_queue_submit("c", "a", &y);
        gate.until(3);
        results[2] = kel_evc_queue_submit("c", "a", &y);
    });
    EXPECT_EQ(kel_evc_dispatch(evc, 0), 0u);
    submitter.join();
    EXPECT_EQ(results[0], 0u);
    EXPECT_EQ(results[1], 0u);
    EXPECT_EQ(results[2], 0u);
    EXPECT_EQ(gate.waits, 3);
    expect_clean_checker();
}

TEST_F(EvcDispatch, AtTheTimeOutIdleQueuesSucceedAndNoQueuesFail)
{
    kel_evc_queue_t *b = nullptr;
    ASSERT_EQ(kel_evc_queue_create(&b, evc, "b", NULL, NULL), 0u);
    clear_buffers();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(kel_evc_dispatch(evc, 100), 0u);
    EXPECT_GE(ms_since(start), 100);
    expect_clean_checker();
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              (Lines{dispatch_line("dispatching, timeout 100ms, unconditional: F"), "[c]:<L>:kel_evc_wd_handler():expired",
                     "[c:a]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == true",
                     "[c:b]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == true",
                     dispatch_line("Timeout, expected T, unconditional F"),
                     "[c:a]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true",
                     "[c:b]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true",
                     dispatch_line("orv_dm_watched_boolean_set(false)"),
                     "[c:a]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true",
                     "[c:b]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true"}));

    /* Without queues nothing can be satisfied: ETIME, and no report. */
    ASSERT_EQ(kel_evc_reset(evc), 0u);
    clear_buffers();
    testing::internal::CaptureStdout();
    EXPECT_EQ(kel_evc_dispatch(evc, 100), KEL_EVC_E_TIME);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expect_clean_checker();
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              (Lines{dispatch_line("dispatching, timeout 100ms, unconditional: F"), "[c]:<L>:kel_evc_wd_handler():expired",
                     dispatch_line("Timeout, expected F, unconditional F"),
                     dispatch_line("orv_dm_watched_boolean_set(false)")}));
}

TEST_F(EvcDispatch, HeartbeatsKeepReArmingTheWatchdog)
{
    /* Six matches 400 ms apart take two seconds, longer than the time-out
     * of 1.5 s; each match leaves work on its queue and restarts it. */
    constexpr int events = 6;
    kel_evc_event_t x = ev(1);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, events), 0u);
    wait_gate gate;
    gate.install();
    std::thread submitter([&] {
        for (int i = 0; i < events; i++) {
            gate.until(i + 1);
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
            kel_evc_queue_submit("c", "a", &x);
        }
    });
    Clock::time_point start = Clock::now();
    EXPECT_EQ(kel_evc_dispatch(evc, 1500), 0u);
    EXPECT_GE(ms_since(start), 2000);
    submitter.join();
    EXPECT_EQ(gate.waits, events);
}

TEST_F(EvcDispatch, WaitingCostsNoCpuTime)
{
    /* The queue expects silence: the dispatch sleeps its two seconds. */
    const long cpu_before = thread_cpu_us();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(kel_evc_dispatch(evc, 2000), 0u);
    const long elapsed = ms_since(start);
    const long cpu_us = thread_cpu_us() - cpu_before;
    EXPECT_GE(elapsed, 2000);
    EXPECT_LT(cpu_us, 100000) << "the dispatching thread used " << cpu_us << " us of CPU in " << elapsed << " ms";
}

TEST_F(EvcDispatch, FlushDiscardsLateEvents)
{
    EXPECT_EQ(kel_evc_flush(NULL, 100), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_flush(evc, 0), KEL_EVC_E_INVAL) << "nothing could end it";

    /* Expectations are dropped first; every event during the flush is a
     * mismatch, and all of them are discarded. */
    kel_evc_event_t x = ev(1);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    wait_gate gate;
    gate.install();
    constexpr int late = 50;
    uint32_t results[late] = {};
    std::thread submitter([&] {
        gate.until(1);
        for (uint32_t &r : results)
            r = kel_evc_queue_submit("c", "a", &x);
    });
    clear_buffers();
    EXPECT_EQ(kel_evc_flush(evc, 500), 0u);
    submitter.join();
    for (uint32_t r : results)
        EXPECT_EQ(r, KEL_EVC_W_MISMATCH);
    EXPECT_TRUE(queue_idle(a));
    EXPECT_FALSE(has_mismatch(a));
    expect_clean_checker();
    const Lines traces = read_buffer(KEL_EVC_BUF_TRACES);
    ASSERT_GE(traces.size(), 4u);
    EXPECT_EQ(traces[0], "[c:a]:<L>:kel_evc_queue_reset_locked():Removing Type 1; Len 0; Val ((nil))");
    EXPECT_EQ(traces[2], dispatch_line("dispatching, timeout 500ms, unconditional: T"));
    EXPECT_EQ(only(traces, dispatch_line("Timeout")), (Lines{dispatch_line("Timeout, expected T, unconditional T")}));

    /* The checker is ready for the next round. */
    gate.waits = 0;
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    ASSERT_EQ(kel_evc_queue_submit("c", "a", &x), 0u);
    EXPECT_EQ(kel_evc_dispatch(evc, 0), 0u);

    /* A checker without queues flushes fine too. */
    ASSERT_EQ(kel_evc_reset(evc), 0u);
    EXPECT_EQ(kel_evc_flush(evc, 50), 0u);
}

TEST_F(EvcDispatch, FailuresOfTheDispatcherEndTheDispatchUnchanged)
{
    /* With an idle queue there is nothing to report. */
    struct {
        fault f;
        uint32_t rc;
    } cases[] = {
        {fault::timer_register, ENOMEM},
        {fault::timer_settime, EINVAL},
        {fault::dm_wait, EINTR},
        {fault::wb_set, KEL_EVC_FATAL | EIO},
    };
    for (const auto &c : cases) {
        fail_call(c.f, 1);
        EXPECT_EQ(kel_evc_dispatch(evc, 1000), c.rc);
        no_faults();
        expect_clean_checker();
    }
    /* The watchdog was released on every path (checked in TearDown); a
     * queue that held expectations is reset after the report attempt, which
     * this thread, running no test case, only announces. */
    kel_evc_event_t x = ev(1);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    fail_call(fault::dm_wait, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(kel_evc_dispatch(evc, 1000), static_cast<uint32_t>(EINTR));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "kel_log_error_: cannot be called from non kel-enabled thread\n");
    EXPECT_TRUE(queue_idle(a));
}

/*
 * report_test.cpp - the failure reports of a dispatch, as a test program
 * shows them: each scenario is a test case run by kel_run in this process,
 * and the whole standard output is compared. A mismatch is reported at the
 * site that submitted it (also from another thread), a time-out at the
 * dispatch; the queue reported is the one with a mismatch, else the last
 * one in name order still holding expectations. An event where nothing was
 * expected fails the dispatch even when nothing else is outstanding.
 */
#include "evc_test_util.h"

#include <pthread.h>

#include <string>

#include "kel_run_helper.h"

using namespace evc_test;

namespace {

const std::string F = __FILE__;

/* What each scenario saw, checked by the gtest after the run. */
uint32_t result;
int site_line;
bool idle_after;

const char *short_str(const kel_evc_event_t *e, char *buf, size_t size)
{
    snprintf(buf, size, "ev%u", e->type);
    return buf;
}

void make(kel_evc_t **evc, std::initializer_list<const char *> queues, kel_evc_str_fn str = NULL)
{
    kel_evc_create(evc, "chk", NULL);
    for (const char *name : queues) {
        kel_evc_queue_t *q = nullptr;
        kel_evc_queue_create(&q, *evc, name, NULL, str);
    }
}

void expect(kel_evc_t *evc, const char *queue, uint32_t type, uint32_t count = 1)
{
    kel_evc_queue_t *q = nullptr;
    kel__evc_lock(__func__, __LINE__);
    kel__evc_queue_find(evc, queue, &q);
    kel__evc_unlock(__func__, __LINE__);
    kel_evc_event_t e = ev(type);
    kel_evc_queue_expect(q, &e, count);
}

/* Every queue idle without a mismatch record. */
bool all_idle(kel_evc_t *evc)
{
    kel__evc_lock(__func__, __LINE__);
    uint32_t busy = orv_avl_tree_walk(
        &evc->evc_queues,
        [](void *record, void *) -> uint32_t {
            const kel_evc_queue_t *q = static_cast<const kel_evc_queue_t *>(record);
            return queue_idle(q) && !has_mismatch(q) ? 0 : 1;
        },
        nullptr);
    kel__evc_unlock(__func__, __LINE__);
    return busy == 0;
}

void finish(kel_evc_t **evc, uint32_t rc)
{
    result = rc;
    idle_after = all_idle(*evc);
    kel_evc_destroy(evc);
}

void *submit_z_on_a_thread(void *)
{
    kel_evc_event_t z = ev(3);
    site_line = __LINE__ + 1;
    kel_evc_queue_submit("chk", "q", &z);
    return nullptr;
}

void body_mismatch_from_thread()
{
    kel_evc_t *evc = nullptr;
    make(&evc, {"q"});
    expect(evc, "q", 1);
    expect(evc, "q", 2);
    kel_evc_event_t x = ev(1);
    kel_evc_queue_submit("chk", "q", &x);
    pthread_t t;
    pthread_create(&t, nullptr, submit_z_on_a_thread, nullptr);
    pthread_join(t, nullptr);
    finish(&evc, kel_evc_dispatch(evc, 60000));
}

void body_timeout()
{
    kel_evc_t *evc = nullptr;
    make(&evc, {"q"});
    expect(evc, "q", 1);
    site_line = __LINE__ + 1;
    finish(&evc, kel_evc_dispatch(evc, 100));
}

void body_last_busy_queue()
{
    kel_evc_t *evc = nullptr;
    make(&evc, {"c", "a", "b"}, short_str);
    expect(evc, "a", 1);
    expect(evc, "c", 3);
    site_line = __LINE__ + 1;
    finish(&evc, kel_evc_dispatch(evc, 50));
}

void body_mismatch_beats_timeout()
{
    kel_evc_t *evc = nullptr;
    make(&evc, {"a", "b"}, short_str);
    expect(evc, "a", 1);
    expect(evc, "b", 2);
    kel_evc_event_t y = ev(5), z = ev(6);
    kel_evc_queue_submit("chk", "b", &y);
    site_line = __LINE__ + 1;
    kel_evc_queue_submit("chk", "b", &z);
    finish(&evc, kel_evc_dispatch(evc, 60000));
}

void body_extra_event_on_done_queue()
{
    kel_evc_t *evc = nullptr;
    make(&evc, {"q"}, short_str);
    expect(evc, "q", 1);
    kel_evc_event_t x = ev(1);
    kel_evc_queue_submit("chk", "q", &x);
    site_line = __LINE__ + 1;
    kel_evc_queue_submit("chk", "q", &x);
    finish(&evc, kel_evc_dispatch(evc, 0));
}

void body_event_on_idle_queue()
{
    kel_evc_t *evc = nullptr;
    make(&evc, {"quiet"}, short_str);
    kel_evc_event_t x = ev(7);
    site_line = __LINE__ + 1;
    kel_evc_queue_submit("chk", "quiet", &x);
    finish(&evc, kel_evc_dispatch(evc, 60000));
}

void body_success()
{
    kel_evc_t *evc = nullptr;
    make(&evc, {"q"});
    expect(evc, "q", 1, 2);
    kel_evc_event_t x = ev(1);
    kel_evc_queue_submit("chk", "q", &x);
    kel_evc_queue_submit("chk", "q", &x);
    finish(&evc, kel_evc_dispatch(evc, 60000));
}

} // namespace

class EvcReport : public EvcTest {};

TEST_F(EvcReport, EachOutcomeIsReportedAtItsSiteAndResetsTheQueues)
{
    struct {
        const char *what;
        void (*body)();
        const char *queue, *expected, *received; /* the report; no queue: no report */
        const char *site;                        /* the function that submitted or dispatched */
        uint32_t rc;
    } const rows[] = {
        {"a mismatch is reported at the submitting site, on any thread", body_mismatch_from_thread, "q",
         "Type 2; Len 0; Val ((nil))", "Type 3; Len 0; Val ((nil))", "submit_z_on_a_thread", KEL_EVC_E_BADMSG},
        {"a time-out is reported at the dispatch", body_timeout, "q", "Type 1; Len 0; Val ((nil))",
         "Timeout of 100 ms", "body_timeout", KEL_EVC_E_TIMEDOUT},
        {"the last busy queue in name order is reported", body_last_busy_queue, "c", "ev3", "Timeout of 50 ms",
         "body_last_busy_queue", KEL_EVC_E_TIMEDOUT},
        {"a mismatch is reported rather than a queue still waiting", body_mismatch_beats_timeout, "b", "ev2", "ev6",
         "body_mismatch_beats_timeout", KEL_EVC_E_BADMSG},
        {"an extra event fails a checker that was otherwise satisfied", body_extra_event_on_done_queue, "q",
         "nothing!?", "ev1", "body_extra_event_on_done_queue", KEL_EVC_E_BADMSG},
        {"an event on a queue expecting silence ends the dispatch before its time-out", body_event_on_idle_queue,
         "quiet", "timeout", "ev7", "body_event_on_idle_queue", KEL_EVC_E_BADMSG},
        {"a successful dispatch prints nothing", body_success, nullptr, nullptr, nullptr, nullptr, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        kel_t *kel = nullptr;
        ASSERT_EQ(kel_create(&kel), 0u);
        kel_create_test_case(kel, NULL, "evc", "", r.body, KEL_TC_BASIC);
        result = 0xdeadbeef;
        idle_after = false;
        KelRunResult run = kel_run_captured(kel, {"evc_tests", "-q", "evc"});
        kel_destroy(&kel);
        /* A logged error does not fail the test case: its block alone. */
        const std::string q = r.queue ? std::string("[chk:") + r.queue + "] " : "";
        EXPECT_EQ(run.out, r.queue == nullptr ? ""
                                              : "---> ##### ERROR\n     " + q + "Expected: " + r.expected + "\n     " +
                                                    q + "Received: " + r.received + "\n     " + F + ":" +
                                                    std::to_string(site_line) + ":" + r.site + "()\n");
        EXPECT_EQ(result, r.rc);
        EXPECT_TRUE(idle_after) << "every queue is reset after a dispatch";
    }
}

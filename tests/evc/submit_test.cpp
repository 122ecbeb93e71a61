/*
 * submit_test.cpp - submission and matching: counted matches, the head
 * moving on, completion of a queue and of the checker with their lines and
 * signals, mismatches recorded with their site, unknown names, argument
 * errors, the queue's own callbacks, and a failing signal.
 */
#include "evc_test_util.h"

#include <errno.h>

using namespace evc_test;

namespace {

uint32_t type_only_cmp(const kel_evc_event_t *expected, const kel_evc_event_t *submitted)
{
    return expected->type == submitted->type ? 0 : 9;
}

const char *short_str(const kel_evc_event_t *e, char *buf, size_t size)
{
    snprintf(buf, size, "ev%u/%u", e->type, e->len);
    return buf;
}

bool wb_value(orv_dm_wb_t *wb)
{
    bool v = true;
    EXPECT_EQ(orv_dm_watched_boolean_get(wb, &v), 0u);
    return v;
}

} // namespace

class EvcSubmit : public EvcTest {
protected:
    kel_evc_t *evc = nullptr;
    kel_evc_queue_t *a = nullptr;
    kel_evc_queue_t *b = nullptr;
    void SetUp() override
    {
        EvcTest::SetUp();
        ASSERT_EQ(kel_evc_create(&evc, "c", NULL), 0u);
        ASSERT_EQ(kel_evc_queue_create(&a, evc, "a", NULL, NULL), 0u);
        ASSERT_EQ(kel_evc_queue_create(&b, evc, "b", NULL, NULL), 0u);
        clear_buffers();
    }
    void TearDown() override
    {
        EXPECT_EQ(kel_evc_destroy(&evc), 0u);
        EvcTest::TearDown();
    }
    bool done_signal() { return wb_value(evc->evc_dm_wb); }
    bool heartbeat() { return wb_value(evc->evc_dm_wb_hb); }
};

TEST_F(EvcSubmit, CountedMatchesMoveTheHeadAndCompleteTheChecker)
{
    kel_evc_event_t x = ev(1), y = ev(2), z = ev(3);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 3), 0u);
    ASSERT_EQ(kel_evc_queue_expect(a, &y, 1), 0u);
    ASSERT_EQ(kel_evc_queue_expect(b, &z, 1), 0u);
    clear_buffers();

    /* Three in a row for the first expectation; each sets the heartbeat. */
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(kel_evc_queue_submit("c", "a", &x), 0u);
        EXPECT_TRUE(heartbeat());
        ASSERT_EQ(orv_dm_watched_boolean_set(evc->evc_dm_wb_hb, false), 0u);
    }
    EXPECT_EQ(expectations(a), 1u) << "the next expectation is the head";
    /* The last of queue a completes it while b still waits. */
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &y), 0u);
    EXPECT_FALSE(heartbeat()) << "a completed queue does not beat";
    EXPECT_FALSE(done_signal());
    /* b completes the checker. */
    EXPECT_EQ(kel_evc_queue_submit("c", "b", &z), 0u);
    EXPECT_TRUE(done_signal());

    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"[c:a] Received 1 of expected 3 Type 1; Len 0; Val ((nil))",
                     "[c:a] Received 2 of expected 3 Type 1; Len 0; Val ((nil))",
                     "[c:a] Received 3 of expected 3 Type 1; Len 0; Val ((nil))",
                     "[c:a] Received 1 of expected 1 Type 2; Len 0; Val ((nil))",
                     "[c:a] Queue matched other; expect timeout: f",
                     "[c:b] Received 1 of expected 1 Type 3; Len 0; Val ((nil))", "[c:b] EVC Done"}));
    /* The walks stop at the first queue that still holds expectations. */
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              (Lines{"[c:a]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == false",
                     "[c:b]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == false",
                     "[c:a]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == false",
                     "[c:b]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == false",
                     "[c]:<L>:kel_evc_queue_submit_():orv_dm_watched_boolean_set(true)"}));
}

TEST_F(EvcSubmit, CompletionBesideAQueueExpectingSilenceSignalsNothing)
{
    kel_evc_event_t x = ev(1);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    clear_buffers();
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &x), 0u);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[c:a] Received 1 of expected 1 Type 1; Len 0; Val ((nil))",
                                                      "[c:a] Queue matched ok; expect timeout: t"}));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              (Lines{"[c:a]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == false",
                     "[c:b]:<L>:kel_evc_queue_empty_avl_walker():evcq_timeout == true"}));
    EXPECT_FALSE(done_signal());
    EXPECT_FALSE(heartbeat());

    /* A closed list: the last match leaves the queue expecting silence,
     * which is work left on it, so it beats. */
    ASSERT_EQ(kel_evc_queue_expect(b, &x, 1), 0u);
    ASSERT_EQ(kel_evc_queue_expect(b, NULL, 0), 0u);
    clear_buffers();
    EXPECT_EQ(kel_evc_queue_submit("c", "b", &x), 0u);
    EXPECT_TRUE(queue_idle(b));
    EXPECT_TRUE(heartbeat());
    EXPECT_FALSE(done_signal());
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[c:b] Received 1 of expected 1 Type 1; Len 0; Val ((nil))"}));
}

TEST_F(EvcSubmit, MismatchesAreRecordedAndSignalled)
{
    kel_evc_event_t x = ev(1), y = ev(2, "yy"), z = ev(3);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    clear_buffers();

    /* The record's site and copy show in the dispatch's report (see
     * report_test.cpp); a later mismatch replaces the earlier one. */
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &y), KEL_EVC_W_MISMATCH);
    EXPECT_EQ(expectations(a), 1u) << "the head stays";
    EXPECT_TRUE(done_signal());
    EXPECT_TRUE(has_mismatch(a));
    EXPECT_EQ(kel_evc_queue_submit_("other.c", 77, "fn", "c", "a", &z), KEL_EVC_W_MISMATCH);
    EXPECT_EQ(a->mismatch.line, 77u);

    /* An idle queue expects nothing: any event is a mismatch. */
    EXPECT_EQ(kel_evc_queue_submit("c", "b", &x), KEL_EVC_W_MISMATCH);
    EXPECT_TRUE(has_mismatch(b));

    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"[c:a] Submit Mismatch Type 2; Len 2; Val (<PTR>) 79 79", "[c:a] Submit Mismatch Type 3; Len 0; Val ((nil))",
                     "[c:b] Submit Mismatch Type 1; Len 0; Val ((nil))"}));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              (Lines{"[c]:<L>:kel_evc_queue_submit_():orv_dm_watched_boolean_set(true)",
                     "[c]:<L>:kel_evc_queue_submit_():orv_dm_watched_boolean_set(true)",
                     "[c]:<L>:kel_evc_queue_submit_():orv_dm_watched_boolean_set(true)"}));

    /* A reset drops the records. */
    EXPECT_EQ(kel_evc_queue_reset(a), 0u);
    EXPECT_FALSE(has_mismatch(a));
}

TEST_F(EvcSubmit, DoneQueueTakesNothingMoreUntilNewExpectations)
{
    kel_evc_event_t x = ev(1), y = ev(2);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 1), 0u);
    ASSERT_EQ(kel_evc_queue_expect(b, &y, 1), 0u);
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &x), 0u);
    /* Done: nothing listed, no silence expected. */
    EXPECT_EQ(expectations(a), 0u);
    EXPECT_EQ(a->evcq_timeout, 0);
    clear_buffers();
    ASSERT_EQ(kel_evc_queue_expect(a, &y, 1), 0u);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES), (Lines{"[c:a]:<L>:kel_evc_queue_expect():evcq_timeout = false"}));
    /* Closing a done queue makes it expect silence. */
    ASSERT_EQ(kel_evc_queue_submit("c", "a", &y), 0u);
    ASSERT_EQ(kel_evc_queue_expect(a, NULL, 0), 0u);
    EXPECT_TRUE(queue_idle(a));
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &x), KEL_EVC_W_MISMATCH);
    EXPECT_TRUE(has_mismatch(a));
    EXPECT_TRUE(done_signal());
}

TEST_F(EvcSubmit, UnknownNamesAndBadArguments)
{
    kel_evc_queue_t *custom = nullptr;
    ASSERT_EQ(kel_evc_queue_create(&custom, evc, "custom", type_only_cmp, short_str), 0u);
    clear_buffers();
    kel_evc_event_t x = ev(1);
    EXPECT_EQ(kel_evc_queue_submit("nobody", "a", &x), KEL_EVC_E_NOENT);
    EXPECT_EQ(kel_evc_queue_submit("c", "nothing", &x), KEL_EVC_E_NOENT);
    /* Not found renders with the default, whatever the checker's queues use. */
    EXPECT_EQ(kel_evc_queue_submit("c", "Custom", &x), KEL_EVC_E_NOENT);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"[nobody:a] Submit Q not found Type 1; Len 0; Val ((nil))",
                     "[c:nothing] Submit Q not found Type 1; Len 0; Val ((nil))",
                     "[c:Custom] Submit Q not found Type 1; Len 0; Val ((nil))"}));
    EXPECT_FALSE(done_signal());

    clear_buffers();
    kel_evc_event_t val_without_len = {1, 0, "x"};
    kel_evc_event_t len_without_val = {1, 2, NULL};
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &val_without_len), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &len_without_val), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_submit("c", "a", NULL), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_submit(NULL, "a", &x), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_submit("c", NULL, &x), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_submit_(NULL, 1, "f", "c", "a", &x), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_submit_("f.c", 1, NULL, "c", "a", &x), KEL_EVC_E_INVAL);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), Lines{});
    EXPECT_FALSE(has_mismatch(a));

    /* No checker in the process at all. */
    ASSERT_EQ(kel_evc_destroy(&evc), 0u);
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &x), KEL_EVC_E_NOENT);
    ASSERT_EQ(kel_evc_create(&evc, "c", NULL), 0u);
}

TEST_F(EvcSubmit, TheQueuesOwnCallbacksCompareAndRender)
{
    kel_evc_queue_t *custom = nullptr;
    ASSERT_EQ(kel_evc_queue_create(&custom, evc, "custom", type_only_cmp, short_str), 0u);
    kel_evc_event_t expected = ev(5, "expected"), same_type = ev(5, "other bytes"), wrong = ev(6);
    ASSERT_EQ(kel_evc_queue_expect(custom, &expected, 2), 0u);
    clear_buffers();
    EXPECT_EQ(kel_evc_queue_submit("c", "custom", &same_type), 0u);
    EXPECT_EQ(kel_evc_queue_submit("c", "custom", &wrong), KEL_EVC_W_MISMATCH);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"[c:custom] Received 1 of expected 2 ev5/11", "[c:custom] Submit Mismatch ev6/0"}));
}

TEST_F(EvcSubmit, AFailingSignalIsReportedAfterCounting)
{
    kel_evc_event_t x = ev(1), y = ev(2);
    ASSERT_EQ(kel_evc_queue_expect(a, &x, 2), 0u);
    ASSERT_EQ(kel_evc_queue_expect(b, &y, 1), 0u);
    fail_call(fault::wb_set, 1);
    EXPECT_EQ(kel_evc_queue_submit("c", "a", &x), KEL_EVC_FATAL | EIO) << "heartbeat";
    const kel_evc_expect_t *head = static_cast<const kel_evc_expect_t *>(orv_queue_peek_head(&a->evcq_expected));
    EXPECT_EQ(head->received, 1u) << "counted anyway";
    fail_call(fault::wb_set, 1);
    EXPECT_EQ(kel_evc_queue_submit("c", "b", &x), KEL_EVC_FATAL | EIO) << "done signal of a mismatch";
    EXPECT_TRUE(has_mismatch(b));
}

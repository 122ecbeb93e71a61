/*
 * queue_test.cpp - queues and expectations: creating and destroying queues
 * with their lines, the states a queue goes through as expectations are
 * added, closed with an expected silence and reset, argument errors, and
 * the default comparison and rendering of events.
 */
#include "evc_test_util.h"

#include <cstring>
#include <string>

using namespace evc_test;

namespace {

uint32_t type_only_cmp(const kel_evc_event_t *expected, const kel_evc_event_t *submitted)
{
    return expected->type == submitted->type ? 0 : 9;
}

const char *short_str(const kel_evc_event_t *e, char *buf, size_t size)
{
    snprintf(buf, size, "ev%u", e->type);
    return buf;
}

} // namespace

class EvcQueue : public EvcTest {
protected:
    kel_evc_t *evc = nullptr;
    void SetUp() override
    {
        EvcTest::SetUp();
        ASSERT_EQ(kel_evc_create(&evc, "c", NULL), 0u);
        clear_buffers();
    }
    void TearDown() override
    {
        EXPECT_EQ(kel_evc_destroy(&evc), 0u);
        EvcTest::TearDown();
    }
};

TEST_F(EvcQueue, CreateAndDestroyWithTheirLines)
{
    kel_evc_queue_t *q = nullptr, *custom = nullptr;
    EXPECT_EQ(kel_evc_queue_create(NULL, evc, "q", NULL, NULL), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_create(&q, NULL, "q", NULL, NULL), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_create(&q, evc, NULL, NULL, NULL), KEL_EVC_E_INVAL);

    ASSERT_EQ(kel_evc_queue_create(&q, evc, "q", NULL, NULL), 0u);
    EXPECT_TRUE(queue_idle(q)) << "a new queue expects silence";
    ASSERT_EQ(kel_evc_queue_create(&custom, evc, "custom", type_only_cmp, short_str), 0u);

    kel_evc_queue_t *dup = reinterpret_cast<kel_evc_queue_t *>(&dup);
    EXPECT_EQ(kel_evc_queue_create(&dup, evc, "q", NULL, NULL), KEL_EVC_E_EXIST);
    EXPECT_EQ(dup, nullptr);
    /* Queue names are per checker. */
    kel_evc_t *other = nullptr;
    kel_evc_queue_t *same_name = nullptr;
    ASSERT_EQ(kel_evc_create(&other, "d", NULL), 0u);
    EXPECT_EQ(kel_evc_queue_create(&same_name, other, "q", NULL, NULL), 0u);

    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"[c:q] created with cmp (nil) str (nil)", "[c:custom] created with cmp <PTR> str <PTR>",
                     "[d] created, and created ODM <PTR>", "[d:q] created with cmp (nil) str (nil)"}));

    clear_buffers();
    EXPECT_EQ(kel_evc_queue_destroy(NULL), KEL_EVC_E_INVAL);
    kel_evc_queue_t *none = nullptr;
    EXPECT_EQ(kel_evc_queue_destroy(&none), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_destroy(&q), 0u);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[c:q] destroyed"}));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES), (Lines{"[c:q]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true"}));
    ASSERT_EQ(kel_evc_queue_create(&q, evc, "q", NULL, NULL), 0u) << "the name is free again";
    EXPECT_EQ(kel_evc_destroy(&other), 0u);
    /* custom and q go with their checker in TearDown. */
}

TEST_F(EvcQueue, ExpectationsCloseWithSilenceAndResetReopens)
{
    kel_evc_queue_t *q = nullptr;
    ASSERT_EQ(kel_evc_queue_create(&q, evc, "q", NULL, NULL), 0u);
    clear_buffers();
    kel_evc_event_t a = ev(1, "abc"), b = ev(2), c = ev(3);

    /* Argument errors change nothing and write nothing. */
    kel_evc_event_t len_without_val = {4, 3, NULL};
    kel_evc_event_t val_without_len = {4, 0, "x"};
    EXPECT_EQ(kel_evc_queue_expect(NULL, &a, 1), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_expect(q, &a, 0), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_expect(q, NULL, 5), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_expect(q, &len_without_val, 1), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_expect(q, &val_without_len, 1), KEL_EVC_E_INVAL);
    EXPECT_TRUE(queue_idle(q));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), Lines{});
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES), Lines{});

    /* The first expectation opens the list, later ones append. */
    ASSERT_EQ(kel_evc_queue_expect(q, &a, 3), 0u);
    EXPECT_EQ(q->evcq_timeout, 0);
    ASSERT_EQ(kel_evc_queue_expect(q, &b, 1), 0u);
    EXPECT_EQ(expectations(q), 2u);
    /* Closing: silence is expected after the last one. */
    ASSERT_EQ(kel_evc_queue_expect(q, NULL, 0), 0u);
    EXPECT_EQ(q->evcq_timeout, 1);
    EXPECT_EQ(kel_evc_queue_expect(q, &c, 1), KEL_EVC_E_ALREADY);
    EXPECT_EQ(kel_evc_queue_expect(q, NULL, 0), KEL_EVC_E_ALREADY);
    EXPECT_EQ(expectations(q), 2u);

    /* The caller's value was copied. */
    const kel_evc_expect_t *head = static_cast<const kel_evc_expect_t *>(orv_queue_peek_head(&q->evcq_expected));
    EXPECT_NE(head->event.val, a.val);
    EXPECT_EQ(memcmp(head->event.val, "abc", 3), 0);
    EXPECT_EQ(head->count, 3u);
    EXPECT_EQ(head->received, 0u);

    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              (Lines{"[c:q]:<L>:kel_evc_queue_expect():evcq_timeout = false",
                     "[c:q]:<L>:kel_evc_queue_expect():evcq_timeout = true"}));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"[c:q] Expect 3 Type 1; Len 3; Val (<PTR>) 61 62 63", "[c:q] Expect 1 Type 2; Len 0; Val ((nil))"}));

    /* A reset removes both expectations, each with its two lines. */
    clear_buffers();
    EXPECT_EQ(kel_evc_queue_reset(NULL), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_queue_reset(q), 0u);
    EXPECT_TRUE(queue_idle(q));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              (Lines{"[c:q]:<L>:kel_evc_queue_reset_locked():Removing Type 1; Len 3; Val (<PTR>) 61 62 63",
                     "[c:q]:<L>:kel_evc_queue_reset_locked():Removing Type 2; Len 0; Val ((nil))",
                     "[c:q]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true"}));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"[c:q] Reset; Removing Type 1; Len 3; Val (<PTR>) 61 62 63",
                     "[c:q] Reset; Removing Type 2; Len 0; Val ((nil))"}));

    /* Open again; closing an idle queue is allowed; a count is unsigned but
     * printed signed. */
    clear_buffers();
    EXPECT_EQ(kel_evc_queue_expect(q, NULL, 0), 0u);
    EXPECT_EQ(kel_evc_queue_expect(q, &c, static_cast<uint32_t>(-2)), 0u);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[c:q] Expect -2 Type 3; Len 0; Val ((nil))"}));
    head = static_cast<const kel_evc_expect_t *>(orv_queue_peek_head(&q->evcq_expected));
    EXPECT_EQ(head->count, 0xFFFFFFFEu);
}

TEST_F(EvcQueue, DefaultComparisonAndRendering)
{
    const kel_evc_event_t a = ev(1, "ab"), a2 = ev(1, "ab"), other_type = ev(2, "ab"), longer = ev(1, "abc"),
                          other_bytes = ev(1, "ax"), empty = ev(1), empty2 = ev(1);
    EXPECT_EQ(kel_evc_event_cmp(&a, &a2), 0u);
    EXPECT_EQ(kel_evc_event_cmp(&a, &other_type), 1u);
    EXPECT_EQ(kel_evc_event_cmp(&a, &longer), 2u);
    EXPECT_EQ(kel_evc_event_cmp(&a, &other_bytes), 3u);
    EXPECT_EQ(kel_evc_event_cmp(&empty, &empty2), 0u);
    EXPECT_EQ(kel_evc_event_cmp(&empty, &a), 2u);

    char buf[256];
    EXPECT_STREQ(kel_evc_event_to_str(&empty, buf, 255), "Type 1; Len 0; Val ((nil))");
    EXPECT_EQ(kel_evc_event_to_str(&a, buf, 255), buf);
    char expected[64];
    snprintf(expected, sizeof expected, "Type 1; Len 2; Val (%p) 61 62", a.val);
    EXPECT_STREQ(buf, expected);

    /* A long value is cut at size - 1 characters, in the middle of a group
     * if need be, and always terminated. */
    static unsigned char bytes[300];
    for (unsigned i = 0; i < sizeof bytes; i++)
        bytes[i] = static_cast<unsigned char>(i);
    const kel_evc_event_t big = {7, sizeof bytes, bytes};
    memset(buf, 'X', sizeof buf);
    kel_evc_event_to_str(&big, buf, 255);
    EXPECT_EQ(strlen(buf), 254u);
    std::string full;
    snprintf(expected, sizeof expected, "Type 7; Len 300; Val (%p)", static_cast<const void *>(bytes));
    full = expected;
    for (unsigned i = 0; i < sizeof bytes; i++) {
        char group[4];
        snprintf(group, sizeof group, " %02x", bytes[i]);
        full += group;
    }
    EXPECT_EQ(std::string(buf), full.substr(0, 254));
    EXPECT_EQ(buf[255], 'X') << "nothing written past size";

    /* A tiny buffer gets the start of the header. */
    memset(buf, 'X', sizeof buf);
    EXPECT_STREQ(kel_evc_event_to_str(&empty, buf, 10), "Type 1; L");
    EXPECT_EQ(kel_evc_event_to_str(&empty, buf, 0), buf);
    EXPECT_EQ(buf[0], 'T') << "size 0 writes nothing";
}

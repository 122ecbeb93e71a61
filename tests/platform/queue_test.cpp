/*
 * queue_test.cpp - the intrusive FIFO queue and sstrncpy.
 *
 * The queue is checked against a reference deque through a long mixed run of
 * enqueues and dequeues, which catches a stale tail after draining, a wrong
 * count or a broken walk order.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "orv.h"

namespace {

struct item {
    orv_queue_link_t link;
    int value;
};

} // namespace

TEST(Queue, EdgesAndMixedRunMatchReferenceDeque)
{
    orv_queue_t q = {}; /* a zeroed queue is a valid empty one */
    EXPECT_TRUE(orv_queue_empty(&q));
    EXPECT_EQ(orv_queue_dequeue(&q), nullptr);
    EXPECT_EQ(orv_queue_peek_head(&q), nullptr);
    EXPECT_EQ(orv_queue_get_next(&q, nullptr), nullptr);
    item a = {{nullptr}, 1};
    EXPECT_FALSE(orv_queue_enqueue(nullptr, &a));
    EXPECT_FALSE(orv_queue_enqueue(&q, nullptr));

    std::vector<item> items(5000);
    std::deque<item *> ref;
    unsigned rng = 12345;
    size_t next = 0, refills = 0; /* enqueues into a drained queue */
    for (int step = 0; step < 20000; step++) {
        rng = rng * 1103515245u + 12345u;
        bool add = next < items.size() && ((rng >> 16) % 3 != 0 || ref.empty());
        if (add) {
            refills += ref.empty() && next > 0;
            items[next].value = static_cast<int>(next);
            ASSERT_TRUE(orv_queue_enqueue(&q, &items[next]));
            ref.push_back(&items[next]);
            next++;
        } else if (!ref.empty()) {
            ASSERT_EQ(orv_queue_dequeue(&q), ref.front());
            ref.pop_front();
        }
        ASSERT_EQ(orv_queue_size(&q), ref.size());
        ASSERT_EQ(orv_queue_empty(&q), ref.empty());
        ASSERT_EQ(orv_queue_peek_head(&q), ref.empty() ? nullptr : ref.front());
    }
    size_t i = 0;
    for (void *e = orv_queue_get_next(&q, nullptr); e != nullptr; e = orv_queue_get_next(&q, e), i++)
        ASSERT_EQ(e, ref[i]);
    EXPECT_EQ(i, ref.size());
    EXPECT_GT(refills, 0u) << "the run never refilled a drained queue";
}

TEST(String, SstrncpyAlwaysTerminatesAndNeverOverruns)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(sstrncpy(buf, "abc", 0), buf);
    EXPECT_EQ(buf[0], 'x') << "size 0 writes nothing";
    EXPECT_STREQ(sstrncpy(buf, "abc", sizeof buf), "abc");
    EXPECT_EQ(buf[4], 'x') << "the rest is not zero-filled";
    memset(buf, 'x', sizeof buf);
    EXPECT_STREQ(sstrncpy(buf, "abcdefghijkl", 5), "abcd");
    EXPECT_EQ(buf[5], 'x');
    EXPECT_STREQ(sstrncpy(buf, "12345678", sizeof buf), "1234567");
    EXPECT_STREQ(sstrncpy(buf, nullptr, sizeof buf), "");
    EXPECT_STREQ(sstrncpy(buf, "z", 1), "");
}

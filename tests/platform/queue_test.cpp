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

TEST(Queue, ZeroedQueueIsEmptyAndKeepsFifoOrder)
{
    orv_queue_t q = {};
    EXPECT_TRUE(orv_queue_empty(&q));
    EXPECT_EQ(orv_queue_size(&q), 0u);
    EXPECT_EQ(orv_queue_dequeue(&q), nullptr);
    EXPECT_EQ(orv_queue_peek_head(&q), nullptr);
    EXPECT_EQ(orv_queue_get_next(&q, nullptr), nullptr);

    item a = {{nullptr}, 1};
    item b = {{nullptr}, 2};
    item c = {{nullptr}, 3};
    EXPECT_FALSE(orv_queue_enqueue(nullptr, &a));
    EXPECT_FALSE(orv_queue_enqueue(&q, nullptr));
    EXPECT_TRUE(orv_queue_enqueue(&q, &a));
    EXPECT_TRUE(orv_queue_enqueue(&q, &b));
    EXPECT_TRUE(orv_queue_enqueue(&q, &c));
    EXPECT_FALSE(orv_queue_empty(&q));
    EXPECT_EQ(orv_queue_size(&q), 3u);
    EXPECT_EQ(orv_queue_peek_head(&q), &a);
    EXPECT_EQ(orv_queue_size(&q), 3u) << "peek must not remove";

    std::vector<int> walked;
    for (void *e = orv_queue_get_next(&q, nullptr); e != nullptr; e = orv_queue_get_next(&q, e))
        walked.push_back(static_cast<item *>(e)->value);
    EXPECT_EQ(walked, (std::vector<int>{1, 2, 3}));

    EXPECT_EQ(orv_queue_dequeue(&q), &a);
    EXPECT_EQ(orv_queue_dequeue(&q), &b);
    EXPECT_EQ(orv_queue_dequeue(&q), &c);
    EXPECT_EQ(orv_queue_dequeue(&q), nullptr);
    EXPECT_TRUE(orv_queue_empty(&q));

    /* A drained queue must accept records again (its tail was reset). */
    EXPECT_TRUE(orv_queue_enqueue(&q, &b));
    EXPECT_EQ(orv_queue_peek_head(&q), &b);
    EXPECT_EQ(orv_queue_get_next(&q, &b), nullptr);

    orv_queue_init(&q, ORV_QUEUE_FIFO);
    EXPECT_TRUE(orv_queue_empty(&q));
    EXPECT_EQ(q.flags, ORV_QUEUE_FIFO);
}

TEST(Queue, MixedRunMatchesReferenceDeque)
{
    std::vector<item> items(5000);
    std::deque<item *> ref;
    orv_queue_t q;
    orv_queue_init(&q, 0);
    unsigned rng = 12345;
    size_t next = 0;
    for (int step = 0; step < 20000; step++) {
        rng = rng * 1103515245u + 12345u;
        bool add = next < items.size() && ((rng >> 16) % 3 != 0 || ref.empty());
        if (add) {
            items[next].value = static_cast<int>(next);
            ASSERT_TRUE(orv_queue_enqueue(&q, &items[next]));
            ref.push_back(&items[next]);
            next++;
        } else if (!ref.empty()) {
            ASSERT_EQ(orv_queue_dequeue(&q), ref.front());
            ref.pop_front();
        }
        ASSERT_EQ(orv_queue_size(&q), ref.size());
        ASSERT_EQ(orv_queue_peek_head(&q), ref.empty() ? nullptr : ref.front());
    }
    size_t i = 0;
    for (void *e = orv_queue_get_next(&q, nullptr); e != nullptr; e = orv_queue_get_next(&q, e), i++)
        ASSERT_EQ(e, ref[i]);
    EXPECT_EQ(i, ref.size());
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

    EXPECT_STREQ(sstrncpy(buf, "1234567", sizeof buf), "1234567");
    EXPECT_STREQ(sstrncpy(buf, "12345678", sizeof buf), "1234567");
    EXPECT_STREQ(sstrncpy(buf, "", sizeof buf), "");
    EXPECT_STREQ(sstrncpy(buf, nullptr, sizeof buf), "");
    EXPECT_STREQ(sstrncpy(buf, "z", 1), "");
}

/*
 * platform_test.cpp - orv through orv.h: the intrusive queue, the AVL
 * height bound under churn, hash set and map growth, shared memory across a fork, the dispatcher
 * (deadlines, blocking without polling, handlers sharing the setters'
 * lock), trace buffers read back and written by eight threads at once.
 */
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <random>
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
long thread_cpu_us()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000L + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}
struct avl_rec {
    orv_avl_node_t node;
    int key;
};
int avl_cmp(const void *a, const void *b)
{
    int x = static_cast<const avl_rec *>(a)->key, y = static_cast<const avl_rec *>(b)->key;
    return x == y ? ORV_AVL_CMP_EQUAL : x < y ? ORV_AVL_CMP_LESS : ORV_AVL_CMP_GREATER;
}
/* The real height of a subtree; *ok turns false on a bad parent link,
 * stored height, balance or order; *count counts the nodes. */
int shape(const orv_avl_node_t *n, const orv_avl_node_t *parent, bool *ok, uint32_t *count, int *last)
{
    if (n == nullptr)
        return 0;
    int hl = shape(n->left, n, ok, count, last), key = reinterpret_cast<const avl_rec *>(n)->key;
    *ok = *ok && n->parent == parent && key > *last;
    *last = key;
    ++*count;
    int hr = shape(n->right, n, ok, count, last);
    *ok = *ok && std::abs(hl - hr) <= 1 && n->height == 1 + std::max(hl, hr);
    return 1 + std::max(hl, hr);
}
void expect_avl(const orv_avl_tree_t *t)
{
    bool ok = true;
    uint32_t count = 0;
    int last = -1, h = shape(t->root, nullptr, &ok, &count, &last);
    ASSERT_TRUE(ok && count == t->size);
    ASSERT_LE(h, 1.44 * std::log2(t->size + 2.0)) << "AVL height bound";
}
} // namespace

TEST(Queue, FifoOrderSizeAndWalkThroughTheLinks)
{
    struct item {
        orv_queue_link_t link;
        int v;
    } items[4] = {{{}, 0}, {{}, 1}, {{}, 2}, {{}, 3}};
    orv_queue_t q;
    orv_queue_init(&q, ORV_QUEUE_FIFO);
    for (item &it : items)
        ASSERT_TRUE(orv_queue_enqueue(&q, &it));
    EXPECT_EQ(orv_queue_size(&q), 4u);
    int seen = 0;
    for (void *e = orv_queue_get_next(&q, nullptr); e; e = orv_queue_get_next(&q, e))
        EXPECT_EQ(static_cast<item *>(e)->v, seen++);
    EXPECT_EQ(seen, 4);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(static_cast<item *>(orv_queue_dequeue(&q))->v, i);
    EXPECT_TRUE(orv_queue_empty(&q));
    EXPECT_EQ(orv_queue_size(&q), 0u);
    ASSERT_TRUE(orv_queue_enqueue(&q, &items[2])); /* the tail was reset with the last one out */
    EXPECT_EQ(orv_queue_peek_head(&q), &items[2]);
    EXPECT_EQ(orv_queue_dequeue(&q), &items[2]);
    EXPECT_EQ(orv_queue_dequeue(&q), nullptr);
}

TEST(Avl, ChurnKeepsShapeAndHeightBound)
{
    const int n = 100000;
    std::vector<avl_rec> recs(n);
    std::vector<int> order(n);
    for (int i = 0; i < n; i++)
        recs[i].key = 3 * i, order[i] = i;
    std::mt19937 rng(42);
    for (bool ascending : {false, true}) { /* ascending inserts: the degenerate case */
        std::shuffle(order.begin(), order.end(), rng);
        orv_avl_tree_t t;
        ASSERT_EQ(orv_avl_tree_init(&t, avl_cmp, 0), 0u);
        for (int i = 0; i < n; i++) {
            orv_avl_node_t *node = &recs[ascending ? i : order[i]].node;
            ASSERT_EQ(orv_avl_init(node), 0u);
            ASSERT_EQ(orv_avl_insert(&t, node), 0u);
            if (i % 9973 == 0)
                expect_avl(&t);
        }
        avl_rec probe = {};
        probe.key = 300;
        EXPECT_EQ(orv_avl_insert(&t, &probe.node), static_cast<uint32_t>(EEXIST));
        orv_avl_node_t *found = nullptr;
        EXPECT_EQ(orv_avl_search(&t, &probe, &found), 0u);
        EXPECT_EQ(found, &recs[100].node);
        probe.key = 301;
        EXPECT_EQ(orv_avl_search(&t, &probe, &found), ORV_AVL_E_NOT_FOUND);
        EXPECT_EQ(orv_avl_delete(&t, &probe.node, 0), static_cast<uint32_t>(ENOENT)) << "not in the tree";
        int visited = 0; /* destroy visits every record after it left the tree */
        auto each = [](void *r, void *v) { *static_cast<int *>(v) += static_cast<avl_rec *>(r)->node.in_tree ? 9 : 1; };
        EXPECT_EQ(ascending ? orv_avl_tree_destroy(&t, each, &visited) : 0u, 0u);
        EXPECT_EQ(visited, ascending ? n : 0);
        std::shuffle(order.begin(), order.end(), rng);
        for (int i = 0; i < n && !ascending; i++) {
            ASSERT_EQ(orv_avl_delete(&t, &recs[order[i]].node, 0), 0u);
            ASSERT_EQ(orv_avl_delete(&t, &recs[order[i]].node, 0), static_cast<uint32_t>(ENOENT));
            if (i % 9973 == 0 || i > n - 5)
                expect_avl(&t);
        }
        EXPECT_EQ(t.root, nullptr);
        EXPECT_EQ(t.size, 0u);
    }
}

TEST(Hash, SetAndMapGrowAndDrainWithWeakAndCollidingHashes)
{
    struct hs_rec {
        orv_hashset_link_t link;
        uint32_t key;
    };
    auto equal = [](const void *a, const void *b) {
        return static_cast<const hs_rec *>(a)->key == static_cast<const hs_rec *>(b)->key;
    };
    struct {
        orv_hashset_hash_fn hash;
        uint32_t n;
    } const cases[] = {{[](const void *r) { return static_cast<const hs_rec *>(r)->key; }, 100000},
                       {[](const void *) { return 7u; }, 2000}};
    for (const auto &c : cases) {
        std::vector<hs_rec> recs(c.n);
        orv_hashset_t *set = nullptr;
        ASSERT_EQ(orv_hashset_create(&set, c.hash, equal, 0), 0u);
        for (uint32_t i = 0; i < c.n; i++) {
            recs[i].key = i * 1024u; /* equal low bits under the identity hash */
            ASSERT_EQ(orv_hashset_insert(set, &recs[i]), 0u);
        }
        hs_rec probe = {{}, 5 * 1024u};
        EXPECT_EQ(orv_hashset_insert(set, &probe), static_cast<uint32_t>(EEXIST));
        for (uint32_t i = 1; i < c.n; i += 2) {
            probe.key = i * 1024u;
            ASSERT_EQ(orv_hashset_remove(set, &probe), &recs[i]);
        }
        for (uint32_t i = 0; i < c.n; i++) {
            probe.key = i * 1024u;
            ASSERT_EQ(orv_hashset_get(set, &probe), i % 2 ? nullptr : &recs[i]);
        }
        uint32_t drained = 0;
        for (void *r; (r = orv_hashset_first(set)) != nullptr; drained++)
            ASSERT_EQ(orv_hashset_remove(set, r), r);
        EXPECT_EQ(drained, c.n / 2);
        orv_hashset_free(set);
    }
    const int n = 100000;
    std::vector<std::string> keys(n);
    orv_hashmap_t *map = nullptr;
    ASSERT_EQ(orv_hashmap_create(&map, 0), 0u);
    for (int i = 0; i < n; i++) /* the map keeps the caller's key */
        ASSERT_TRUE(orv_hashmap_insert(map, (keys[i] = "key-" + std::to_string(i)).c_str(), &keys[i]));
    std::string copy = "key-777";
    EXPECT_FALSE(orv_hashmap_insert(map, copy.c_str(), &copy)) << "an equal text is the same key";
    for (int i = 0; i < n; i++)
        ASSERT_EQ(orv_hashmap_get_value(orv_hashmap_get(map, keys[i].c_str())), &keys[i]);
    EXPECT_EQ(orv_hashmap_get(map, "key-100000"), nullptr);
    int drained = 0;
    for (orv_hashmap_entry_t *e; (e = orv_hashmap_first(map)) != nullptr; drained++)
        ASSERT_EQ(orv_hashmap_remove_tuple(map, e), 0u);
    EXPECT_EQ(drained, n);
    orv_hashmap_free(map);
}

TEST(Shm, CreateOpenGrowUnlinkAndShareWithAChild)
{
    orv_shm_t shm, bigger;
    const std::string too_long(ORV_SHM_NAME_MAX + 1, 'x'), name = "orv_test." + std::to_string(getpid());
    for (const char *bad : {"", "a/b", "/lead", too_long.c_str()})
        EXPECT_EQ(orv_shm_open(bad, 64, &shm, nullptr), static_cast<uint32_t>(EINVAL)) << bad;
    bool created = true;
    EXPECT_EQ(orv_shm_open(name.c_str(), 0, &shm, &created), static_cast<uint32_t>(ENOENT)) << "size 0 never creates";
    ASSERT_EQ(orv_shm_open(name.c_str(), 8192, &shm, &created), 0u);
    EXPECT_TRUE(created);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        orv_shm_t child;
        if (orv_shm_open(name.c_str(), 0, &child, nullptr) != 0 || child.size != 8192)
            _exit(2);
        for (size_t i = 0; i < child.size; i++)
            static_cast<unsigned char *>(child.addr)[i] = static_cast<unsigned char>(i * 7 + 1);
        _exit(orv_shm_close(&child) == 0 ? 0 : 3);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(status, 0);
    for (size_t i = 0; i < shm.size; i++)
        ASSERT_EQ(static_cast<unsigned char *>(shm.addr)[i], static_cast<unsigned char>(i * 7 + 1));
    ASSERT_EQ(orv_shm_open(name.c_str(), 3 * 8192, &bigger, &created), 0u);
    EXPECT_FALSE(created);
    struct stat st;
    EXPECT_TRUE(stat(("/dev/shm/" + name).c_str(), &st) == 0 && st.st_size == 3 * 8192) << "grown";
    static_cast<char *>(bigger.addr)[bigger.size - 1] = 'z';
    EXPECT_EQ(orv_shm_close(&bigger), 0u);
    EXPECT_EQ(orv_shm_close(&shm), 0u);
    EXPECT_EQ(orv_shm_close(&shm), static_cast<uint32_t>(EBADF));
    EXPECT_EQ(orv_shm_unlink(name.c_str()), 0u);
    EXPECT_EQ(orv_shm_unlink(name.c_str()), static_cast<uint32_t>(ENOENT));
}
namespace {
struct counts {
    int timer = 0, wb = 0;
};
void on_timer(orv_dm_t *, orv_dm_timer_t *, void *ctx)
{
    static_cast<counts *>(ctx)->timer++;
}
void arm(orv_dm_t *dm, orv_dm_timer_t *t, uint64_t ms)
{
    struct timespec rel;
    orv_time_msec64_to_timespec(ms, &rel);
    ASSERT_EQ(orv_dm_timer_settime(dm, t, &rel), 0u);
}
void pass(orv_dm_t *dm)
{
    ASSERT_EQ(orv_dm_wait(dm), 0u);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
}
} // namespace

TEST(Dispatcher, TimersAndWatchedBooleansEndABlockedWaitWithoutPolling)
{
    orv_dm_t *dm = nullptr;
    ASSERT_EQ(orv_dm_create(&dm, "orv test", 0), 0u);
    counts c;
    orv_dm_timer_t *t = nullptr, *t2 = nullptr;
    ASSERT_EQ(orv_dm_timer_register(dm, &t, on_timer, &c), 0u);
    ASSERT_EQ(orv_dm_timer_register(dm, &t2, on_timer, &c), 0u);
    arm(dm, t2, 50);
    arm(dm, t2, 0); /* zero disarms */
    ASSERT_EQ(orv_dm_timer_register(dm, &t2, nullptr, nullptr), 0u); /* releases */
    EXPECT_EQ(t2, nullptr);
    uint64_t start = now_ms();
    long cpu = thread_cpu_us();
    arm(dm, t, 1000);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(c.timer, 0) << "nothing runs before the deadline";
    pass(dm);
    EXPECT_GE(now_ms() - start, 1000u);
    EXPECT_LT(thread_cpu_us() - cpu, 100000) << "CPU microseconds of a blocked second";
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(c.timer, 1) << "one-shot";
    orv_dm_wb_t *wb = nullptr;
    ASSERT_EQ(orv_dm_watched_boolean_create("orv wb", false, &wb), 0u);
    auto on_wb = [](orv_dm_wb_t *, void *ctx) { static_cast<counts *>(ctx)->wb++; };
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &c), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &c), static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(orv_dm_watched_boolean_destroy(wb), static_cast<uint32_t>(EBUSY));
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, true), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, true), 0u);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u); /* set before anybody waits: ready at once, one run for both sets */
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, false), 0u);
    ASSERT_EQ(orv_dm_dispatch(dm), 0u);
    EXPECT_EQ(c.wb, 1);
    /* A set from another thread, 300 ms later, wakes a blocked wait. */
    cpu = thread_cpu_us();
    orv_thread_t id;
    auto later = [](void *arg) -> void * {
        pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
        pthread_cond_t never = PTHREAD_COND_INITIALIZER;
        struct timespec deadline;
        orv_time_get_timespec_realtime(&deadline);
        orv_time_msec64_to_timespec(orv_time_timespec_to_msec64(&deadline) + 300, &deadline);
        pthread_mutex_lock(&m);
        while (orv_thread_cond_timedwait(&never, &m, &deadline) == 0) {
        }
        pthread_mutex_unlock(&m);
        orv_dm_watched_boolean_set(static_cast<orv_dm_wb_t *>(arg), true);
        return nullptr;
    };
    ASSERT_EQ(orv_thread_create(&id, nullptr, later, wb, "orv setter"), 0u);
    pass(dm);
    EXPECT_EQ(c.wb, 2);
    EXPECT_LT(thread_cpu_us() - cpu, 100000) << "the wait polls";
    ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, wb), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_deregister(dm, wb), static_cast<uint32_t>(ENOENT));
    ASSERT_EQ(orv_dm_watched_boolean_set(wb, true), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, wb, on_wb, &c), 0u);
    arm(dm, t, 10); /* left armed */
    EXPECT_EQ(orv_dm_destroy(dm), 0u) << "deregisters the boolean, releases the timer";
    EXPECT_EQ(orv_dm_watched_boolean_destroy(wb), 0u);
}

TEST(Trace, RecordsReadBackFilteredAndWrapped)
{
    static uint32_t all = UINT32_MAX;
    auto texts = [](orv_dt_buffer_t *buf) {
        std::vector<std::string> v;
        EXPECT_EQ(orv_dt_buffer_read(buf, [](const orv_dt_record_t *r, void *arg) -> uint32_t {
            static_cast<std::vector<std::string> *>(arg)->push_back(r->text);
            return 0;
        }, &v), 0u);
        return v;
    };
    orv_dt_buffer_t *buf = nullptr, *dup = nullptr;
    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test", 0, 100), 0u);
    EXPECT_EQ(orv_dt_buffer_init(&dup, "orv.test", 0, 100), static_cast<uint32_t>(EEXIST));
    uint32_t bit3 = 1u << 3, none = 0;
    _orv_dt_log_filter_adv(buf, &none, 0, 0, "no");
    _orv_dt_log_filter_adv(buf, &bit3, 2, 0, "no");
    _orv_dt_log_filter_adv(buf, &bit3, 3, 0, "[%s]:%d:%s():x", "evc", 42, "fn");
    _orv_dt_log_filter_adv(buf, nullptr, 7, 0, "null filter");
    EXPECT_EQ(texts(buf), (std::vector<std::string>{"[evc]:42:fn():x", "null filter"}));
    /* Full: the oldest records go; the text held stays within 100 bytes. */
    for (int i = 1; i <= 50; i++)
        _orv_dt_log_filter_adv(buf, &all, 0, 0, "rec-%03d", i);
    std::vector<std::string> held = texts(buf);
    EXPECT_TRUE(held.size() == 12 && held.front() == "rec-039" && held.back() == "rec-050") << held.size();
    uint32_t n = 0;
    uint64_t dropped = 0;
    ASSERT_EQ(orv_dt_buffer_stats(buf, &n, &dropped), 0u);
    EXPECT_EQ(dropped, 40u);
    std::string huge(5000, 'h');
    _orv_dt_log_filter_adv(buf, &all, 0, 0, "%s", huge.c_str());
    EXPECT_EQ(texts(buf), std::vector<std::string>{huge.substr(0, 99)});
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);
}

namespace {
/* The event checker's shape: submitters set the boolean holding their lock,
 * the handler takes the same lock, reads the count and resets the boolean. */
struct submitters {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    orv_dm_wb_t *wb = nullptr;
    uint32_t submitted = 0, seen = 0; /* under mutex */
    bool timed_out = false;           /* dispatching thread only */
};
constexpr uint32_t SUBMITTERS = 4, SUBMISSIONS = 2000;
} // namespace

TEST(Dispatcher, HandlersTakeTheSettersLockWithoutDeadlockOrLostSet)
{
    orv_dm_t *dm = nullptr;
    ASSERT_EQ(orv_dm_create(&dm, "orv lock test", ORV_DM_THREAD_SAFE), 0u);
    submitters s;
    ASSERT_EQ(orv_dm_watched_boolean_create("submit", false, &s.wb), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_register(dm, s.wb, [](orv_dm_wb_t *wb, void *ctx) {
        submitters *p = static_cast<submitters *>(ctx);
        pthread_mutex_lock(&p->mutex);
        p->seen = p->submitted;
        orv_dm_watched_boolean_set(wb, false);
        pthread_mutex_unlock(&p->mutex);
    }, &s), 0u);
    /* A set lost after the handler's reset leaves the wait to this timer. */
    orv_dm_timer_t *watchdog = nullptr;
    ASSERT_EQ(orv_dm_timer_register(dm, &watchdog, [](orv_dm_t *, orv_dm_timer_t *, void *ctx) {
        static_cast<submitters *>(ctx)->timed_out = true;
    }, &s), 0u);
    arm(dm, watchdog, 60000);
    orv_thread_t ids[SUBMITTERS];
    for (auto &id : ids)
        ASSERT_EQ(orv_thread_create(&id, nullptr, [](void *arg) -> void * {
            submitters *p = static_cast<submitters *>(arg);
            for (uint32_t i = 0; i < SUBMISSIONS; i++) {
                pthread_mutex_lock(&p->mutex);
                p->submitted++;
                orv_dm_watched_boolean_set(p->wb, true);
                pthread_mutex_unlock(&p->mutex);
                if (i % 64 == 0)
                    orv_thread_may_yield();
            }
            return nullptr;
        }, &s, "orv submitter"), 0u);
    for (bool all_seen = false; !all_seen && !s.timed_out;) {
        pass(dm);
        pthread_mutex_lock(&s.mutex);
        all_seen = s.seen == SUBMITTERS * SUBMISSIONS;
        pthread_mutex_unlock(&s.mutex);
    }
    EXPECT_FALSE(s.timed_out) << "a set was lost or the handler never ran";
    for (orv_thread_t id : ids)
        ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    ASSERT_EQ(orv_dm_watched_boolean_deregister(dm, s.wb), 0u);
    EXPECT_EQ(orv_dm_watched_boolean_destroy(s.wb), 0u);
    EXPECT_EQ(orv_dm_destroy(dm), 0u);
}

namespace {
constexpr int WRITERS = 8, PER_WRITER = 4000;
struct writer_arg {
    orv_dt_buffer_t *buf;
    int index;
    uint32_t tid; /* read by the checker only after the join */
};
/* A letter and a length from writer and counter: a torn or mixed record
 * shows as a wrong letter or length. */
std::string payload(int w, int i)
{
    return std::string(static_cast<size_t>(10 + (w * 7 + i) % 50), static_cast<char>('a' + (w + i) % 26));
}
struct record_check {
    int last[WRITERS];
    uint64_t last_seq = 0, records = 0;
    const writer_arg *writers = nullptr; /* set: tids are checked too */
    std::string bad;
    record_check() { std::fill(last, last + WRITERS, -1); }
};
uint32_t check_record(const orv_dt_record_t *r, void *arg)
{
    record_check *c = static_cast<record_check *>(arg);
    int w = -1, i = -1, used = 0;
    if (sscanf(r->text, "w%d c%d %n", &w, &i, &used) != 2 || w < 0 || w >= WRITERS || i <= c->last[w] ||
        std::string(r->text + used) != payload(w, i) || r->seq <= c->last_seq ||
        (c->writers != nullptr && r->tid != c->writers[w].tid)) {
        c->bad = r->text;
        return 1;
    }
    c->last[w] = i, c->last_seq = r->seq, c->records++;
    return 0;
}
} // namespace

TEST(Trace, EightConcurrentWritersLeaveEveryRecordWholeAndCounted)
{
    static uint32_t all = UINT32_MAX;
    orv_dt_buffer_t *buf = nullptr;
    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test.concurrent", 0, 32767), 0u);
    writer_arg args[WRITERS];
    orv_thread_t ids[WRITERS];
    for (int i = 0; i < WRITERS; i++) {
        args[i] = {buf, i, 0};
        ASSERT_EQ(orv_thread_create(&ids[i], nullptr, [](void *p) -> void * {
            writer_arg *a = static_cast<writer_arg *>(p);
            a->tid = static_cast<uint32_t>(syscall(SYS_gettid));
            for (int n = 0; n < PER_WRITER; n++)
                _orv_dt_log_filter_adv(a->buf, &all, 0, 0, "w%d c%d %s", a->index, n, payload(a->index, n).c_str());
            return nullptr;
        }, &args[i], "orv writer"), 0u);
    }
    for (int round = 0; round < 20; round++) { /* snapshots taken while they write */
        record_check c;
        ASSERT_EQ(orv_dt_buffer_read(buf, check_record, &c), 0u) << c.bad;
    }
    for (orv_thread_t id : ids)
        ASSERT_EQ(orv_thread_join(id, nullptr), 0u);
    record_check c;
    c.writers = args;
    ASSERT_EQ(orv_dt_buffer_read(buf, check_record, &c), 0u) << c.bad;
    uint32_t held = 0;
    uint64_t dropped = 0;
    ASSERT_EQ(orv_dt_buffer_stats(buf, &held, &dropped), 0u);
    EXPECT_EQ(c.records, held);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(held + dropped, static_cast<uint64_t>(WRITERS) * PER_WRITER);
    EXPECT_EQ(c.last_seq, static_cast<uint64_t>(WRITERS) * PER_WRITER) << "the newest record is held";
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);
}

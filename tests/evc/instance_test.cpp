/*
 * instance_test.cpp - checkers and the process-wide state: the trace lines
 * of creating and destroying, owned and borrowed dispatchers, unique names,
 * the state block that comes with the first checker and goes with the last,
 * argument errors, the release of everything a failed creation acquired,
 * and creations and destructions racing on several threads.
 */
#include "evc_test_util.h"

#include <errno.h>
#include <pthread.h>

#include <cstdio>

using namespace evc_test;

namespace {

Lines create_traces(const std::string &name)
{
    const std::string p = "[" + name + "]:<L>:kel_evc_create():orv_dm_watched_boolean_";
    return {p + "create()",   p + "create() - heartbeat", p + "set(false) - heartbeat",
            p + "set(false)", p + "register() - heartbeat", p + "register()"};
}

Lines destroy_traces(const std::string &name)
{
    const std::string p = "[" + name + "]:<L>:kel_evc_destroy():orv_dm_watched_boolean_";
    return {p + "deregister() - heartbeat", p + "deregister()", p + "destroy() - heartbeat", p + "destroy()"};
}

Lines concat(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string pointer_text(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

} // namespace

class EvcInstance : public EvcTest {};

TEST_F(EvcInstance, LifecycleOfCheckersAndOfTheirTraceBuffers)
{
    /* The first checker brings the state block and its three buffers, each
     * starting with its own line. */
    kel_evc_t *own = nullptr;
    ASSERT_EQ(kel_evc_create(&own, "own", NULL), 0u);
    ASSERT_NE(own, nullptr);
    ASSERT_TRUE(buffers_open());
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES),
              concat({"<L>:kel_evc_glb_init():Buffer created, size 32767"}, create_traces("own")));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"Buffer created, size 32767", "[own] created, and created ODM <PTR>"}));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_ERRORS), (Lines{"kel_evc_glb_init():Buffer created, size 4096"}));

    /* A second checker on the caller's dispatcher names that dispatcher. */
    orv_dm_t *dm = nullptr;
    ASSERT_EQ(orv_dm_create(&dm, "caller", 0), 0u);
    kel_evc_t *borrowed = nullptr;
    clear_buffers();
    ASSERT_EQ(kel_evc_create(&borrowed, "borrowed", dm), 0u);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES), create_traces("borrowed"));
    Lines events;
    orv_dt_buffer_read(
        orv_dt_buffer_find(KEL_EVC_BUF_EVENTS),
        [](const orv_dt_record_t *r, void *arg) -> uint32_t {
            static_cast<Lines *>(arg)->push_back(r->text);
            return 0;
        },
        &events);
    EXPECT_EQ(events, (Lines{"[borrowed] created, with passed ODM " + pointer_text(dm)}));

    /* Destroying one of two keeps the buffers. */
    clear_buffers();
    const live_counts before = live();
    ASSERT_EQ(kel_evc_destroy(&own), 0u);
    EXPECT_EQ(own, nullptr);
    EXPECT_EQ(live().dms, before.dms - 1) << "the owned dispatcher goes with its checker";
    EXPECT_EQ(live().wbs, before.wbs - 2);
    ASSERT_TRUE(buffers_open());
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES), destroy_traces("own"));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[own] destroyed"}));

    /* Destroying the last closes them, after its own lines. */
    clear_buffers();
    ASSERT_EQ(kel_evc_destroy(&borrowed), 0u);
    EXPECT_EQ(kel_evc_glb, nullptr);
    EXPECT_FALSE(buffers_open());
    EXPECT_EQ(orv_dt_buffer_find(KEL_EVC_BUF_ERRORS), nullptr);
    EXPECT_EQ(closed_buffer(KEL_EVC_BUF_TRACES), destroy_traces("borrowed"));
    EXPECT_EQ(closed_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[borrowed] destroyed"}));
    EXPECT_EQ(closed_buffer(KEL_EVC_BUF_ERRORS), Lines{});

    /* The caller's dispatcher survived, without the checker's booleans. */
    EXPECT_EQ(live().dms, before.dms - 1);
    orv_dm_timer_t *timer = nullptr;
    EXPECT_EQ(orv_dm_timer_register(dm, &timer, [](orv_dm_t *, orv_dm_timer_t *, void *) {}, dm), 0u);
    EXPECT_EQ(orv_dm_timer_register(dm, &timer, NULL, NULL), 0u);
    EXPECT_EQ(orv_dm_destroy(dm), 0u);

    /* The next checker makes new buffers. */
    kel_evc_t *again = nullptr;
    ASSERT_EQ(kel_evc_create(&again, "own", NULL), 0u);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS),
              (Lines{"Buffer created, size 32767", "[own] created, and created ODM <PTR>"}));
    ASSERT_EQ(kel_evc_destroy(&again), 0u);
}

TEST_F(EvcInstance, NamesAreUniqueAndArgumentsAreChecked)
{
    kel_evc_t *a = nullptr;
    EXPECT_EQ(kel_evc_create(NULL, "x", NULL), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_create(&a, NULL, NULL), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_glb, nullptr) << "argument errors change nothing";
    EXPECT_EQ(kel_evc_destroy(NULL), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_destroy(&a), KEL_EVC_E_INVAL);
    EXPECT_EQ(kel_evc_reset(NULL), KEL_EVC_E_INVAL);

    ASSERT_EQ(kel_evc_create(&a, "name", NULL), 0u);
    kel_evc_t *b = reinterpret_cast<kel_evc_t *>(&b);
    clear_buffers();
    EXPECT_EQ(kel_evc_create(&b, "name", NULL), KEL_EVC_E_EXIST);
    EXPECT_EQ(b, nullptr) << "the out-pointer is cleared";
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_TRACES), Lines{});
    ASSERT_EQ(kel_evc_create(&b, "name2", NULL), 0u);
    ASSERT_EQ(kel_evc_destroy(&a), 0u);
    ASSERT_EQ(kel_evc_create(&a, "name", NULL), 0u) << "a name is free again once its checker is gone";
    ASSERT_EQ(kel_evc_destroy(&a), 0u);
    ASSERT_EQ(kel_evc_destroy(&b), 0u);
}

TEST_F(EvcInstance, ResetFreesEveryQueueAndKeepsTheChecker)
{
    kel_evc_t *evc = nullptr;
    kel_evc_queue_t *q1 = nullptr, *q2 = nullptr;
    ASSERT_EQ(kel_evc_create(&evc, "c", NULL), 0u);
    ASSERT_EQ(kel_evc_queue_create(&q1, evc, "q1", NULL, NULL), 0u);
    ASSERT_EQ(kel_evc_queue_create(&q2, evc, "q2", NULL, NULL), 0u);
    kel_evc_event_t a = ev(1);
    ASSERT_EQ(kel_evc_queue_expect(q1, &a, 1), 0u);
    clear_buffers();
    EXPECT_EQ(kel_evc_reset(evc), 0u);
    /* Each queue is emptied as by a reset before it is freed. */
    /* The order between queues is the tree's; within a queue it is fixed. */
    const Lines traces = read_buffer(KEL_EVC_BUF_TRACES);
    EXPECT_EQ(traces.size(), 3u);
    EXPECT_EQ(only(traces, "[c:q1]"), (Lines{"[c:q1]:<L>:kel_evc_queue_reset_locked():Removing Type 1; Len 0; Val ((nil))",
                                             "[c:q1]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true"}));
    EXPECT_EQ(only(traces, "[c:q2]"), (Lines{"[c:q2]:<L>:kel_evc_queue_reset_locked():evcq_timeout = true"}));
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[c:q1] Reset; Removing Type 1; Len 0; Val ((nil))"}));

    clear_buffers();
    EXPECT_EQ(kel_evc_queue_submit("c", "q1", &a), KEL_EVC_E_NOENT);
    EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), (Lines{"[c:q1] Submit Q not found Type 1; Len 0; Val ((nil))"}));
    EXPECT_EQ(kel_evc_queue_create(&q1, evc, "q1", NULL, NULL), 0u) << "an old name can be used again";
    EXPECT_EQ(kel_evc_queue_submit("c", "q1", &a), KEL_EVC_W_MISMATCH);
    EXPECT_EQ(kel_evc_reset(evc), 0u);
    EXPECT_EQ(kel_evc_reset(evc), 0u) << "resetting an empty checker is fine";
    ASSERT_EQ(kel_evc_destroy(&evc), 0u);
}

namespace {

struct create_fault {
    const char *what;
    fault f;
    int nth;            /* counted from the start of the kel_evc_create call */
    bool needs_fresh;   /* the call is made only while there is no state block */
    uint32_t rc;
    size_t trace_lines; /* lines of the checker written before it failed */
};

const create_fault create_faults[] = {
    {"state block", fault::calloc_, 1, true, KEL_EVC_E_NOMEM, 0},
    {"registry", fault::avl_tree_init, 1, true, EINVAL, 0},
    {"traces buffer", fault::buffer_init, 1, true, KEL_EVC_FATAL | EMFILE, 0},
    {"events buffer", fault::buffer_init, 2, true, KEL_EVC_FATAL | EMFILE, 0},
    {"errors buffer", fault::buffer_init, 3, true, KEL_EVC_FATAL | EMFILE, 0},
    {"checker record", fault::calloc_, 1, false, KEL_EVC_E_NOMEM, 0},
    {"name copy", fault::strdup_, 1, false, KEL_EVC_E_NOMEM, 0},
    {"dispatcher", fault::dm_create, 1, false, KEL_EVC_FATAL | EAGAIN, 0},
    {"done boolean", fault::wb_create, 1, false, KEL_EVC_FATAL | ENOSPC, 1},
    {"heartbeat boolean", fault::wb_create, 2, false, KEL_EVC_FATAL | ENOSPC, 2},
    {"heartbeat set", fault::wb_set, 1, false, KEL_EVC_FATAL | EIO, 3},
    {"done set", fault::wb_set, 2, false, KEL_EVC_FATAL | EIO, 4},
    {"heartbeat register", fault::wb_register, 1, false, KEL_EVC_FATAL | EBUSY, 5},
    {"done register", fault::wb_register, 2, false, KEL_EVC_FATAL | EBUSY, 6},
    {"queue tree", fault::avl_tree_init, 1, false, EINVAL, 6},
    {"registry insert", fault::avl_insert, 1, false, EEXIST, 6},
};

/* One failing creation: the code, the out-pointer, nothing left behind,
 * and the trace lines written up to the failing step. */
void check_failed_create(const create_fault &c, orv_dm_t *dm, bool with_other)
{
    SCOPED_TRACE(std::string(c.what) + (dm ? ", caller's dispatcher" : ", own dispatcher") +
                 (with_other ? ", beside another checker" : ", first checker"));
    kel_evc_t *other = nullptr;
    if (with_other) {
        ASSERT_EQ(kel_evc_create(&other, "other", NULL), 0u);
    }
    clear_buffers();
    const live_counts before = live();
    kel_evc_t *evc = nullptr;
    /* Faults of the state block are counted from the block's own calls;
     * the checker's from after it (the first checker's block made one
     * calloc and the registry's tree). */
    int nth = c.nth;
    if (!c.needs_fresh && !with_other && (c.f == fault::calloc_ || c.f == fault::avl_tree_init))
        nth++;
    fail_call(c.f, nth);
    EXPECT_EQ(kel_evc_create(&evc, "fails", dm), c.rc);
    EXPECT_EQ(evc, nullptr);
    no_faults();
    const bool block_made = !with_other && !c.needs_fresh;
    const Lines all = create_traces("fails");
    const Lines written(all.begin(), all.begin() + static_cast<long>(c.trace_lines));
    if (with_other) {
        EXPECT_TRUE(live() == before);
        Lines traces = read_buffer(KEL_EVC_BUF_TRACES);
        EXPECT_EQ(traces, written);
        EXPECT_EQ(read_buffer(KEL_EVC_BUF_EVENTS), Lines{});
    } else {
        /* The block made for this creation went with it. */
        EXPECT_EQ(kel_evc_glb, nullptr);
        EXPECT_TRUE(live() == before);
        if (block_made) {
            EXPECT_EQ(closed_buffer(KEL_EVC_BUF_TRACES),
                      concat({"<L>:kel_evc_glb_init():Buffer created, size 32767"}, written));
        }
    }
    if (with_other) {
        uint32_t size = 99;
        orv_avl_tree_get_size(&kel_evc_glb->registry, &size);
        EXPECT_EQ(size, 1u) << "the registry is unchanged";
    }
    /* Nothing of the failed attempt blocks the name. */
    ASSERT_EQ(kel_evc_create(&evc, "fails", dm), 0u);
    ASSERT_EQ(kel_evc_destroy(&evc), 0u);
    if (other != nullptr) {
        ASSERT_EQ(kel_evc_destroy(&other), 0u);
    }
}

} // namespace

TEST_F(EvcInstance, FailedCreationReleasesEverythingItAcquired)
{
    orv_dm_t *dm = nullptr;
    ASSERT_EQ(orv_dm_create(&dm, "caller", 0), 0u);
    for (const create_fault &c : create_faults) {
        for (orv_dm_t *d : {static_cast<orv_dm_t *>(nullptr), dm}) {
            if (d != nullptr && c.f == fault::dm_create)
                continue;
            check_failed_create(c, d, false);
            if (!c.needs_fresh)
                check_failed_create(c, d, true);
        }
    }
    EXPECT_EQ(orv_dm_destroy(dm), 0u);
}

TEST_F(EvcInstance, CreationsAndDestructionsOnManyThreadsAtOnce)
{
    /* Two threads keep making and removing the only checkers of the
     * process, so the state block comes and goes between the two lockings
     * of a creation. */
    struct worker {
        const char *name;
        int failures = 0;
        pthread_t thread{};
        static void *run(void *arg)
        {
            worker *w = static_cast<worker *>(arg);
            for (int i = 0; i < 500; i++) {
                kel_evc_t *evc = nullptr;
                kel_evc_queue_t *q = nullptr;
                kel_evc_event_t e = ev(1);
                if (kel_evc_create(&evc, w->name, NULL) != 0 || kel_evc_queue_create(&q, evc, "q", NULL, NULL) != 0 ||
                    kel_evc_queue_expect(q, &e, 1) != 0 || kel_evc_queue_submit(w->name, "q", &e) != 0 ||
                    kel_evc_destroy(&evc) != 0)
                    w->failures++;
            }
            return nullptr;
        }
    } workers[3] = {{"a"}, {"b"}, {"c"}};
    for (worker &w : workers) {
        ASSERT_EQ(pthread_create(&w.thread, nullptr, worker::run, &w), 0);
    }
    for (worker &w : workers) {
        pthread_join(w.thread, nullptr);
        EXPECT_EQ(w.failures, 0) << w.name;
    }
    EXPECT_EQ(kel_evc_glb, nullptr);
}

/*
 * example_main.c - an example kel test program.
 *
 * It tests the small library of ring.c: a folder of ring-buffer tests whose
 * fixture creates the ring once for the folder (a folder cookie), a folder of
 * parser tests with a failing case (the library has a bug on purpose) and a
 * known bug marked as an expected failure, an explicit-only soak test, and a
 * performance comparison between two ways of filling a ring, a multi-task
 * folder whose tasks share one ring, and a multi-process folder.
 *
 *   ./kel_example -h            the options and the tree
 *   ./kel_example all           run everything but the explicit-only test
 *   ./kel_example ring          run one folder
 *   ./kel_example -D rounds=100000 ring soak
 *   ./kel_example threads       four tasks share one ring (a multi-task folder)
 *   ./kel_example procs         two slave processes, twice (a multi-process folder)
 *   ./kel_example remote        two processes run by a kel-agent on 127.0.0.1
 */
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kel.h"
#include "ring.h"

/* ---- ring: one ring per folder, shared through the folder cookie ------- */

static void ring_setup(void)
{
    ring_t *r = kel_create_cookie(sizeof(ring_t));
    kel_assert(ring_init(r, 4), "cannot allocate a ring of 4");
}

static void ring_teardown(void)
{
    ring_t *r = kel_get_cookie();
    ring_fini(r);
    kel_destroy_cookie();
}

static void test_push_pop(void)
{
    ring_t *r = kel_get_cookie();
    int v = 0;
    kel_check(ring_push(r, 7));
    kel_check(ring_count(r) == 1);
    kel_check(ring_pop(r, &v) && v == 7, "popped %d", v);
    kel_check(!ring_pop(r, &v), "an empty ring gave %d", v);
}

static void test_wraps_around(void)
{
    ring_t *r = kel_get_cookie();
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < 4; i++)
            kel_check(ring_push(r, round * 10 + i));
        kel_check(!ring_push(r, 99), "a full ring took a fifth value");
        for (int i = 0; i < 4; i++) {
            int v = -1;
            kel_check(ring_pop(r, &v) && v == round * 10 + i, "round %d slot %d gave %d", round, i, v);
        }
    }
}

static void test_soak(void)
{
    ring_t *r = kel_get_cookie();
    int rounds = kel_get_int_var("rounds", NULL, 1000);
    for (int i = 0; i < rounds; i++) {
        int v;
        kel_check(ring_push(r, i) && ring_pop(r, &v) && v == i);
    }
}

/* ---- parse ------------------------------------------------------------- */

static void test_decimal(void)
{
    int v = 0;
    kel_check(parse_int("42", &v) && v == 42);
    kel_check(parse_int("-17", &v) && v == -17);
}

static void test_hex(void)
{
    int v = 0;
    kel_check(parse_int("0x1F", &v) && v == 31, "0x1F gave %d", v);
}

static void test_rejects_junk(void)
{
    int v = 0;
    kel_check(!parse_int("12ab", &v));
    kel_check(!parse_int("", &v));
}

static void test_overflow(void)
{
    int v = 0;
    const char *text = "99999999999";
    kel_check(!parse_int(text, &v), "parse_int(\"%s\") accepted it as %d", text, v);
}

static void test_known_bug(void)
{
    /* Known: a leading '+' is refused. Fixed in the next release; until
     * then this test must keep failing, and says so. */
    int v = 0;
    kel_expect_failure();
    kel_check(parse_int("+5", &v) && v == 5);
}

/* ---- performance: fill a ring through push, or in one copy ------------ */

enum { FILL_OPS = 10000000 };

static void test_fill_by_push(void)
{
    ring_t r;
    kel_assert(ring_init(&r, 64));
    kel_start_pds("ring_push", "fill", 0);
    for (int i = 0; i < FILL_OPS; i++) {
        int v;
        ring_push(&r, i);
        ring_pop(&r, &v);
    }
    kel_stop_perf("ops", FILL_OPS);
    ring_fini(&r);
}

static void test_fill_by_copy(void)
{
    static int src[64], dst[64];
    /* The alternative may be at most 90% slower than the reference. */
    kel_start_pds("memcpy", "fill", -90);
    for (int i = 0; i < FILL_OPS / 64; i++) {
        src[i % 64] = i;
        memcpy(dst, src, sizeof dst);
    }
    kel_stop_perf("ops", (FILL_OPS / 64) * 64);
    kel_check(dst[0] == src[0]);
}

/* ---- concurrency: rings shared by threads, rings used by processes ----- */

static kel_syncvar_t *filled;

static void shared_setup(void)
{
    ring_t *r = kel_create_cookie(sizeof(ring_t));
    kel_assert(ring_init(r, 64));
    filled = kel_syncvar_alloc(0, 4);
}

static void shared_teardown(void)
{
    ring_t *r = kel_get_cookie();
    kel_check(ring_count(r) == 4, "%zu values left", ring_count(r));
    ring_fini(r);
    kel_destroy_cookie();
    kel_syncvar_free(filled);
}

/* Four tasks push into the folder's ring; each waits until all four did. */
static void test_push_from_task(void)
{
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    ring_t *r = kel_get_cookie();
    pthread_mutex_lock(&lock);
    bool pushed = ring_push(r, (int)kel_get_task_number());
    pthread_mutex_unlock(&lock);
    kel_check(pushed);
    kel_syncvar_add(filled, 1);
    kel_check(kel_syncvar_wait(filled, 5000) == 0, "not every task pushed in time");
    printf("task %u of the threads, sequence %u\n", kel_get_task_number(), kel_get_seq_number());
}

/* Each slave process gets its own ring: processes share nothing. */
static void test_ring_in_process(void)
{
    ring_t r;
    kel_assert(ring_init(&r, 2));
    kel_check(ring_push(&r, 1) && ring_push(&r, 2) && !ring_push(&r, 3));
    printf("process %u, sequence %u\n", kel_get_fork_task_number(), kel_get_seq_number());
    ring_fini(&r);
}

/* ---- events: a worker thread reports its progress to an event checker -- */

enum { JOB_STARTED = 1, JOB_DONE = 2, JOB_STOP = -1 };

/* The code under test: a request queue served by one worker thread, which
 * announces each request it starts and finishes. It needs no handle: it
 * names the checker and the queue. */
static struct {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    int pending[8];
    int count;
} jobs = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {0}, 0};

static void jobs_post(int job)
{
    pthread_mutex_lock(&jobs.lock);
    jobs.pending[jobs.count++] = job;
    pthread_cond_signal(&jobs.cond);
    pthread_mutex_unlock(&jobs.lock);
}

static int jobs_take(void)
{
    pthread_mutex_lock(&jobs.lock);
    while (jobs.count == 0)
        pthread_cond_wait(&jobs.cond, &jobs.lock);
    int job = jobs.pending[0];
    memmove(jobs.pending, jobs.pending + 1, (size_t)--jobs.count * sizeof jobs.pending[0]);
    pthread_mutex_unlock(&jobs.lock);
    return job;
}

static void *job_worker(void *arg)
{
    (void)arg;
    for (;;) {
        int job = jobs_take();
        if (job == JOB_STOP)
            return NULL;
        kel_evc_event_t started = {JOB_STARTED, sizeof job, &job};
        kel_evc_queue_submit("worker", "jobs", &started);
        kel_evc_event_t done = {JOB_DONE, sizeof job, &job};
        kel_evc_queue_submit("worker", "jobs", &done);
    }
}

/* How the checker shows these events in a failure report. */
static const char *job_event_text(const kel_evc_event_t *ev, char *buf, size_t size)
{
    int job = 0;
    if (ev->len == sizeof job)
        memcpy(&job, ev->val, sizeof job);
    snprintf(buf, size, "%s #%d", ev->type == JOB_STARTED ? "started" : ev->type == JOB_DONE ? "done" : "?", job);
    return buf;
}

/* Three requests, each started then done, in the order posted. The
 * dispatch returns once all six events arrived; a wrong event or two
 * seconds without progress are reported as a logged error. */
static void test_jobs_in_order(void)
{
    kel_evc_t *evc = NULL;
    kel_evc_queue_t *q = NULL;
    pthread_t worker;
    kel_assert(kel_evc_create(&evc, "worker", NULL) == 0);
    uint32_t rc = kel_evc_queue_create(&q, evc, "jobs", NULL, job_event_text);
    for (int job = 1; job <= 3 && rc == 0; job++) {
        kel_evc_event_t started = {JOB_STARTED, sizeof job, &job};
        kel_evc_event_t done = {JOB_DONE, sizeof job, &job};
        rc = kel_evc_queue_expect(q, &started, 1);
        if (rc == 0)
            rc = kel_evc_queue_expect(q, &done, 1);
    }
    if (rc == 0 && pthread_create(&worker, NULL, job_worker, NULL) == 0) {
        for (int job = 1; job <= 3; job++)
            jobs_post(job);
        rc = kel_evc_dispatch(evc, 2000);
        jobs_post(JOB_STOP);
        pthread_join(worker, NULL);
    }
    kel_evc_destroy(&evc);
    kel_check(rc == 0, "the checker returned 0x%x", rc);
}

/* ---- remote: a test case run by the kel-agent of a node ---------------- */

/* Runs in a slave that the agent started; its output goes to the agent's
 * standard output, and the master prints the counts the agent sent back. */
static void test_ring_on_node(void)
{
    ring_t r;
    kel_assert(ring_init(&r, 8));
    for (int i = 0; i < 8; i++)
        kel_check(ring_push(&r, i));
    kel_check(!ring_push(&r, 8), "a full ring took a ninth value");
    printf("node %u, process %u\n", kel_get_node_num(), kel_get_fork_task_number());
    ring_fini(&r);
}

/* The tree builders return NULL when a node cannot be made (no memory): a
 * tree with a node missing would run without its tests, so stop at once. */
static kel_tc_t *made(kel_tc_t *node)
{
    if (node == NULL) {
        fputs("kel_example: cannot build the test tree\n", stderr);
        exit(1);
    }
    return node;
}

int main(int argc, char **argv)
{
    kel_t *kel = NULL;
    if (kel_create(&kel) != 0)
        return 1;

    kel_tc_t *ring = made(kel_create_test_folder(kel, NULL, "ring", "Ring buffer"));
    kel_add_fixture(ring, ring_setup, ring_teardown);
    made(kel_create_test_case(kel, ring, "push_pop", "Push then pop one value", test_push_pop, KEL_TC_BASIC));
    made(kel_create_test_case(kel, ring, "wraps", "Fill and drain three times", test_wraps_around, KEL_TC_BASIC));
    made(kel_create_test_case(kel, ring, "soak", "Many rounds (-D rounds=N)", test_soak,
                              KEL_TC_BASIC | KEL_TC_EXPLICIT));

    kel_tc_t *parse = made(kel_create_test_folder(kel, NULL, "parse", "Integer parser"));
    made(kel_create_test_case(kel, parse, "decimal", "Decimal numbers", test_decimal, KEL_TC_BASIC));
    made(kel_create_test_case(kel, parse, "hex", "Hexadecimal numbers", test_hex, KEL_TC_BASIC));
    made(kel_create_test_case(kel, parse, "junk", "Junk is refused", test_rejects_junk, KEL_TC_BASIC));
    made(kel_create_test_case(kel, parse, "overflow", "Overflow is refused", test_overflow, KEL_TC_BASIC));
    made(kel_create_test_case(kel, parse, "known_bug", "Known bug, fixed next release", test_known_bug,
                              KEL_TC_BASIC));

    kel_tc_t *perf = made(kel_create_test_folder(kel, NULL, "perf", "Ways to fill a ring"));
    made(kel_create_test_case(kel, perf, "push", "Reference: push and pop", test_fill_by_push, KEL_TC_PERF));
    made(kel_create_test_case(kel, perf, "copy", "Alternative: memcpy", test_fill_by_copy, KEL_TC_PERF));

    kel_tc_t *threads = made(kel_create_test_folder(kel, NULL, "threads", "One ring, four threads"));
    kel_multi_task_enable(threads);
    kel_add_fixture(threads, shared_setup, shared_teardown);
    kel_tc_t *push = made(kel_create_test_case(kel, threads, "push", "Each task pushes its number",
                                               test_push_from_task, KEL_TC_BASIC));
    kel_multi_task_set_count(push, 4);

    kel_tc_t *procs = made(kel_create_test_folder(kel, NULL, "procs", "Rings in slave processes"));
    kel_multi_process_enable(procs);
    kel_tc_t *own = made(kel_create_test_case(kel, procs, "own_ring", "A ring per process", test_ring_in_process,
                                              KEL_TC_BASIC));
    kel_multi_task_set_count(own, 2);
    kel_seq_set_count(own, 2);

    kel_tc_t *events = made(kel_create_test_folder(kel, NULL, "events", "A worker thread checked by its events"));
    made(kel_create_test_case(kel, events, "jobs", "Requests are started and done in order", test_jobs_in_order,
                              KEL_TC_BASIC));

    /* An explicit-only folder, so that "all" needs no agent: run it with
     * "remote" while a kel-agent listens on 127.0.0.1:6154. */
    kel_tc_t *remote = made(kel_create_test_case(kel, NULL, "remote", "Run by the agent of a node", NULL,
                                                 KEL_TC_BASIC | KEL_TC_EXPLICIT));
    kel_multi_process_enable(remote);
    kel_tc_t *on_node = made(kel_create_test_case(kel, remote, "on_node", "A ring on another node",
                                                  test_ring_on_node, KEL_TC_BASIC));
    kel_set_node(on_node, "127.0.0.1");
    kel_set_node_num(on_node, 1);
    kel_multi_task_set_count(on_node, 2);

    kel_run_code_t rc = kel_run(argc, argv, kel);
    kel_destroy(&kel);
    return rc;
}

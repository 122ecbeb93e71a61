/*
 * threads.c - the multi-threaded test program of the golden scenarios:
 * children of multi folders on spawned test threads and sequencers, asserts
 * among them, sync variables between threads, and thread starts that fail.
 *
 * Concurrent test cases print in any order, so the scenarios run quiet and
 * the bodies note what they saw; after the run the program prints the notes
 * sorted, so the transcript is exact. Tasks that must overlap meet on sync
 * variables first, and an assert comes only once all its siblings have
 * started, so the counts are exact too. Environment:
 *   THREADS_MEET=n         how many tasks meet before any may go on (4);
 *   THREADS_FAIL_CREATE=n  the n-th pthread_create of the process (which the
 *                          library calls through this program's definition)
 *                          fails with EAGAIN.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"

__attribute__((visibility("default"))) int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg)
{
    static int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static int calls;
    const char *fail = getenv("THREADS_FAIL_CREATE");
    if (fail && __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST) == atoi(fail))
        return EAGAIN;
    if (!real)
        *(void **)&real = dlsym(RTLD_NEXT, "pthread_create");
    return real(t, a, fn, arg);
}

/* ---- notes --------------------------------------------------------------- */

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char notes[2048][48];
static int note_count;

static void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void note(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    pthread_mutex_lock(&lock);
    if (note_count < 2048)
        vsnprintf(notes[note_count++], sizeof notes[0], fmt, ap);
    pthread_mutex_unlock(&lock);
    va_end(ap);
}

static int by_text(const void *a, const void *b) { return strcmp(a, b); }

static void print_notes(void)
{
    qsort(notes, (size_t)note_count, sizeof notes[0], by_text);
    for (int i = 0; i < note_count;) {
        int same = 1;
        while (i + same < note_count && strcmp(notes[i], notes[i + same]) == 0)
            same++;
        printf(same > 1 ? "%s (x%d)\n" : "%s\n", notes[i], same);
        i += same;
    }
}

/* ---- bodies ---------------------------------------------------------------- */

static kel_syncvar_t *meet[8], *release;
static int running, tasks_seen;
static pthread_t run_thread;

static void setup(void) { note("setup after %d tasks", __atomic_load_n(&tasks_seen, __ATOMIC_SEQ_CST)); }
static void teardown(void) { note("teardown after %d tasks", __atomic_load_n(&tasks_seen, __ATOMIC_SEQ_CST)); }

/* Every task of an iteration meets the others before it may end; a task of
 * another iteration starting meanwhile is an overlap. */
static void together(void)
{
    unsigned seq = kel_get_seq_number();
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    note("seq %u task %u parent %u on %s", seq, kel_get_task_number(), kel_get_parent_task_number(), name);
    __atomic_add_fetch(&tasks_seen, 1, __ATOMIC_SEQ_CST);
    if (__atomic_add_fetch(&running, 1, __ATOMIC_SEQ_CST) > 2 && seq > 0)
        note("iterations overlap");
    kel_syncvar_add(meet[seq], 1);
    kel_check(kel_syncvar_wait(meet[seq], 60000) == 0);
    __atomic_sub_fetch(&running, 1, __ATOMIC_SEQ_CST);
}

static void where(void)
{
    note("%s seq %u task %u", pthread_equal(pthread_self(), run_thread) ? "run's thread" : "spawned",
         kel_get_seq_number(), kel_get_task_number());
}

static void count(void)
{
    note("%s seq %u task %u", kel_get_test_case_name(), kel_get_seq_number(), kel_get_task_number());
    kel_check(kel_get_task_number() != 0);
}

static void named(void) { note("%s", kel_get_test_case_name()); }
static void repeat(void) { note("run %u of %u", kel_get_repeat_run(), kel_get_repeat_times()); }
static void nested(void) { note("%u.%u", kel_get_parent_task_number(), kel_get_task_number()); }

static void *helper(void *token)
{
    kel_set_thread_token(token);
    for (int i = 0; i < 50; i++)
        kel_check(i < 50);
    return NULL;
}

static void with_helpers(void)
{
    pthread_t t[2];
    for (int i = 0; i < 2; i++)
        pthread_create(&t[i], NULL, helper, kel_get_thread_token());
    for (int i = 0; i < 2; i++)
        pthread_join(t[i], NULL);
}

/* Task 3 (of the first iteration, or of the first inner folder) asserts once
 * all of its siblings have started; they end only after it did. */
static void asserts(void)
{
    unsigned t = kel_get_task_number(), p = kel_get_parent_task_number(), s = kel_get_seq_number();
    kel_syncvar_add(meet[0], 1);
    if (t == 3 && p <= 1 && s <= 1) {
        kel_check(kel_syncvar_wait(meet[0], 60000) == 0);
        kel_syncvar_notify(release, 1);
        kel_assert(t != 3, "task %u.%u asserts", p, t);
    }
    if (s > 1)
        note("seq %u ran", s);
    kel_check(kel_syncvar_wait(release, 60000) == 1);
}

static void cookie(void) { kel_create_cookie(16); }
static void fixture_var(void) { kel_set("v", &release); }

/* ---- sync variables --------------------------------------------------------- */

struct waiter {
    kel_syncvar_t *sv;
    pthread_t thread;
    uint32_t rc, timeout;
    int returned, tid;
};

static void *wait_thread(void *arg)
{
    struct waiter *w = arg;
    __atomic_store_n(&w->tid, gettid(), __ATOMIC_SEQ_CST);
    w->rc = kel_syncvar_wait(w->sv, w->timeout);
    __atomic_store_n(&w->returned, 1, __ATOMIC_SEQ_CST);
    return NULL;
}

static int done(struct waiter *w) { return __atomic_load_n(&w->returned, __ATOMIC_SEQ_CST); }

/* Returns once the waiter sleeps in the kernel (a futex call) or returned. */
static void start_and_wait_asleep(struct waiter *w, kel_syncvar_t *sv, uint32_t timeout)
{
    w->sv = sv;
    w->timeout = timeout;
    w->returned = w->tid = 0;
    pthread_create(&w->thread, NULL, wait_thread, w);
    while (__atomic_load_n(&w->tid, __ATOMIC_SEQ_CST) == 0)
        sched_yield();
    char path[64], text[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/syscall", w->tid);
    for (;;) {
        FILE *f = fopen(path, "r");
        size_t n = f ? fread(text, 1, sizeof text - 1, f) : 0;
        if (f)
            fclose(f);
        text[n] = '\0';
        if (strncmp(text, "202 ", 4) == 0 || done(w))
            return;
        sched_yield();
    }
}

static uint32_t join(struct waiter *w)
{
    pthread_join(w->thread, NULL);
    return w->rc;
}

static void *add_loop(void *sv)
{
    for (int i = 0; i < 2500; i++)
        kel_syncvar_add(sv, 1);
    return NULL;
}

static void *lower(void *sv)
{
    kel_syncvar_add(sv, -1);
    return NULL;
}

static void syncvars(void)
{
    struct waiter w[8];
    kel_syncvar_t *sv = kel_syncvar_alloc(5, 9);
    kel_check(kel_syncvar_get_target(sv) == 9);
    kel_check(kel_syncvar_add(sv, -6) == 0xFFFFFFFFu);
    kel_check(kel_syncvar_add(sv, 2) == 1);
    kel_check(kel_syncvar_or(sv, 0x11) == 0x11);
    kel_syncvar_reinit(sv, 2, 2);
    kel_check(kel_syncvar_wait(sv, 0) == 0 && kel_syncvar_wait(sv, 3600000) == 0);

    /* Counting towards 3, or bits towards 7: released by the last change. */
    for (int bits = 0; bits < 2; bits++) {
        kel_syncvar_reinit(sv, 0, bits ? 7 : 3);
        for (int i = 0; i < 3; i++)
            start_and_wait_asleep(&w[i], sv, 0);
        for (uint32_t i = 0; i < 3; i++) {
            kel_check(!done(&w[0]) && !done(&w[1]) && !done(&w[2]), "released early");
            kel_check((bits ? kel_syncvar_or(sv, 1u << i) : kel_syncvar_add(sv, 1)) == (bits ? (2u << i) - 1 : i + 1));
        }
        for (int i = 0; i < 3; i++)
            kel_check(join(&w[i]) == 0);
    }

    /* Passing the target without touching it releases nobody; a status of 0
     * is none; a status releases everyone and stays. */
    kel_syncvar_reinit(sv, 0, 3);
    start_and_wait_asleep(&w[0], sv, 0);
    kel_syncvar_add(sv, 1);
    kel_syncvar_add(sv, 2 - 1);
    kel_check(kel_syncvar_add(sv, 2) == 4);
    kel_check(kel_syncvar_wait(sv, 20) == ETIMEDOUT);
    kel_syncvar_notify(sv, 0);
    kel_check(kel_syncvar_wait(sv, 20) == ETIMEDOUT);
    kel_syncvar_notify(sv, 9);
    kel_check(join(&w[0]) == 9);
    kel_syncvar_add(sv, 1);
    kel_syncvar_reinit(sv, 0, 8);
    kel_check(kel_syncvar_wait(sv, 0) == 9);
    kel_syncvar_free(sv);

    /* A reinit at the target does not wake the waiter; the next change does. */
    sv = kel_syncvar_alloc(0, 5);
    start_and_wait_asleep(&w[0], sv, 0);
    kel_syncvar_reinit(sv, 3, 3);
    kel_check(kel_syncvar_wait(sv, 0) == 0);
    kel_check(!done(&w[0]), "reinit released a waiter");
    kel_check(kel_syncvar_add(sv, 0) == 3);
    kel_check(join(&w[0]) == 0);

    /* Eight waiters, four threads adding 2500 each. */
    kel_syncvar_reinit(sv, 0, 10000);
    pthread_t adders[4];
    for (int i = 0; i < 8; i++)
        start_and_wait_asleep(&w[i], sv, 0);
    for (int i = 0; i < 4; i++)
        pthread_create(&adders[i], NULL, add_loop, sv);
    for (int i = 0; i < 4; i++)
        pthread_join(adders[i], NULL);
    for (int i = 0; i < 8; i++)
        kel_check(join(&w[i]) == 0);
    kel_check(kel_syncvar_get_current(sv) == 10000);

    /* Up and down around the target, as a folder waits for its threads. */
    kel_syncvar_reinit(sv, 4, 0);
    for (int i = 0; i < 4; i++)
        pthread_create(&adders[i], NULL, lower, sv);
    kel_check(kel_syncvar_wait(sv, 0) == 0);
    for (int i = 0; i < 4; i++)
        pthread_join(adders[i], NULL);
    kel_syncvar_free(sv);
}

/* ---- the tree --------------------------------------------------------------- */

static kel_t *kel;

static kel_tc_t *multi(kel_tc_t *parent, const char *name, int count)
{
    kel_tc_t *f = kel_create_test_folder(kel, parent, name, name);
    kel_multi_task_enable(f);
    if (count)
        kel_multi_task_set_count(f, count);
    return f;
}

static kel_tc_t *tasks(kel_tc_t *parent, const char *name, kel_fn_t fn, int count, int seqs, uint32_t type)
{
    kel_tc_t *c = kel_create_test_case(kel, parent, name, name, fn, type ? type : KEL_TC_BASIC);
    if (count)
        kel_multi_task_set_count(c, count);
    if (seqs)
        kel_seq_set_count(c, seqs);
    return c;
}

int main(int argc, char **argv)
{
    run_thread = pthread_self();
    for (int i = 0; i < 8; i++)
        meet[i] = kel_syncvar_alloc(0, i == 0 ? 4 : 2);
    release = kel_syncvar_alloc(0, 1);
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *four = multi(NULL, "four", 0);
    kel_add_fixture(four, setup, teardown);
    tasks(four, "c", together, 4, 0, 0);
    tasks(multi(NULL, "one", 0), "c", count, 0, 0, 0);
    tasks(multi(multi(NULL, "outer", 0), "inner", 2), "leaf", nested, 3, 0, 0);
    tasks(multi(kel_create_test_folder(kel, NULL, "seq", ""), "sq", 0), "c", together, 2, 3, 0);

    kel_tc_t *p = kel_create_test_folder(kel, NULL, "perf", "");
    tasks(p, "perf", named, 0, 0, KEL_TC_PERF);
    tasks(multi(p, "mt", 0), "both", named, 0, 0, KEL_TC_BASIC | KEL_TC_PERF);
    tasks(multi(NULL, "repeat", 0), "c", repeat, 2, 0, 0);
    kel_tc_t *sched = kel_create_test_folder(kel, NULL, "sched", "");
    kel_set_option(tasks(multi(sched, "a", 0), "c", count, 3, 0, 0), 1);
    kel_tc_t *b = multi(sched, "b", 0);
    kel_set_option(b, 1);
    tasks(b, "d", count, 3, 0, 0);
    tasks(multi(NULL, "token", 0), "c", with_helpers, 3, 0, 0);
    tasks(multi(NULL, "where", 0), "c", where, 2, 4, 0);
    kel_tc_t *mp = kel_create_test_folder(kel, NULL, "mp", "");
    kel_multi_process_enable(mp);
    tasks(mp, "d", where, 2, 0, 0);
    tasks(multi(NULL, "load", 0), "c", count, 64, 5, 0);
    kel_tc_t *tf = kel_create_test_folder(kel, NULL, "tf", "");
    for (int i = 0; i < 8; i++) {
        char name[4] = {'l', (char)('0' + i), 0};
        tasks(tf, name, count, 0, 0, 0);
    }

    kel_tc_t *abp = kel_create_test_folder(kel, NULL, "ab", "");
    kel_tc_t *ab = multi(abp, "abort", 0);
    kel_add_fixture(ab, setup, teardown);
    tasks(ab, "c", asserts, 8, 0, 0);
    tasks(kel_create_test_folder(kel, abp, "after", ""), "never", count, 0, 0, 0);
    tasks(multi(NULL, "seqabort", 0), "c", asserts, 4, 3, 0);
    kel_tc_t *n = kel_create_test_folder(kel, NULL, "deep", "");
    kel_tc_t *inner = multi(multi(n, "outer", 0), "inner", 2);
    tasks(inner, "leaf", asserts, 4, 0, 0);
    /* What the assert abandons, on the run's thread and on the spawned
     * ones: the leak checkers must see it freed. */
    kel_add_fixture(n, fixture_var, NULL);
    kel_add_fixture(inner, cookie, NULL);
    tasks(n, "never", count, 0, 0, 0);
    tasks(kel_create_test_folder(kel, NULL, "sv", ""), "syncvars", syncvars, 0, 0, 0);

    if (getenv("THREADS_MEET"))
        kel_syncvar_reinit(meet[0], 0, (uint32_t)atoi(getenv("THREADS_MEET")));
    kel_run_code_t rc = kel_run(argc, argv, kel);
    print_notes();
    kel_destroy(&kel);
    for (int i = 0; i < 8; i++)
        kel_syncvar_free(meet[i]);
    kel_syncvar_free(release);
    return rc;
}

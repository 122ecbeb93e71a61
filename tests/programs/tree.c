/*
 * tree.c - the single-threaded test program of the golden scenarios: one tree
 * with every kind of node the listing marks and a folder per theme (outcomes,
 * fixtures, fixture variables and cookies, variables, checks from threads
 * given a token, performance). Test code prints what it sees, so the
 * transcript shows order and values. The path on the command line picks the
 * case. Environment:
 *   TREE_CLOCK=1      the clock stands still except where a body moves it,
 *                     so performance lines are exact;
 *   TREE_MISUSE=1     misused tree calls before the run (their warnings);
 *   TREE_OUTSIDE=1    every service called outside a test case first.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kel.h"

/* ---- a clock the test moves -------------------------------------------- */

static long long fake_ms = 1000;

__attribute__((visibility("default"))) int clock_gettime(clockid_t id, struct timespec *ts)
{
    static int (*real)(clockid_t, struct timespec *);
    if (getenv("TREE_CLOCK")) {
        ts->tv_sec = fake_ms / 1000;
        ts->tv_nsec = (fake_ms % 1000) * 1000000;
        return 0;
    }
    if (!real)
        *(void **)&real = dlsym(RTLD_NEXT, "clock_gettime");
    return real(id, ts);
}

/* ---- outcomes ------------------------------------------------------------ */

static void pass_one(void) { kel_check(1); }
static void pass_two(void) { kel_check(1); kel_check(2 > 1); }
static void fail_check(void) { int got = 5; kel_check(got == 6, "got %d", got); printf("not reached\n"); }
static void fail_plain(void) { kel_check(0); }
static void fail_assert(void) { kel_check(1); kel_assert(0 > 1, "stop the run"); }
static void xfail(void) { kel_expect_failure(); kel_check(0); }
static void xpass(void) { kel_expect_failure(); }
static void caught(void) { kel_expect_failure(); kel_catch_unexpected_success(); }
static void caught_fail(void) { kel_catch_unexpected_success(); kel_fail("boom"); }
static void early(void) { kel_check(1); kel_pass(); kel_check(0); }
static void many(void) { for (int i = 0; i < 10000; i++) kel_check(i >= 0); }
static void logged(void) { kel_log_error("bad value %d", 7); kel_check(kel_error_logged()); }
static void xlogged(void) { kel_expect_failure(); kel_log_error("not reported"); kel_check(0); }
static void debug_print(void) { kel_printf("debug only %d\n", kel_debug()); }
static void names(void) { printf("%s (%s)\n", kel_get_test_case_name(), kel_get_test_case_description()); }

static void read_vars(void)
{
    printf("color=%s days=%d flag=0x%X hex=%d oct=%d a=%s empty=%s y=%s z=%s\n",
           kel_get_str_var("color", NULL, "none"), kel_get_int_var("days", NULL, -1),
           (unsigned)kel_get_int_var("flag", NULL, 0), kel_get_int_var("hex", NULL, -1),
           kel_get_int_var("oct", NULL, -1), kel_get_str_var("a", NULL, "none"),
           kel_get_str_var("empty", NULL, "none"), kel_get_str_var("y", NULL, "no-y"),
           kel_get_str_var("z", NULL, "no-z"));
}

static void inject_vars(void)
{
    char list[520];
    memset(list, 'n', 200);
    list[200] = '=';
    memset(list + 201, 'v', 300);
    list[501] = '\0';
    kel_wb_inject_nvp(list);
    kel_wb_inject_nvp("late=9");
    kel_wb_inject_nvp("x=1 -fork_id 0"), kel_wb_inject_nvp("x=1\t-q"); /* both refused */
    list[128] = '\0'; /* the name: 128 of the 200 'n' */
    printf("late=%d long value of %zu characters x=%s\n", kel_get_int_var("late", NULL, 0),
           strlen(kel_get_str_var(list, NULL, "")), kel_get_str_var("x", NULL, "none"));
}

static void mandatory(void) { kel_get_int_var("count", "number of rounds", 0); printf("not reached\n"); }
static void numbers(void) { printf("run %u of %u\n", kel_get_repeat_run(), kel_get_repeat_times()); }

/* ---- fixtures: each prints its name ---------------------------------------- */

#define SAY(name, text) static void name(void) { printf("%s ", text); }
SAY(s1, "S1") SAY(t1, "T1") SAY(s2, "S2") SAY(t2, "T2") SAY(s3, "S3") SAY(t3, "T3") SAY(body, "B")
SAY(s_ok, "s0") SAY(t_ok, "t0") SAY(s_never, "s2") SAY(t_never, "t1") SAY(nothing, "")
static void s_fail(void) { printf("s1 "); kel_fail("setup broke"); }
static void s_assert(void) { printf("sa "); kel_assert(0 == 1, "setup asserts"); }
static void t_fail(void) { printf("t0 "); kel_check(0 == 1); }

/* ---- fixture variables and cookies ------------------------------------------ */

static int outer_value = 1, inner_value = 2;
static void set_outer(void) { kel_set("k", &outer_value); }
static void unset(void) { kel_set("k", NULL); }
static void set_inner(void) { kel_set("k", &inner_value); }
static void read_k(void) { printf("k=%d\n", *(int *)kel_get("k", true)); }
static void make_cookie(void) { ((int *)kel_create_cookie(64))[0] = 42; }
static void drop_cookie(void) { kel_destroy_cookie(); }
static void read_cookie(void) { int *c = kel_get_cookie(); printf("cookie=%d\n", c ? *c : -1); }
static void leave_var(void) { kel_set("left", &outer_value); }
static void set_twice(void) { kel_set("twice", &outer_value); kel_set("twice", &outer_value); }
static void missing(void) { kel_get("nothing", true); printf("not reached\n"); }

/* ---- checks from threads given the test's token ------------------------------ */

static void *token_checks(void *token)
{
    kel_set_thread_token(token);
    for (int i = 0; i < 100; i++)
        kel_check(i < 100);
    return NULL;
}

static void *token_fails(void *token)
{
    kel_set_thread_token(token);
    kel_check(token == NULL, "from helper thread");
    printf("not reached\n");
    return NULL;
}

static void *token_asserts(void *token)
{
    kel_set_thread_token(token);
    kel_assert(token == NULL, "helper asserts");
    printf("not reached\n");
    return NULL;
}

static void threads_of(void *(*fn)(void *), int n)
{
    pthread_t t[4];
    for (int i = 0; i < n; i++)
        pthread_create(&t[i], NULL, fn, kel_get_thread_token());
    for (int i = 0; i < n; i++)
        pthread_join(t[i], NULL);
    printf("joined %d\n", n);
}

static void tok_four(void) { threads_of(token_checks, 4); }
static void tok_fails(void) { threads_of(token_fails, 1); }
static void tok_asserts(void) { threads_of(token_asserts, 1); }

/* ---- performance ------------------------------------------------------------ */

static void perf_plain(void)
{
    kel_start_perf("copy");
    fake_ms += 250;
    kel_stop_perf("ops", 500);
    kel_start_perf("fast");
    fake_ms += 1;
    kel_stop_perf("ops", 500);
    kel_start_perf("idle");
    fake_ms += 10;
    kel_stop_perf("msgs", 0);
}

/* A reference sample and an alternative within, past and below its bound. */
static void pds(const char *set, int bound, uint64_t ref_ops, uint64_t alt_ops)
{
    kel_start_pds("ref", set, 0);
    fake_ms += 100;
    kel_stop_perf("ops", ref_ops);
    kel_start_pds("alt", set, bound);
    fake_ms += 100;
    kel_stop_perf("ops", alt_ops);
}

static void perf_sets(void)
{
    pds("within", 10, 1000, 1050);
    pds("over", 10, 1000, 1200);
    pds("below", -10, 1000, 800);
    pds("noref", 10, 0, 800);
    kel_start_pds("third", "within", 5);
    kel_stop_perf("ops", 1);
}

static void perf_misuse(void)
{
    kel_stop_perf("ops", 1);
    kel_start_perf(NULL);
    kel_stop_perf("ops", 1);
}

/* ---- the tree --------------------------------------------------------------- */

static kel_t *kel;

static kel_tc_t *folder(kel_tc_t *parent, const char *name, const char *desc)
{
    return kel_create_test_folder(kel, parent, name, desc);
}

static kel_tc_t *leaf(kel_tc_t *parent, const char *name, kel_fn_t fn, uint32_t type)
{
    return kel_create_test_case(kel, parent, name, name, fn, type ? type : KEL_TC_BASIC);
}

static void outside(void)
{
    kel_check(0);
    kel_log_error("x");
    /* One call a statement: the notices come in this order with every compiler. */
    int logged = kel_error_logged(), debug = kel_debug();
    printf("logged=%d debug=%d\n", logged, debug);
    kel_printf("hello %d\n", 5);
    kel_pass();
    kel_expect_failure();
    kel_catch_unexpected_success();
    const char *name = kel_get_test_case_name(), *desc = kel_get_test_case_description();
    printf("name=%s desc=%s\n", name, desc);
    int n = kel_get_int_var("n", NULL, 17);
    printf("n=%d task=%u node=%u token=%p\n", n, kel_get_task_number(), kel_get_node_num(), kel_get_thread_token());
    kel_start_perf("x");
    kel_set("k", NULL);
}

static void misuse(void)
{
    kel_tc_t *l = leaf(NULL, "slots", body, 0);
    kel_add_fixture(l, NULL, NULL);
    for (int i = 0; i < 9; i++)
        kel_add_fixture(l, i == 0 ? NULL : nothing, t_ok);
    kel_multi_process_enable(l);
    printf("\nnameless=%p\n", (void *)kel_create_test_case(kel, NULL, NULL, "", pass_one, KEL_TC_BASIC));
    kel_tc_t *b = folder(NULL, "counts", "Counts");
    kel_tc_t *c = leaf(b, "c", pass_one, 0);
    kel_seq_set_count(c, 0);
    kel_multi_task_set_count(c, 65537);
    kel_multi_task_enable(b);
    kel_multi_process_enable(b);
    kel_set_option(b, 3);
    kel_set_option(b, 2);
    leaf(NULL, "50%s", pass_one, 0);
}

int main(int argc, char **argv)
{
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *net = folder(NULL, "net", "Network tests");
    kel_multi_task_enable(net);
    kel_seq_set_count(net, 2);
    kel_multi_task_set_count(net, 4);
    leaf(net, "ping", pass_one, 0);
    leaf(folder(NULL, "folder10", "Tenth folder"), "t1", pass_one, 0);

    kel_tc_t *f = folder(NULL, "folder1", "First folder");
    leaf(f, "pass", pass_two, 0);
    leaf(f, "fail", fail_check, 0);
    leaf(f, "hidden", pass_one, KEL_TC_BASIC | KEL_TC_EXPLICIT);
    leaf(f, "Dup", names, 0);
    kel_create_test_case(kel, f, "dUP", "second twin", names, KEL_TC_BASIC);
    kel_tc_t *procs = folder(f, "procs", "Processes");
    kel_multi_process_enable(procs);
    kel_seq_set_count(leaf(procs, "child_with_long_name", pass_one, 0), 3);
    leaf(folder(f, "sub", "Sub folder"), "deep", pass_one, 0);

    kel_tc_t *misc = folder(NULL, "misc", "Miscellaneous");
    leaf(misc, "vars", read_vars, 0);
    leaf(misc, "inject", inject_vars, 0);
    leaf(misc, "mandatory", mandatory, 0);
    leaf(misc, "numbers", numbers, 0);
    leaf(misc, "debug", debug_print, 0);
    leaf(misc, "perf", perf_plain, KEL_TC_PERF);
    /* What an assert abandons is freed: the leak checkers see no block. */
    kel_tc_t *as = leaf(misc, "assert", fail_assert, KEL_TC_BASIC | KEL_TC_EXPLICIT);
    kel_add_fixture(as, set_outer, NULL);

    kel_tc_t *g = folder(NULL, "outcomes", "Every outcome of a test case");
    leaf(g, "xfail", xfail, 0);
    leaf(g, "xpass", xpass, 0);
    leaf(g, "caught", caught, 0);
    leaf(g, "cfail", caught_fail, 0);
    leaf(g, "early", early, 0);
    leaf(g, "many", many, 0);
    leaf(g, "log", logged, 0);
    leaf(g, "xlog", xlogged, 0);

    kel_tc_t *fx = folder(NULL, "fixtures", "Fixtures");
    kel_tc_t *o = folder(fx, "outer", "");
    kel_tc_t *m = folder(o, "mid", "");
    kel_tc_t *i = folder(m, "inner", "");
    kel_add_fixture(o, s1, t1);
    kel_add_fixture(m, s2, t2);
    kel_add_fixture(i, s3, t3);
    leaf(i, "b1", body, 0);
    leaf(i, "b2", body, 0);
    kel_tc_t *l = leaf(fx, "setup_fails", body, 0);
    kel_add_fixture(l, s_ok, t_fail);
    kel_add_fixture(l, s_fail, t_never);
    kel_add_fixture(l, s_never, t_never);
    kel_tc_t *fold = folder(fx, "folder_setup_fails", "");
    kel_add_fixture(fold, s_fail, NULL);
    leaf(fold, "never", body, 0);
    kel_add_fixture(leaf(fx, "both_fail", fail_plain, 0), NULL, t_fail);
    kel_tc_t *sa = folder(fx, "setup_asserts", "");
    kel_add_fixture(sa, s_ok, t_ok);
    kel_add_fixture(sa, set_outer, unset);
    kel_add_fixture(sa, make_cookie, drop_cookie);
    kel_add_fixture(leaf(sa, "leaf", body, 0), s_assert, t_never);
    leaf(sa, "never", body, 0);

    kel_tc_t *fv = folder(NULL, "fvars", "Fixture variables and cookies");
    kel_tc_t *fo = folder(fv, "outer", "");
    kel_add_fixture(fo, set_outer, unset);
    kel_add_fixture(fo, make_cookie, drop_cookie);
    leaf(fo, "read", read_k, 0);
    leaf(fo, "cookie", read_cookie, 0);
    kel_tc_t *fi = folder(fo, "in", "");
    kel_add_fixture(fi, set_inner, unset);
    leaf(fi, "read", read_k, 0);
    kel_tc_t *c = folder(fv, "c", "");
    kel_add_fixture(c, make_cookie, drop_cookie);
    leaf(c, "destroy", drop_cookie, 0);
    leaf(c, "after", read_cookie, 0);
    kel_tc_t *leaky = leaf(fv, "leaky", pass_one, 0);
    kel_add_fixture(leaky, leave_var, NULL);
    kel_add_fixture(leaky, make_cookie, NULL); /* the check must free the cookie */
    kel_tc_t *v = folder(fv, "v", "");
    leaf(v, "leak", leave_var, 0);
    leaf(v, "twice", set_twice, 0);
    leaf(v, "missing", missing, 0);

    kel_tc_t *t = folder(NULL, "token", "Checks from threads given a token");
    leaf(t, "four", tok_four, 0);
    leaf(t, "fails", tok_fails, 0);
    leaf(t, "next", pass_one, 0);
    leaf(t, "asserts", tok_asserts, KEL_TC_BASIC | KEL_TC_EXPLICIT);

    kel_tc_t *p = folder(NULL, "perf", "Performance");
    leaf(p, "sets", perf_sets, KEL_TC_PERF);
    leaf(p, "misuse", perf_misuse, KEL_TC_PERF);

    if (getenv("TREE_MISUSE"))
        misuse();
    if (getenv("TREE_OUTSIDE"))
        outside();
    kel_run_code_t rc = kel_run(argc, argv, kel);
    kel_destroy(&kel);
    return rc;
}

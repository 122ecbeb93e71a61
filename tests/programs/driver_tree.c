/*
 * driver_tree.c - a test program for the run driver's golden tests: a tree
 * with every kind of node the listing marks, passing and failing leaves,
 * an explicit-only leaf, a performance leaf and a test that reads -D
 * variables. Its behaviour is chosen by the path on the command line.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kel.h"

static void pass_one(void) { kel_check(1); }

static void pass_two(void)
{
    kel_check(1);
    kel_check(2);
}

static void fail_check(void)
{
    int got = 5;
    kel_check(got == 6, "got %d", got);
}

static void fail_assert(void) { kel_assert(0 > 1, "stop the run"); }

static void read_vars(void)
{
    printf("color=%s days=%d flag=0x%X\n", kel_get_str_var("color", NULL, "none"),
           kel_get_int_var("days", NULL, -1), (unsigned)kel_get_int_var("flag", NULL, 0));
}

static void print_numbers(void)
{
    printf("run %u of %u\n", kel_get_repeat_run(), kel_get_repeat_times());
}

static void perf_leaf(void)
{
    kel_start_perf("nothing");
    kel_stop_perf("ops", 0);
}

int main(int argc, char **argv)
{
    kel_t *kel = NULL;
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *net = kel_create_test_folder(kel, NULL, "net", "Network tests");
    kel_multi_task_enable(net);
    kel_seq_set_count(net, 2);
    kel_multi_task_set_count(net, 4);
    kel_create_test_case(kel, net, "ping", "Ping", pass_one, KEL_TC_BASIC);

    kel_tc_t *f = kel_create_test_folder(kel, NULL, "folder1", "First folder");
    kel_create_test_case(kel, f, "pass", "Passes", pass_two, KEL_TC_BASIC);
    kel_create_test_case(kel, f, "fail", "Fails", fail_check, KEL_TC_BASIC);
    kel_create_test_case(kel, f, "hidden", "Explicit only", pass_one, KEL_TC_BASIC | KEL_TC_EXPLICIT);
    kel_tc_t *procs = kel_create_test_folder(kel, f, "procs", "Processes");
    kel_multi_process_enable(procs);
    kel_tc_t *child = kel_create_test_case(kel, procs, "child_with_long_name", "Long name", pass_one,
                                           KEL_TC_BASIC);
    kel_seq_set_count(child, 3);

    kel_tc_t *misc = kel_create_test_folder(kel, NULL, "misc", "Miscellaneous");
    kel_create_test_case(kel, misc, "vars", "Reads variables", read_vars, KEL_TC_BASIC);
    kel_create_test_case(kel, misc, "numbers", "Repeat numbers", print_numbers, KEL_TC_BASIC);
    kel_create_test_case(kel, misc, "perf", "Performance", perf_leaf, KEL_TC_PERF);
    kel_create_test_case(kel, misc, "assert", "Asserts", fail_assert, KEL_TC_BASIC | KEL_TC_EXPLICIT);

    kel_run_code_t rc = kel_run(argc, argv, kel);
    kel_destroy(&kel);
    return rc;
}

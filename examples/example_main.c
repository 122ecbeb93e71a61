/*
 * example_main.c - a first kel test program: builds a small tree and runs
 * it with the command line it was given.
 */
#include <stdio.h>

#include "kel.h"

static void test_ok(void)
{
    kel_check(1 + 1 == 2);
}

int main(int argc, char **argv)
{
    kel_t *kel = NULL;
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *basics = kel_create_test_folder(kel, NULL, "basics", "Basic checks");
    kel_create_test_case(kel, basics, "ok", "One passing check", test_ok, KEL_TC_BASIC);
    kel_run_code_t rc = kel_run(argc, argv, kel);
    kel_destroy(&kel);
    return rc;
}

/*
 * driver_twice.cpp - a C++ test program that runs its tree twice with
 * different command lines on one instance, as a test program may.
 */
#include <cstdio>

#include "kel.h"

namespace {

void counted() { kel_check(kel_get_int_var("n", nullptr, 0) > 0, "n is %d", kel_get_int_var("n", nullptr, 0)); }

} // namespace

int main(int argc, char **argv)
{
    (void)argc;
    kel_t *kel = nullptr;
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *f = kel_create_test_folder(kel, nullptr, "f", "F");
    kel_create_test_case(kel, f, "counted", "Needs n", counted, KEL_TC_BASIC);

    char prog[] = "twice", opt_d[] = "-D", list[] = "n=3", path[] = "f", quiet[] = "-q";
    char *first[] = {prog, opt_d, list, path, nullptr};
    char *second[] = {prog, quiet, path, nullptr};
    int rc1 = kel_run(4, first, kel);
    int rc2 = kel_run(3, second, kel);
    std::printf("first: %s\nsecond: %s\n", kel_run_code_to_str(rc1), kel_run_code_to_str(rc2));
    kel_destroy(&kel);
    (void)argv;
    return rc1 * 10 + rc2;
}

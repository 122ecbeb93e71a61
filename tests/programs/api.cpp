/*
 * api.cpp - a C++ test program that calls kel_run itself: twice on one
 * instance with different command lines (what carries over between calls),
 * and with argument vectors a command line cannot give (none, blanks only,
 * no program name, more tokens than are kept), printing each run code. The
 * first argument picks the case.
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "kel.h"

namespace {

void counted() { kel_check(kel_get_int_var("n", nullptr, 0) > 0, "n is %d", kel_get_int_var("n", nullptr, 0)); }
void words() { std::printf("ran %s\n", kel_get_test_case_name()); }

int run(kel_t *kel, std::initializer_list<const char *> words, int argc = -1)
{
    std::string copies[20];
    char *argv[20] = {};
    int n = 0;
    for (const char *w : words) {
        if (w)
            copies[n] = w;
        argv[n] = w ? copies[n].data() : nullptr;
        n++;
    }
    int rc = kel_run(argc < 0 ? n : argc, argv, kel);
    std::printf("=> %d %s\n", rc, kel_run_code_to_str(rc));
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    kel_t *kel = nullptr;
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *f = kel_create_test_folder(kel, nullptr, "f", "F");
    kel_create_test_case(kel, f, "counted", "Needs n", counted, KEL_TC_BASIC);
    kel_create_test_case(kel, f, "w16", "Token sixteen", words, KEL_TC_BASIC);
    kel_create_test_case(kel, f, std::string(256, 'x').c_str(), "Long name", words, KEL_TC_BASIC);

    const char *mode = argc > 1 ? argv[1] : "";
    int rc = 0;
    if (std::strcmp(mode, "twice") == 0) {
        /* -D lasts one run; -q and -s stay with the instance. */
        rc = run(kel, {"twice", "-D", "n=3", "f", "counted"}) * 10;
        rc += run(kel, {"twice", "-q", "-s", "f counted"});
        run(kel, {"twice", "-D", "n=1", "f", "counted"});
    } else if (std::strcmp(mode, "vectors") == 0) {
        run(kel, {"prog"}, 0);
        run(kel, {nullptr}, 1);
        run(kel, {"", "   ", nullptr});
        std::printf("%d\n", kel_run(1, nullptr, kel));
        std::printf("%d\n", kel_run(1, nullptr, nullptr));
        /* No program name: the first word is taken as one. */
        run(kel, {nullptr, "", "prog -q", "f w16"});
        /* Only argc elements are read; 16 tokens are kept, the rest cut. */
        run(kel, {"p -q f", "w16", "junk"}, 2);
        run(kel, {"p -q -q -q -q -q -q -q -q -q -q -q -q -q f w16", "junk"});
        /* A word of 300 characters keeps 256 and matches a 256-character name. */
        run(kel, {"p", "-q", "f", std::string(300, 'x').c_str()});
        std::printf("%u\n", kel_create(nullptr));
    }
    kel_destroy(&kel);
    kel_destroy(&kel);
    kel_destroy(nullptr);
    return rc;
}

/*
 * tiny.c - the smallest program built against an installed libkel: it
 * includes kel.h alone, links with what pkg-config or find_package(kel)
 * gives, and is also compiled as C++ to show that kel.h is valid C++.
 */
#include <kel.h>

#include <stdio.h>

int main(void)
{
    kel_t *kel = NULL;
    uint32_t rc = kel_create(&kel);
    if (rc != 0 || kel == NULL) {
        fprintf(stderr, "kel_create failed: %u\n", (unsigned)rc);
        return 1;
    }
    kel_destroy(&kel);
    if (kel != NULL) {
        fprintf(stderr, "kel_destroy left the pointer set\n");
        return 1;
    }
    printf("kel_create and kel_destroy: ok; run code 0: %s\n", kel_run_code_to_str(KEL_RC_SUCCESS));
    return 0;
}

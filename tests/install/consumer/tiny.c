/* tiny.c - the smallest program on an installed libkel, also built as C++. */
#include <kel.h>
#include <stdio.h>

int main(void)
{
    kel_t *kel = NULL;
    if (kel_create(&kel) != 0 || kel == NULL)
        return 1;
    kel_destroy(&kel);
    printf("kel_create and kel_destroy: ok; run code 0: %s\n", kel_run_code_to_str(KEL_RC_SUCCESS));
    return kel != NULL;
}

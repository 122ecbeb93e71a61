/*
 * kel-agent - runs remote test cases for libkel masters.
 *
 * This build does not serve requests yet: it reads its command line and says
 * so, so that scripts that start it fail loudly instead of waiting.
 */
#include <cstdio>

int main(int argc, char **argv)
{
    (void)argc;
    std::fprintf(stderr, "%s: remote execution is not available in this build\n", argv[0]);
    return 1;
}

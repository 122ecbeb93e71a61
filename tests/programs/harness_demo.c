/*
 * harness_demo.c - a stand-in test program for the golden harness's own
 * tests.
 *
 * It does not use the framework: each argument is an action, done in order,
 * so a test composes what it needs (text with a pid, an elapsed time and a
 * pointer; a given exit code; a crash; a hang with a grandchild; lines
 * without a final line feed; floods on both output streams).
 */
#define _POSIX_C_SOURCE 200809L

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Never mapped: the first page of the address space. Read through a volatile
 * pointer so that the compiler cannot see the fault coming. */
static int *volatile bad_address = (int *)(uintptr_t)16;

static unsigned long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (unsigned long long)ts.tv_sec * 1000u + (unsigned long long)ts.tv_nsec / 1000000u;
}

static void print_report(unsigned long long start)
{
    int local = 0;
    printf("Harness demo pid=%d\n", (int)getpid());
    printf("object at %p\n", (void *)&local);
    printf("     ##### Process %d terminated by signal\n", (int)getpid());
    printf("segment kel_res.%d.%d\n", (int)getpid(), 0);
    printf("Elapsed time = %llu ms\n", now_ms() - start);
}

static void flood(FILE *f, long bytes, char c)
{
    char line[64];
    memset(line, c, sizeof line - 1);
    line[sizeof line - 1] = '\n';
    for (long done = 0; done < bytes; done += (long)sizeof line)
        fwrite(line, 1, sizeof line, f);
    fflush(f);
}

/* The child and its grandchild wait to be killed; the grandchild holds the
 * output pipes too, so the harness sees the end only once both are gone. */
static void hang(void)
{
    fflush(stdout);
    pid_t grandchild = fork();
    if (grandchild == 0) {
        for (;;)
            pause();
    }
    printf("hanging pid=%d grandchild=%d\n", (int)getpid(), (int)grandchild);
    fflush(stdout);
    for (;;)
        pause();
}

int main(int argc, char **argv)
{
    unsigned long long start = now_ms();
    for (int i = 1; i < argc; i++) {
        const char *action = argv[i];
        const char *arg = i + 1 < argc ? argv[i + 1] : "";
        if (strcmp(action, "print") == 0) {
            print_report(start);
        } else if (strcmp(action, "echo") == 0) {
            printf("%s\n", arg);
            i++;
        } else if (strcmp(action, "nonl") == 0) {
            printf("Test case one ... ");
            printf("PASSED\nno line feed at the end");
        } else if (strcmp(action, "env") == 0) {
            const char *value = getenv(arg);
            printf("%s=%s\n", arg, value ? value : "<unset>");
            i++;
        } else if (strcmp(action, "stderr") == 0) {
            fprintf(stderr, "%s\n", arg);
            i++;
        } else if (strcmp(action, "flood") == 0) {
            long bytes = atol(arg);
            flood(stderr, bytes, 'e');
            flood(stdout, bytes, 'o');
            i++;
        } else if (strcmp(action, "exit") == 0) {
            fflush(stdout);
            exit(atoi(arg));
        } else if (strcmp(action, "segv") == 0) {
            fflush(stdout);
            *bad_address = 1;
        } else if (strcmp(action, "hang") == 0) {
            hang();
        } else {
            fprintf(stderr, "unknown action %s\n", action);
            return 2;
        }
    }
    return 0;
}

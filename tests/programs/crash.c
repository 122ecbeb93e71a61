/*
 * crash.c - the in-process crash program of the golden scenarios: each leaf
 * ends the run's own process while it runs, by a fatal signal (a fault, a
 * raised signal, abort, a stack overflow on the run's thread or on a
 * spawned one) or by exit(). Every leaf first prints a line that stdout
 * still holds when the process ends. The multi-process folder mp has a
 * slave that is killed outright, and one that passes. Environment:
 *   CRASH_AFTER_RUN  main crashes once kel_run has returned, when nothing
 *                    of the run watches;
 *   CRASH_FSIZE      a file-size limit of 1 KiB, below a results segment.
 */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include "kel.h"

/* Read at run time, so that the compiler sees neither the bad address nor
 * the endless recursion. */
static volatile uintptr_t bad_address = 16;
static volatile int step = 1;

static void say(void)
{
    printf("printed by the test case\n");
    kel_check(1);
}

static int recurse(int n)
{
    volatile char pad[512];
    pad[0] = (char)n;
    if (n == 0)
        return 0;
    return recurse(n + step) + pad[0];
}

static void segv(void) { say(); *(volatile int *)bad_address = 1; }
static void abrt(void) { say(); abort(); }
static void fpe(void) { say(); raise(SIGFPE); }
static void ill(void) { say(); raise(SIGILL); }
static void bus(void) { say(); raise(SIGBUS); }
static void stack(void) { say(); recurse(1); }
static void pass(void) { say(); }
static void exit0(void) { say(); exit(0); }
static void exit7(void) { say(); exit(7); }
/* Killed, it cannot write out what it holds: only what it flushed shows. */
static void log_kill(void)
{
    kel_log_error("before the kill");
    raise(SIGKILL);
}

static kel_t *kel;

static void leaf(kel_tc_t *parent, const char *name, kel_fn_t fn)
{
    if (!kel_create_test_case(kel, parent, name, name, fn, KEL_TC_BASIC))
        exit(1);
}

static kel_tc_t *folder(const char *name)
{
    kel_tc_t *f = kel_create_test_folder(kel, NULL, name, name);
    if (!f)
        exit(1);
    return f;
}

int main(int argc, char **argv)
{
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *sig = folder("signals");
    leaf(sig, "segv", segv);
    leaf(sig, "abort", abrt);
    leaf(sig, "fpe", fpe);
    leaf(sig, "ill", ill);
    leaf(sig, "bus", bus);
    leaf(sig, "stack", stack);
    kel_tc_t *mt = folder("mt");
    kel_multi_task_enable(mt);
    leaf(mt, "stack", stack);
    leaf(mt, "exit7", exit7);
    kel_tc_t *ex = folder("exits");
    leaf(ex, "pass", pass);
    leaf(ex, "exit0", exit0);
    leaf(ex, "exit7", exit7);
    kel_tc_t *mp = folder("mp");
    kel_multi_process_enable(mp);
    leaf(mp, "pass", pass);
    leaf(mp, "logkill", log_kill);

    struct rlimit fsize = {1024, RLIM_INFINITY};
    if (getenv("CRASH_FSIZE") && setrlimit(RLIMIT_FSIZE, &fsize) != 0)
        return 1;

    int rc = kel_run(argc, argv, kel);
    if (getenv("CRASH_AFTER_RUN"))
        raise(SIGSEGV);
    kel_destroy(&kel);
    return rc;
}

/*
 * crash.h - a test case that ends the run's process: fatal signals and
 * exit().
 */
#ifndef KEL_CRASH_H
#define KEL_CRASH_H

#include <signal.h>

#include "kel_types.h"

/* An alternate signal stack lent to one thread for the length of a run, so
 * that a stack overflow still reaches the fatal-signal handler. */
typedef struct kel_altstack_s {
    stack_t previous;            /* the thread's stack before, restored */
    void *memory;                /* ours; NULL when the thread had one */
} kel_altstack_t;

/* Gives the calling thread an alternate signal stack unless it has one;
 * without memory it goes on without. Pop on the same thread. */
void kel__altstack_push(kel_altstack_t *s);
void kel__altstack_pop(kel_altstack_t *s);

/* kel_run's guard: the first call installs the fatal-signal handlers
 * (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) and, once per process, the
 * exit handler; the matching last disarm puts the previous actions back.
 * Calls nest and may overlap on several threads. The alternate stack is
 * the calling thread's. The handler writes what stdout still holds and
 * unlinks the open results segments; in a master whose run is under way
 * (run_end.h) it adds a line naming the calling thread's test case and the
 * signal; then it ends the process by the signal's default action. */
void kel__crash_guard_arm(kel_altstack_t *stack);
void kel__crash_guard_disarm(kel_altstack_t *stack);

#endif

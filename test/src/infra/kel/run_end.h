/*
 * run_end.h - ending a run before the run driver reaches its end.
 */
#ifndef KEL_RUN_END_H
#define KEL_RUN_END_H

#include "kel_types.h"

/* The instance whose kel_run is running in this process, or NULL. kel_run
 * sets it for the length of the call so that paths that do not come through
 * the driver (an exit handler, a watchdog, a signal) can find the run. */
void kel__running_set(kel_t *kel);
kel_t *kel__running(void);

/* Ends the process with code after printing what the end of a master run
 * prints (the failed tests, SUMMARY, the counts and, when verbose, the
 * elapsed time), with the totals reached so far, and flushing stdout. Only
 * one caller ends the process: a second one waits for the first to do it.
 * Not for signal handlers: it uses stdio. */
[[noreturn]] void kel__end_run_now(kel_t *kel, int code);

#endif

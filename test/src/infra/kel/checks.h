/*
 * checks.h - leaving a failed phase or run.
 */
#ifndef KEL_CHECKS_H
#define KEL_CHECKS_H

#include "kel_types.h"

/* Ends the phase of ctx after a failure (or the whole run when abort_run),
 * from whichever thread the failure was raised on. Never returns. */
__attribute__((noreturn)) void kel__fail_jump(kel_tctx_t *ctx, bool abort_run);

/* A failed checkpoint raised by the framework itself where the caller
 * cannot go on (a missing mandatory variable, a misused fixture variable or
 * cookie, no memory for a data set): fails the running phase as kel_check__
 * does with a failed check, and never returns; without a test context it
 * prints the notice and aborts the process. */
[[noreturn]] void kel__die(const char *condition, const char *file, const char *function, int line,
                           const char *format, ...) __attribute__((format(printf, 5, 6)));

#endif

/*
 * checks.h - leaving a failed phase or run.
 */
#ifndef KEL_CHECKS_H
#define KEL_CHECKS_H

#include "kel_types.h"

/* Ends the phase of ctx after a failure (or the whole run when abort_run),
 * from whichever thread the failure was raised on. Never returns. */
__attribute__((noreturn)) void kel__fail_jump(kel_tctx_t *ctx, bool abort_run);

#endif

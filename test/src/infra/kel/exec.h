/*
 * exec.h - the test-case executor and the thread-specific test context.
 */
#ifndef KEL_EXEC_H
#define KEL_EXEC_H

#include "kel_types.h"

/* Runs node completely (fixtures, body or selected children, outcome) and
 * updates the instance's counters. */
void kel_exec_tc(kel_tctx_t *parent, kel_tc_t *tc, uint32_t type_mask, uint32_t seq, uint32_t task);
void kel_exec_setup(kel_tc_t *tc, kel_tctx_t *ctx);
void kel_exec_teardown(kel_tc_t *tc, kel_tctx_t *ctx);

/* The thread-specific key under which each thread's context is published.
 * kel_run acquires it before its first run and releases it after the last;
 * outside any run every thread reads NULL. */
int kel__key_acquire(void);
void kel__key_release(void);
kel_tctx_t *kel__tctx_get(void);
int kel__tctx_set(kel_tctx_t *ctx);
/* The calling thread's context; without one, prints the kel-enabled notice
 * naming service and returns NULL. */
kel_tctx_t *kel__tctx_or_notice(const char *service);

/* True once an assert has ended the run (set from any thread). */
bool kel__run_aborted(const kel_t *kel);

#endif

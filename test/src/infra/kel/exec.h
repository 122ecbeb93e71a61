/*
 * exec.h - the test-case executor. The per-thread context registry it
 * publishes contexts in is context.h.
 */
#ifndef KEL_EXEC_H
#define KEL_EXEC_H

#include "kel_types.h"

/* Runs node completely (fixtures, body or selected children, outcome) and
 * updates the instance's counters. */
void kel_exec_tc(kel_tctx_t *parent, kel_tc_t *tc, uint32_t type_mask, uint32_t seq, uint32_t task);

/* True once an assert has ended the run (set from any thread). */
bool kel__run_aborted(const kel_t *kel);

#endif

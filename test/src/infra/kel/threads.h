/*
 * threads.h - running the children of multi-task, multi-process and -T
 * folders on spawned test threads and sequencers.
 */
#ifndef KEL_THREADS_H
#define KEL_THREADS_H

#include "kel_types.h"

/* Runs the selected children of the multi folder whose context is ctx and
 * returns when all of them have ended. */
void kel__exec_multi_children(kel_tctx_t *ctx, uint32_t mask);

/* Thread count of a child: -T count, else multi count, else 1. */
uint32_t kel__child_threads(const kel_tc_t *tc);

#endif

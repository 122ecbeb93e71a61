/*
 * slave.h - running a test case in a slave process, and the folder's
 * results segment.
 */
#ifndef KEL_SLAVE_H
#define KEL_SLAVE_H

#include "kel_types.h"

/* Opens the results segment of the multi folder whose context is folder_ctx
 * (one slot per local task of its selected children). Prints the failure and
 * leaves res->base NULL when it cannot; callers try again before the next
 * child. */
void kel__res_open(kel_res_shm_t *res, kel_tctx_t *folder_ctx);
/* Closes and unlinks the segment if it was opened. */
void kel__res_close(kel_res_shm_t *res);
/* Unlinks every results segment this process holds open, for a process
 * that is about to die under them. Async-signal-safe. */
void kel__res_unlink_open(void);
/* Runs the record's test case in a slave process: start, wait, fold. Called
 * on the spawned test thread of a master. A slave that leaves no result
 * counts as one test case executed and failed. */
void kel_fork_exec_tc(spawn_info *info);

#endif

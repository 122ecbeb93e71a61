/*
 * slave.h - running a test case in a slave process (or, for a remote child,
 * through the agent of its node) and the folder's results segment.
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
/* Runs the record's test case out of process and folds its outcome into the
 * instance. Called on the spawned test thread. */
void kel_fork_exec_tc(spawn_info *info);
/* Queues a reported failure record (local 0) for the summary. Takes summary
 * (a heap copy of a packed failure list of summary_len bytes); on failure
 * prints the allocation error and frees it. pid is the slave's, 0 for a
 * remote process, whose node is then given. */
void keep_failed_test_info_forked(kel_t *kel, uint32_t proc, int32_t pid, kel_node_id_t node, char *summary,
                                  uint32_t summary_len);

#endif

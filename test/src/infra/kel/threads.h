/*
 * threads.h - running the children of multi-task, multi-process and -T
 * folders on spawned test threads and sequencers.
 *
 * A multi folder starts every task of every selected child at once, each on
 * its own detached "KEL Spawned Test" thread; a child with a sequence count
 * gets a "KEL Test Sequencer" thread that starts the tasks of one iteration
 * at a time. The folder counts what it started on a sync variable and does
 * not return before all of it has ended.
 */
#ifndef KEL_THREADS_H
#define KEL_THREADS_H

#include "kel_types.h"

/* Runs the selected children of the multi folder whose context is ctx and
 * returns when every thread it started has ended and the folder's results
 * segment is closed. Starts nothing once the run is aborted. */
void kel__exec_multi_children(kel_tctx_t *ctx, uint32_t mask);

/* Starts one spawned test thread per task of tc (tasks 1..thread count,
 * slots base..), each with sequence number seq. Raises done by the whole
 * count first; each thread lowers it by one as it ends, and threads that
 * could not be started are taken off again here. Returns 0, or ENOMEM / the
 * thread creation code of the first thread that was not started. */
uint32_t kel_spawn_tc_threads(kel_tc_t *tc, kel_tctx_t *parent, uint32_t seq, kel_res_shm_t *res,
                              uint32_t base, kel_syncvar_t *done);

/* Body of a "KEL Spawned Test" thread; arg is a spawn_info it owns. Runs
 * the record's test case here or, when its folder asks for processes, in a
 * slave (slave.h) or on its remote node (remote.h); a slave starts none. */
void *kel_spawned_tc_thread(void *arg);

/* Body of a "KEL Test Sequencer" thread; arg is a spawn_info it owns whose
 * seq is the sequence count. Runs the iterations one after the other. */
void *kel_spawned_tc_sequencer(void *arg);

#endif

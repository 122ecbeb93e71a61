/*
 * threads.cpp - the fan-out of multi folders: spawned test threads,
 * sequencers, and the counting by which a folder waits for them.
 *
 * The count of threads is added to the waited-on counter before the first
 * of them exists, so the folder can never see it back at zero too early, and
 * every thread, whatever happened to its test case, lowers it as its last
 * act on shared state. A failed assert on a spawned thread therefore ends
 * the run without a hang: that thread leaves its test case (the executor
 * sees the context aborting), lowers the counter like any other; nothing
 * new is started once the run is marked aborted; the folder's wait returns
 * when the threads already running have finished, and only then does the
 * run's own thread leave the run.
 *
 * Spawn records are owned by the thread that receives them (or freed here
 * when its thread cannot be made). The folder's context, which the threads
 * use as their parent, lives on the folder's stack and outlives them all.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "crash.h"
#include "exec.h"
#include "failure.h"
#include "messages.h"
#include "remote.h"
#include "run_records.h"
#include "slave.h"
#include "threads.h"
#include "tree.h"

namespace {

/* The run's record of a test that could not be started (its "KEL: ..."
 * line): not run, not counted. task 0: none, or all the tasks. */
void not_started(const kel_tc_t *tc, uint32_t task, uint32_t seq, int code, const char *what)
{
    kel__run_record(tc->instance, {KEL_REC_NOT_STARTED, tc, task, seq, 0, 0, code, what});
}

spawn_info *new_spawn_info(kel_tctx_t *parent, kel_tc_t *tc, kel_syncvar_t *done, uint32_t seq,
                           kel_res_shm_t *res)
{
    spawn_info *info = static_cast<spawn_info *>(calloc(1, sizeof *info));
    if (!info)
        return NULL;
    info->parent = parent;
    info->tc = tc;
    info->done = done;
    info->seq = seq;
    info->res = res;
    return info;
}

/* The last thing a spawned thread or sequencer does before it returns:
 * after this add the folder may return and its context and counter may be
 * gone. The thread ends by returning, not by pthread_exit, which would load
 * the unwinder on its first use, when memory may be short. */
void *end_spawned(spawn_info *info)
{
    kel_syncvar_t *done = info->done;
    free(info);
    kel_syncvar_add(done, -1);
    return NULL;
}

/* A child with a sequence count: one sequencer thread runs its iterations.
 * The folder's counter holds the sequencer while it lives. */
void start_sequencer(kel_tctx_t *ctx, kel_tc_t *child, uint32_t n, kel_res_shm_t *res, uint32_t base,
                     kel_syncvar_t *done)
{
    spawn_info *info = new_spawn_info(ctx, child, done, n, res);
    if (!info) {
        printf(KEL_MSG_SEQ_INFO_ALLOC);
        not_started(child, 0, 0, ENOMEM, KEL_REC_WHAT_SPAWN_RECORD);
        return;
    }
    info->slot = base;
    kel_syncvar_add(done, 1);
    orv_thread_t id;
    uint32_t rc = orv_thread_create(&id, NULL, kel_spawned_tc_sequencer, info, KEL_THREAD_NAME_SEQUENCER);
    if (rc != 0) {
        free(info);
        kel_syncvar_add(done, -1);
        printf(KEL_FMT_SEQ_CREATE, static_cast<int>(rc));
        not_started(child, 0, 0, static_cast<int>(rc), KEL_REC_WHAT_SEQUENCER);
    }
}

/* Whether the spawned test case runs in a slave process (or on its remote
 * node) rather than on the spawned thread. */
bool runs_out_of_process(const kel_tc_t *folder)
{
    const kel_t *kel = folder->instance;
    if ((folder->flags & KEL_TCF_TARGET) && kel->cfg.process_mode)
        return true;
    return kel__tc_mode(folder) == KEL_TCF_MULTI_PROCESS;
}

/* A slave starts no slaves of its own; a remote child goes to its node's
 * agent, any other to a local slave. Nothing new starts once an assert has
 * ended the run. A process started as a slave but run as a master (its
 * program did not pass its own command line to kel_run) would start
 * masters for ever: it refuses, and counts the child failed. */
void exec_out_of_process(spawn_info *info)
{
    kel_t *kel = info->tc->instance;
    if (kel__run_aborted(kel))
        return;
    if (kel->cfg.fork_id != 0) {
        printf(KEL_MSG_SLAVE_NESTED);
    } else if (kel->run.slave_mark) {
        flockfile(stdout);
        printf(KEL_MSG_SLAVE_NESTED);
        printf(KEL_MSG_SLAVE_FAILED);
        funlockfile(stdout);
        kel__count_lost_child(kel, {KEL_REC_SLAVE_NOT_STARTED, info->tc, info->task, info->seq, 0, 0, 0, NULL});
    } else if (info->tc->flags & KEL_TCF_REMOTE)
        kel__remote_exec_tc(info);
    else
        kel_fork_exec_tc(info);
}

} // namespace

uint32_t kel_spawn_tc_threads(kel_tc_t *tc, kel_tctx_t *parent, uint32_t seq, kel_res_shm_t *res,
                              uint32_t base, kel_syncvar_t *done)
{
    kel_t *kel = tc->instance;
    uint32_t k = kel__child_threads(tc);
    bool remote = (tc->flags & KEL_TCF_REMOTE) != 0;
    bool sched = (tc->flags & KEL_TCF_SCHED_OPTION) || (tc->parent && (tc->parent->flags & KEL_TCF_SCHED_OPTION));

    kel_syncvar_add(done, static_cast<int32_t>(k));
    uint32_t rc = 0;
    uint32_t i;
    for (i = 1; i <= k; i++) {
        /* Once an assert has ended the run nothing new starts; the tasks
         * not started are taken off the count like failed ones. */
        if (kel__run_aborted(kel))
            break;
        spawn_info *info = new_spawn_info(parent, tc, done, seq, res);
        if (!info) {
            printf(KEL_MSG_SPAWN_INFO_ALLOC);
            not_started(tc, i, seq, ENOMEM, KEL_REC_WHAT_SPAWN_RECORD);
            rc = ENOMEM;
            break;
        }
        info->task = i;
        if (!remote)
            info->slot = base + i - 1;

        orv_thread_attr_t attr;
        orv_thread_attr_init(&attr);
        if (sched)
            orv_thread_attr_setsched_mode(&attr, -1);
        orv_thread_t id;
        rc = orv_thread_create(&id, &attr, kel_spawned_tc_thread, info, KEL_THREAD_NAME_SPAWNED);
        orv_thread_attr_destroy(&attr);
        if (rc != 0) {
            free(info);
            printf(KEL_FMT_SPAWN_CREATE, static_cast<int>(rc));
            not_started(tc, i, seq, static_cast<int>(rc), KEL_REC_WHAT_THREAD);
            break;
        }
    }
    if (i <= k)
        kel_syncvar_add(done, -static_cast<int32_t>(k - i + 1));
    return rc;
}

void *kel_spawned_tc_thread(void *arg)
{
    spawn_info *info = static_cast<spawn_info *>(arg);
    orv_thread_detach(orv_thread_self());

    kel_tc_t *folder = info->parent->tc;
    if (runs_out_of_process(folder)) {
        exec_out_of_process(info);
    } else {
        kel_altstack_t stack;
        kel__altstack_push(&stack);
        kel_exec_tc(info->parent, info->tc, KEL_TC_BASIC, info->seq, info->task);
        kel__altstack_pop(&stack);
    }
    return end_spawned(info);
}

void *kel_spawned_tc_sequencer(void *arg)
{
    spawn_info *info = static_cast<spawn_info *>(arg);
    kel_syncvar_t *iteration = kel_syncvar_alloc(0, 0);
    orv_thread_detach(orv_thread_self());
    if (!iteration) {
        printf(KEL_MSG_SEQ_SYNCVAR_ALLOC);
        not_started(info->tc, 0, 0, ENOMEM, KEL_REC_WHAT_SYNCVAR);
        return end_spawned(info);
    }

    kel_t *kel = info->tc->instance;
    int32_t count = static_cast<int32_t>(info->seq);
    for (int32_t r = 1; r <= count; r++) {
        if (kel__run_aborted(kel))
            break;
        kel_syncvar_reinit(iteration, 0, 0);
        uint32_t rc = kel_spawn_tc_threads(info->tc, info->parent, static_cast<uint32_t>(r), info->res, info->slot,
                                           iteration);
        kel_syncvar_wait(iteration, 0);
        if (rc != 0)
            break;
    }
    kel_syncvar_free(iteration);
    return end_spawned(info);
}

void kel__exec_multi_children(kel_tctx_t *ctx, uint32_t mask)
{
    kel_tc_t *folder = ctx->tc;
    kel_t *kel = folder->instance;
    kel_res_shm_t res;
    memset(&res, 0, sizeof res);
    /* Made at the first start: a slave's directly run target may leave this
     * frame by the run's abort jump, and must find nothing here to free. */
    kel_syncvar_t *done = NULL;
    uint32_t base = 0;

    for (kel_tc_t *child = kel__tc_first_child(folder); child; child = kel__tc_next_sibling(child)) {
        if (!(child->flags & KEL_TCF_SELECTED))
            continue;
        if (kel__run_aborted(kel))
            break;
        if ((child->flags & KEL_TCF_TARGET) && kel->cfg.fork_id != 0) {
            /* The one test case this slave process was started for. */
            kel_exec_tc(ctx, child, mask, static_cast<uint32_t>(kel->cfg.slave_seq), 0);
            continue;
        }
        if (!(mask & KEL_TC_BASIC))
            continue;
        if (!done) {
            done = kel_syncvar_alloc(0, 0);
            if (!done) {
                printf(KEL_MSG_FOLDER_SYNCVAR_ALLOC);
                not_started(folder, 0, 0, ENOMEM, KEL_REC_WHAT_SYNCVAR);
                break;
            }
        }
        if (!res.base)
            kel__res_open(&res, ctx);

        uint32_t n = 1;
        if (folder->flags & KEL_TCF_SUBTREE)
            n = child->seq_count ? child->seq_count : 1;
        if (n != 1)
            start_sequencer(ctx, child, n, &res, base, done);
        else
            kel_spawn_tc_threads(child, ctx, 0, &res, base, done);
        if (!(child->flags & KEL_TCF_REMOTE))
            base += kel__child_threads(child);
    }

    if (done) {
        kel_syncvar_wait(done, 0);
        kel_syncvar_free(done);
    }
    kel__res_close(&res);
}

/*
 * threads.cpp - the fan-out of multi folders.
 *
 * This first version runs each task of each selected child one after the
 * other on the folder's own thread, with the task and sequence numbers the
 * threaded fan-out gives them, so that multi folders already run and count
 * correctly; spawned threads, sequencers and slave processes replace it.
 */
#include "threads.h"
#include "exec.h"
#include "tree.h"

uint32_t kel__child_threads(const kel_tc_t *tc)
{
    if (tc->threads)
        return tc->threads;
    if (tc->multi_count)
        return tc->multi_count;
    return 1;
}

void kel__exec_multi_children(kel_tctx_t *ctx, uint32_t mask)
{
    kel_tc_t *folder = ctx->tc;
    if (!(mask & KEL_TC_BASIC))
        return;
    for (kel_tc_t *child = kel__tc_first_child(folder); child; child = kel__tc_next_sibling(child)) {
        if (!(child->flags & KEL_TCF_SELECTED))
            continue;
        uint32_t n = 1;
        if (folder->flags & KEL_TCF_SUBTREE)
            n = child->seq_count ? child->seq_count : 1;
        uint32_t k = kel__child_threads(child);
        for (uint32_t s = 1; s <= n; s++)
            for (uint32_t t = 1; t <= k; t++) {
                if (kel__run_aborted(folder->instance))
                    return;
                kel_exec_tc(ctx, child, KEL_TC_BASIC, n > 1 ? s : 0, t);
            }
    }
}

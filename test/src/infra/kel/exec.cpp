/*
 * exec.cpp - the test-case executor.
 *
 * kel_exec_tc runs one node of the tree with everything that belongs to it:
 * the setup chain, the body (a leaf) or the selected children (a folder), the
 * teardowns, the check for fixture variables left behind, and the outcome
 * (passed, failed, expected failure, unexpected success) with its counting.
 * Each node gets a test context on this frame's stack, published in the
 * per-thread registry (context.h) while one of its phases runs, so that the
 * services test code calls find the running test case. The children of a
 * multi folder run on threads (threads.h), which come back here.
 *
 * Failed checks leave a phase with longjmp to the context's env, and a failed
 * assert on the run's own thread leaves the whole run through the instance's
 * run.abort_env. Only the thread that runs a phase may jump to its env; failures
 * raised on other threads are handed over through foreign_failed and taken
 * when the phase ends (see kel__fail_jump in checks.cpp). Everything on these
 * frames is plain data: a jump must never skip a destructor.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "context.h"
#include "exec.h"
#include "failure.h"
#include "guard.h"
#include "messages.h"
#include "threads.h"
#include "tree.h"

namespace {

typedef void (*phase_fn)(kel_tctx_t *ctx);

void setup_phase(kel_tctx_t *ctx)
{
    kel_tc_t *tc = ctx->tc;
    ctx->fixture_index = -1;
    ctx->state = KEL_STATE_SETUP;
    for (int i = 0; i < KEL_MAX_FIXTURES && tc->setups[i]; i++) {
        tc->setups[i]();
        ctx->fixture_index = i;
    }
    ctx->state = KEL_STATE_DONE;
}

void body_phase(kel_tctx_t *ctx)
{
    ctx->state = KEL_STATE_BODY;
    ctx->tc->body();
    ctx->state = KEL_STATE_DONE;
}

void teardown_phase(kel_tctx_t *ctx)
{
    kel_tc_t *tc = ctx->tc;
    ctx->state = KEL_STATE_TEARDOWN;
    for (int i = ctx->fixture_index; i >= 0; i--)
        if (tc->teardowns[i])
            tc->teardowns[i]();

    orv_hashmap_t *map = ctx->fixture_vars;
    if (map && orv_hashmap_size(map) > 0) {
        orv_hashmap_entry_t *e;
        while ((e = orv_hashmap_first(map)) != NULL) {
            const char *key = orv_hashmap_key(e);
            kel_log_error_(KEL_FW_FILE, KEL_FIXTURE_CHECK_FUNC, KEL_FIXTURE_CHECK_LOG_LINE,
                           KEL_FMT_FIXTURE_VAR_LEFT, key);
            /* The cookie is the framework's own block; other values are
             * the test's. */
            if (strcmp(key, KEL_COOKIE_KEY) == 0)
                free(orv_hashmap_get_value(e));
            orv_hashmap_remove_tuple(map, e);
        }
        kel_check__(0, !kel_error_logged(), KEL_FIXTURE_CHECK_COND, KEL_FW_FILE,
                    KEL_FIXTURE_CHECK_FUNC, KEL_FIXTURE_CHECK_LINE, KEL_MARK);
    }
    ctx->state = KEL_STATE_DONE;
}

/* Runs one phase under the context: publishes it, arms env, and takes over
 * a failure that another thread raised for this context meanwhile. The
 * setjmp lives here alone so that nothing of the callers' frames is live
 * across it. */
void run_phase(kel_tctx_t *ctx, phase_fn fn, uint32_t phase)
{
    kel__tctx_set(ctx);
    if (setjmp(ctx->env) == 0)
        fn(ctx);
    kel__tctx_set(NULL);

    uint32_t foreign = __atomic_exchange_n(&ctx->foreign_failed, KEL_FOREIGN_NONE, __ATOMIC_ACQ_REL);
    if (foreign != KEL_FOREIGN_NONE) {
        if (ctx->state == KEL_STATE_DONE)
            ctx->state = phase;
        if (foreign == KEL_FOREIGN_ABORT && !ctx->aborting) {
            ctx->aborting = 1;
            orv_atomic_add(&ctx->tc->instance->run.checkpoints, static_cast<int32_t>(orv_atomic_get(&ctx->checkpoints)));
        }
    }
}

/* The run was ended by an assert while this node ran: leave it counted as
 * executed and failed, skip its teardown and outcome. On the run's own thread
 * the run ends here; elsewhere the caller returns and starts nothing more. */
void abandon(kel_tctx_t *ctx)
{
    kel_t *kel = ctx->tc->instance;
    if (pthread_equal(pthread_self(), kel->run.run_thread)) {
        kel__tctx_free_chain_vars(ctx);
        longjmp(kel->run.abort_env, 1);
    }
    kel__tctx_free_vars(ctx);
}

void exec_setup(kel_tctx_t *ctx)
{
    run_phase(ctx, setup_phase, KEL_STATE_SETUP);
}

void exec_teardown(kel_tctx_t *ctx)
{
    if (ctx->fixture_index < 0)
        return;
    run_phase(ctx, teardown_phase, KEL_STATE_TEARDOWN);
}

void print_pass_line(const kel_tctx_t *ctx)
{
    flockfile(stdout);
    printf(KEL_MSG_PASSED);
    if (ctx->expect_failure)
        printf(ctx->catch_unexpected_success ? KEL_MSG_PASSED_CAUGHT : KEL_MSG_PASSED_EXPECTED);
    uint32_t n = orv_atomic_get(&ctx->checkpoints);
    if (n >= 2)
        printf(KEL_FMT_PASSED_COUNT, static_cast<int>(n));
    else
        printf("\n");
    funlockfile(stdout);
}

void exec_children(kel_tctx_t *ctx, uint32_t mask)
{
    kel_tc_t *tc = ctx->tc;
    if (kel__tc_mode(tc) != 0 || (tc->flags & KEL_TCF_THREADED)) {
        kel__exec_multi_children(ctx, mask);
        return;
    }
    for (kel_tc_t *child = kel__tc_first_child(tc); child; child = kel__tc_next_sibling(child)) {
        if (!(child->flags & KEL_TCF_SELECTED))
            continue;
        uint32_t n = 1;
        if (tc->flags & KEL_TCF_SUBTREE)
            n = child->seq_count ? child->seq_count : 1;
        for (uint32_t s = 1; s <= n; s++) {
            if (kel__run_aborted(tc->instance))
                return;
            kel_exec_tc(ctx, child, mask, n > 1 ? s : 0, ctx->task ? 1 : 0);
        }
    }
}

} // namespace

bool kel__run_aborted(const kel_t *kel)
{
    return __atomic_load_n(&kel->run.aborted, __ATOMIC_ACQUIRE) != 0;
}

/* One execution of a node, as kel_exec_tc below. */
static void exec_node(kel_tctx_t *parent, kel_tc_t *tc, uint32_t type_mask, uint32_t seq, uint32_t task)
{
    kel_t *kel = tc->instance;
    if (kel__run_aborted(kel))
        return;
    if (tc->body && !(tc->type & type_mask) && !(tc->flags & KEL_TCF_TARGET))
        return;

    kel_tctx_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.parent = parent;
    ctx.tc = tc;
    ctx.seq = seq;
    ctx.task = task;
    ctx.state = KEL_STATE_DONE;
    ctx.fixture_index = 0;
    ctx.owner = pthread_self();

    /* Counted as failed until shown to have passed. */
    orv_atomic_incr(&kel->run.executed);
    orv_atomic_incr(&kel->run.failed);

    if (tc->setups[0]) {
        exec_setup(&ctx);
        if (ctx.aborting) {
            abandon(&ctx);
            return;
        }
    }

    if (ctx.state != KEL_STATE_DONE) {
        exec_teardown(&ctx);
        if (ctx.aborting) {
            abandon(&ctx);
            return;
        }
        ctx.state = KEL_STATE_SETUP;
    } else {
        if (tc->body) {
            print_test_header(&ctx);
            run_phase(&ctx, body_phase, KEL_STATE_BODY);
            orv_thread_may_yield();
            if (ctx.aborting) {
                abandon(&ctx);
                return;
            }
        } else {
            exec_children(&ctx, type_mask);
            if (kel__run_aborted(kel)) {
                abandon(&ctx);
                return;
            }
        }
        uint32_t body_state = ctx.state;
        if (tc->setups[0]) {
            exec_teardown(&ctx);
            if (ctx.aborting) {
                abandon(&ctx);
                return;
            }
        }
        if (body_state != KEL_STATE_DONE)
            ctx.state = body_state;
    }

    /* Outcome. */
    if (ctx.expect_failure && ctx.state != KEL_STATE_DONE) {
        ctx.state = KEL_STATE_DONE;
    } else if (ctx.expect_failure && !ctx.catch_unexpected_success) {
        keep_failed_test_info(KEL_TITLE_UNEXPECTED_SUCCESS, &ctx, NULL, NULL, NULL, 0, KEL_MSG_DID_NOT_FAIL, NULL);
        ctx.state = KEL_STATE_BODY;
    }

    if (ctx.state == KEL_STATE_DONE) {
        orv_atomic_decr(&kel->run.failed);
        if (ctx.expect_failure) {
            print_test_header(&ctx);
            if (kel__verbose(kel->cfg.verbosity))
                print_pass_line(&ctx);
        } else if (tc->body) {
            if (kel__verbose(kel->cfg.verbosity))
                print_pass_line(&ctx);
        } else {
            /* A folder that simply passed is not a test case. */
            orv_atomic_decr(&kel->run.executed);
        }
    } else if (ctx.catch_unexpected_success) {
        orv_atomic_decr(&kel->run.failed);
    }

    orv_atomic_add(&kel->run.checkpoints, static_cast<int32_t>(orv_atomic_get(&ctx.checkpoints)));
    kel__tctx_free_vars(&ctx);
}

/* A test case with a time limit is watched from its setup to its end; the
 * run's abort jump takes the watch back where it lands (run.cpp). */
void kel_exec_tc(kel_tctx_t *parent, kel_tc_t *tc, uint32_t type_mask, uint32_t seq, uint32_t task)
{
    uint32_t limit = tc->body ? kel__limit_of(tc) : 0;
    if (limit == 0) {
        exec_node(parent, tc, type_mask, seq, task);
        return;
    }
    kel__case_watch_begin(tc, limit);
    exec_node(parent, tc, type_mask, seq, task);
    kel__case_watch_end();
}

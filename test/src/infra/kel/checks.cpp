/*
 * checks.cpp - what test code calls from a running setup, body or teardown:
 * checkpoints and asserts, logged errors, debug printing, early success,
 * expected failures, and the running test case's name and description.
 *
 * Every service finds the running test case through the calling thread's
 * test context; a thread without one gets a notice and nothing happens.
 *
 * A failed check never returns. The thread that runs the phase jumps to the
 * phase's env (or, for an assert on the run's own thread, to the run's
 * abort_env). Jumping into another thread's stack is undefined, so a thread
 * that was merely given the context with kel_set_thread_token hands the
 * failure to the context (foreign_failed) and ends itself; the owner takes it
 * over when its phase ends. An assert on a spawned test thread ends its own
 * phase, marks the run aborted, and the executor starts nothing more.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "checks.h"
#include "context.h"
#include "failure.h"
#include "messages.h"
#include "user_callback.h"

namespace {

/* The calling thread's innermost guarded callback and the failure that left
 * one, waiting for kel__cb_settle. */
struct cb_state {
    kel_cb_guard_t *guard;
    kel_tctx_t *ctx;             /* non-NULL: a failure is pending */
    bool pass;
    bool abort_run;
};
thread_local cb_state t_cb;

} // namespace

void kel__cb_enter(kel_cb_guard_t *guard)
{
    guard->outer = t_cb.guard;
    t_cb.guard = guard;
}

void kel__cb_leave(kel_cb_guard_t *guard)
{
    t_cb.guard = guard->outer;
}

bool kel__cb_pending(void)
{
    return t_cb.ctx != NULL;
}

void kel__cb_divert(kel_tctx_t *ctx, bool pass, bool abort_run)
{
    if (t_cb.guard == NULL)
        return;
    if (t_cb.ctx == NULL) {
        t_cb.ctx = ctx;
        t_cb.pass = pass;
        t_cb.abort_run = abort_run;
    }
    longjmp(t_cb.guard->env, 1);
}

void kel__cb_settle(void)
{
    kel_tctx_t *ctx = t_cb.ctx;
    if (ctx == NULL || t_cb.guard != NULL)
        return;
    t_cb.ctx = NULL;
    if (t_cb.pass) {
        kel_pass();
        return;
    }
    kel__fail_jump(ctx, t_cb.abort_run);
}

void kel__fail_jump(kel_tctx_t *ctx, bool abort_run)
{
    kel__cb_divert(ctx, false, abort_run);
    kel_t *kel = ctx->tc->instance;
    pthread_t self = pthread_self();

    if (!pthread_equal(self, ctx->owner)) {
        uint32_t mark = abort_run ? KEL_FOREIGN_ABORT : KEL_FOREIGN_FAILED;
        uint32_t old = __atomic_load_n(&ctx->foreign_failed, __ATOMIC_ACQUIRE);
        while (old < mark && !__atomic_compare_exchange_n(&ctx->foreign_failed, &old, mark, false,
                                                          __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        }
        if (abort_run)
            __atomic_store_n(&kel->run.aborted, 1u, __ATOMIC_RELEASE);
        if (pthread_equal(self, kel->run.run_thread)) {
            /* The run's own thread, acting for another context: it may leave
             * the run, but not that context's phase. */
            __atomic_store_n(&kel->run.aborted, 1u, __ATOMIC_RELEASE);
            kel__tctx_set(NULL);
            longjmp(kel->run.abort_env, 1);
        }
        kel__tctx_set(NULL);
        orv_thread_exit(NULL);
    }

    if (abort_run) {
        orv_atomic_add(&kel->run.checkpoints, static_cast<int32_t>(orv_atomic_get(&ctx->checkpoints)));
        __atomic_store_n(&kel->run.aborted, 1u, __ATOMIC_RELEASE);
        if (pthread_equal(self, kel->run.run_thread)) {
            kel__tctx_free_chain_vars(ctx);
            longjmp(kel->run.abort_env, 1);
        }
        ctx->aborting = 1;
    }
    longjmp(ctx->env, 1);
}

namespace {

/* The failing half of a check: the record and the failure block, unless
 * the failure is expected (then it only counts). Returns whether the
 * failure ends the run: an assert, or any check with -s, not expected. */
bool record_failure(kel_tctx_t *ctx, int is_assert, const char *condition, const char *file, const char *function,
                    int line, const char *format, va_list *ap)
{
    if (ctx->expect_failure) {
        orv_atomic_incr(&ctx->checkpoints);
        return false;
    }
    const char *fmt = format;
    if (fmt && static_cast<unsigned char>(fmt[0]) == 0xFF)
        fmt++;
    keep_failed_test_info(is_assert ? KEL_TITLE_ASSERT : KEL_TITLE_CHECKPOINT, ctx, condition, file, function, line,
                          fmt, ap);
    return is_assert || ctx->tc->instance->cfg.strict;
}

} // namespace

void kel__die(const char *condition, const char *file, const char *function, int line, const char *format, ...)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (ctx) {
        va_list ap;
        va_start(ap, format);
        bool abort_run = record_failure(ctx, 0, condition, file, function, line, format, &ap);
        va_end(ap);
        kel__fail_jump(ctx, abort_run);
    }
    /* Without a test context nothing can be failed, and the caller cannot
     * go on. */
    printf(KEL_FMT_CHECK_NOT_ENABLED, file, line, function, "kel_check__");
    abort();
}

extern "C" {

void kel_check__(int is_assert, int passed, const char *condition, const char *file, const char *function,
                 int line, const char *format, ...)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_CHECK_NOT_ENABLED, file, line, function, "kel_check__");
        return;
    }
    if (passed) {
        orv_atomic_incr(&ctx->checkpoints);
        return;
    }
    va_list ap;
    va_start(ap, format);
    bool abort_run = record_failure(ctx, is_assert, condition, file, function, line, format, &ap);
    va_end(ap);
    kel__fail_jump(ctx, abort_run);
}

void kel_log_error_(const char *file, const char *function, int line, const char *format, ...)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_log_error_");
    if (!ctx)
        return;
    __atomic_store_n(&ctx->error_logged, 1, __ATOMIC_RELEASE);
    if (!ctx->expect_failure) {
        va_list ap;
        va_start(ap, format);
        keep_failed_test_info(KEL_TITLE_ERROR, ctx, NULL, file, function, line, format, &ap);
        va_end(ap);
    }
}

bool kel_error_logged(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_error_logged");
    return ctx && __atomic_load_n(&ctx->error_logged, __ATOMIC_ACQUIRE) != 0;
}

void kel_printf(const char *format, ...)
{
    kel_tctx_t *ctx = kel__tctx_get();
    va_list ap;
    va_start(ap, format);
    if (!ctx) {
        flockfile(stdout);
        printf(KEL_FMT_PRINTF_NOT_ENABLED, "kel_printf");
        vprintf(format, ap);
        funlockfile(stdout);
    } else if (kel__debug(ctx->tc->instance->cfg.verbosity)) {
        vprintf(format, ap);
    }
    va_end(ap);
}

bool kel_debug(void)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx) {
        printf(KEL_FMT_NOT_ENABLED, "kel_debug");
        return false;
    }
    return kel__debug(ctx->tc->instance->cfg.verbosity);
}

void kel_pass(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_pass");
    if (!ctx)
        return;
    kel__cb_divert(ctx, true, false);
    if (!pthread_equal(pthread_self(), ctx->owner)) {
        /* Only the owner can end the phase; a helper thread just ends. */
        kel__tctx_set(NULL);
        orv_thread_exit(NULL);
    }
    ctx->state = KEL_STATE_DONE;
    longjmp(ctx->env, 1);
}

void kel_expect_failure(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_expect_failure");
    if (ctx)
        ctx->expect_failure = 1;
}

void kel_catch_unexpected_success(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_catch_unexpected_success");
    if (ctx)
        ctx->catch_unexpected_success = 1;
}

const char *kel_get_test_case_name(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_test_case_name");
    return ctx ? ctx->tc->name : KEL_UNKNOWN_NAME;
}

const char *kel_get_test_case_description(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_test_case_description");
    return ctx ? ctx->tc->description : KEL_UNKNOWN_NAME;
}

} // extern "C"

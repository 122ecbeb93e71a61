/*
 * user_callback.h - calling user code from inside a library operation that
 * must finish before a failure may leave it.
 *
 * The event checker calls the comparators and renderers of its queues with
 * its mutex held. A check failing in one of them would jump out of the
 * operation with the mutex locked. Instead, such a call is made inside a
 * guard: a failure (or kel_pass) raised in the callback leaves the callback
 * only, back to the guard; the operation ends normally, releases what it
 * holds and then settles, which makes the deferred jump exactly as the
 * failing check would have made it. The failure block is printed at the
 * check, as always.
 */
#ifndef KEL_USER_CALLBACK_H
#define KEL_USER_CALLBACK_H

#include <setjmp.h>

typedef struct kel_cb_guard_s {
    jmp_buf env;                   /* where a failure in the callback lands */
    struct kel_cb_guard_s *outer;  /* the thread's enclosing guard, if any */
} kel_cb_guard_t;

/* Enters and leaves a guard on the calling thread. The caller arms it with
 * setjmp(guard->env) in its own frame between the two calls, and calls the
 * user code only when setjmp returned 0. */
void kel__cb_enter(kel_cb_guard_t *guard);
void kel__cb_leave(kel_cb_guard_t *guard);
/* Whether a failure left a guarded callback on this thread and waits to be
 * settled: the operation then runs no more user callbacks. */
bool kel__cb_pending(void);
/* Makes the deferred jump of the calling thread, if there is one (never
 * returns then); otherwise returns at once. Called by a public operation
 * after it released its locks, as its last step. */
void kel__cb_settle(void);

typedef struct kel_tctx_s kel_tctx_t;
/* Used by the failure paths: when the calling thread runs a guarded
 * callback, records the failure of ctx (pass: a kel_pass; else abort_run as
 * kel__fail_jump takes it) and jumps back to the guard; otherwise returns. */
void kel__cb_divert(kel_tctx_t *ctx, bool pass, bool abort_run);

#endif

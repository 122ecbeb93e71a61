/*
 * context.h - the per-thread test context registry: which test context, if
 * any, the calling thread runs in.
 */
#ifndef KEL_CONTEXT_H
#define KEL_CONTEXT_H

#include "kel_types.h"

/* The thread-specific key under which each thread's context is published.
 * kel_run acquires it before its first run and releases it after the last;
 * outside any run every thread reads NULL. */
int kel__key_acquire(void);
void kel__key_release(void);
kel_tctx_t *kel__tctx_get(void);
/* Publishes ctx (or NULL) for the calling thread; EINVAL outside a run. */
int kel__tctx_set(kel_tctx_t *ctx);
/* The context last published by the calling thread, read without any call:
 * for a signal handler. */
kel_tctx_t *kel__tctx_in_signal(void);
/* The calling thread's context; without one, prints the kel-enabled notice
 * naming service and returns NULL. */
kel_tctx_t *kel__tctx_or_notice(const char *service);

/* Frees the fixture variables of ctx, with the folder cookie they hold: for
 * a context whose teardown will not run. */
void kel__tctx_free_vars(kel_tctx_t *ctx);
/* The same for ctx and every enclosing context run by the calling thread:
 * before that thread jumps out of all their frames at once. */
void kel__tctx_free_chain_vars(kel_tctx_t *ctx);

#endif

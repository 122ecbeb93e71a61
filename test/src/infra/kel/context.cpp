/*
 * context.cpp - the per-thread test context registry, what a running test
 * case can ask about where it runs (task, parent task, slave process,
 * sequence and repeat numbers), and the thread token by which it lends its
 * context to threads of its own.
 *
 * The executor publishes a node's context under a thread-specific key while
 * one of its phases runs; the services test code calls find the running
 * test case through it. The key exists only while some kel_run call runs
 * (runs may nest and overlap on different instances, hence the count).
 *
 * A context's fixture variables live in a map on the heap. Its teardown
 * empties it; a context that an assert abandons, which never reaches its
 * teardown, has the map freed here, with the one value it owns: the folder
 * cookie.
 */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "context.h"
#include "messages.h"

namespace {

pthread_mutex_t key_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_key_t tctx_key;
int key_users;          /* guarded by key_mutex */
bool key_valid;         /* written under key_mutex, read atomically */
/* The same context as the key's, for the fatal-signal handler, which may
 * not call pthread_getspecific. Initial-exec: reading it never allocates. */
__attribute__((tls_model("initial-exec"))) thread_local kel_tctx_t *signal_ctx;

} // namespace

int kel__key_acquire(void)
{
    int rc = 0;
    pthread_mutex_lock(&key_mutex);
    if (key_users == 0) {
        rc = pthread_key_create(&tctx_key, NULL);
        if (rc == 0)
            __atomic_store_n(&key_valid, true, __ATOMIC_RELEASE);
    }
    if (rc == 0)
        key_users++;
    pthread_mutex_unlock(&key_mutex);
    return rc;
}

void kel__key_release(void)
{
    pthread_mutex_lock(&key_mutex);
    if (key_users > 0 && --key_users == 0) {
        __atomic_store_n(&key_valid, false, __ATOMIC_RELEASE);
        pthread_key_delete(tctx_key);
    }
    pthread_mutex_unlock(&key_mutex);
}

kel_tctx_t *kel__tctx_get(void)
{
    if (!__atomic_load_n(&key_valid, __ATOMIC_ACQUIRE))
        return NULL;
    return static_cast<kel_tctx_t *>(pthread_getspecific(tctx_key));
}

kel_tctx_t *kel__tctx_or_notice(const char *service)
{
    kel_tctx_t *ctx = kel__tctx_get();
    if (!ctx)
        printf(KEL_FMT_NOT_ENABLED, service);
    return ctx;
}

int kel__tctx_set(kel_tctx_t *ctx)
{
    if (!__atomic_load_n(&key_valid, __ATOMIC_ACQUIRE))
        return EINVAL;
    int rc = pthread_setspecific(tctx_key, ctx);
    if (rc == 0)
        signal_ctx = ctx;
    return rc;
}

kel_tctx_t *kel__tctx_in_signal(void)
{
    return signal_ctx;
}

void kel__tctx_free_vars(kel_tctx_t *ctx)
{
    orv_hashmap_t *map = ctx->fixture_vars;
    if (!map)
        return;
    ctx->fixture_vars = NULL;
    free(orv_hashmap_get_value(orv_hashmap_get(map, KEL_COOKIE_KEY)));
    orv_hashmap_free(map);
}

void kel__tctx_free_chain_vars(kel_tctx_t *ctx)
{
    pthread_t self = pthread_self();
    for (kel_tctx_t *c = ctx; c; c = c->parent)
        if (pthread_equal(c->owner, self))
            kel__tctx_free_vars(c);
}

extern "C" {

uint32_t kel_get_task_number(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_task_number");
    return ctx ? ctx->task : 0;
}

uint32_t kel_get_parent_task_number(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_parent_task_number");
    return ctx && ctx->parent ? ctx->parent->task : 0;
}

uint32_t kel_get_fork_task_number(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_fork_task_number");
    return ctx ? static_cast<uint32_t>(ctx->tc->instance->cfg.fork_id) : 0;
}

uint32_t kel_get_seq_number(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_seq_number");
    return ctx ? ctx->seq : 0;
}

uint32_t kel_get_repeat_run(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_repeat_run");
    return ctx ? static_cast<uint32_t>(ctx->tc->instance->run.repeat_run) + 1 : 0;
}

uint32_t kel_get_repeat_times(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_repeat_times");
    return ctx ? static_cast<uint32_t>(ctx->tc->instance->cfg.repeat_times) : 0;
}

void *kel_get_thread_token(void)
{
    return kel__tctx_get();
}

int kel_set_thread_token(void *token)
{
    return kel__tctx_set(static_cast<kel_tctx_t *>(token));
}

uint32_t kel_get_node_num(void)
{
    kel_tctx_t *ctx = kel__tctx_get();
    return ctx ? ctx->tc->node_num : 0xFFFFFFFFu;
}

} // extern "C"

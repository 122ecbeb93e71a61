/*
 * context.cpp - what a running test case can ask about where it runs (task,
 * parent task, slave process, sequence and repeat numbers), and the thread
 * token by which it lends its context to threads of its own.
 */
#include <stdio.h>

#include "exec.h"
#include "messages.h"

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
    return ctx ? static_cast<uint32_t>(ctx->tc->instance->fork_id) : 0;
}

uint32_t kel_get_seq_number(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_seq_number");
    return ctx ? ctx->seq : 0;
}

uint32_t kel_get_repeat_run(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_repeat_run");
    return ctx ? static_cast<uint32_t>(ctx->tc->instance->repeat_run) + 1 : 0;
}

uint32_t kel_get_repeat_times(void)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_get_repeat_times");
    return ctx ? static_cast<uint32_t>(ctx->tc->instance->repeat_times) : 0;
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

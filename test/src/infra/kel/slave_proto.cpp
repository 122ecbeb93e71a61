/*
 * slave_proto.cpp - the slave's command line and environment, and the three
 * steps of its result slot (arm, publish, read), shared by the master, the
 * slave and kel-agent.
 *
 * A slot is shared memory that the slave writes and its starter reads after
 * the slave has ended: the slave may have died half-way or written anything,
 * so executed is published last (release) and read first (acquire), and the
 * failure list's length is bounded by its area before anything is copied.
 */
#include "slave_proto.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static_assert(sizeof(kel_res_slot_t) == KEL_RES_SLOT_SIZE, "result slot is 1056 bytes");
static_assert(offsetof(kel_res_slot_t, executed) == 0, "slot layout");
static_assert(offsetof(kel_res_slot_t, failed) == 4, "slot layout");
static_assert(offsetof(kel_res_slot_t, checkpoints) == 8, "slot layout");
static_assert(offsetof(kel_res_slot_t, unused) == 12, "slot layout");
static_assert(offsetof(kel_res_slot_t, elapsed_ms) == 16, "slot layout");
static_assert(offsetof(kel_res_slot_t, summary_len) == 24, "slot layout");
static_assert(offsetof(kel_res_slot_t, summary) == 28, "slot layout");
static_assert(sizeof(kel_res_slot_t::summary) == KEL_RES_SUMMARY_SIZE, "slot layout");

size_t kel__slave_argv(const kel_slave_order_t *order, kel_slave_numbers_t *nums, char **argv)
{
    snprintf(nums->task, sizeof nums->task, "%u", order->task);
    snprintf(nums->slot, sizeof nums->slot, "%u", order->slot);
    snprintf(nums->seq, sizeof nums->seq, "%u", order->seq);
    snprintf(nums->node_num, sizeof nums->node_num, "%u", order->node_num);

    size_t i = 0;
    argv[i++] = const_cast<char *>(order->program);
    argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_FORK_ID);
    argv[i++] = nums->task;
    argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_SHM_RES);
    argv[i++] = const_cast<char *>(order->segment);
    argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_SLOT);
    argv[i++] = nums->slot;
    if (order->vars) {
        argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_VARS);
        argv[i++] = const_cast<char *>(order->vars);
    }
    if (kel__debug(order->verbosity))
        argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_DEBUG);
    if (!kel__verbose(order->verbosity))
        argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_QUIET);
    if (order->strict)
        argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_STRICT);
    if (order->seq_given) {
        argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_SEQ);
        argv[i++] = nums->seq;
    }
    if (order->node_num != 0) {
        argv[i++] = const_cast<char *>(KEL_SLAVE_OPT_NODE_NUM);
        argv[i++] = nums->node_num;
    }
    for (size_t n = 0; n < order->path_len; n++)
        argv[i++] = order->path[n];
    argv[i] = NULL;
    return i;
}

char **kel__slave_env(char *const *env)
{
    static const char prefix[] = KEL_SLAVE_ENV "=";
    size_t n = 0;
    while (env && env[n])
        n++;
    char **out = static_cast<char **>(malloc((n + 2) * sizeof *out));
    if (!out)
        return NULL;
    size_t k = 0;
    for (size_t i = 0; i < n; i++)
        if (strncmp(env[i], prefix, sizeof prefix - 1) != 0)
            out[k++] = env[i];
    out[k++] = const_cast<char *>(KEL_SLAVE_ENV_ENTRY);
    out[k] = NULL;
    return out;
}

kel_res_slot_t *kel__slot_at(void *base, size_t size, int64_t index)
{
    if (!base || index < 0 || static_cast<uint64_t>(index) >= size / sizeof(kel_res_slot_t))
        return NULL;
    return static_cast<kel_res_slot_t *>(base) + index;
}

void kel__slot_arm(kel_res_slot_t *slot)
{
    __atomic_store_n(&slot->executed, KEL_RES_NOT_WRITTEN, __ATOMIC_RELEASE);
}

void kel__slot_publish(kel_res_slot_t *slot, uint32_t executed, uint32_t failed, uint32_t checkpoints,
                       uint64_t elapsed_ms, uint32_t summary_len)
{
    slot->failed = failed;
    slot->checkpoints = checkpoints;
    slot->elapsed_ms = elapsed_ms;
    slot->summary_len = summary_len;
    __atomic_store_n(&slot->executed, executed, __ATOMIC_RELEASE);
}

bool kel__slot_read(const kel_res_slot_t *slot, kel_res_slot_t *out)
{
    uint32_t executed = __atomic_load_n(&slot->executed, __ATOMIC_ACQUIRE);
    if (executed == KEL_RES_NOT_WRITTEN)
        return false;
    memcpy(out, slot, sizeof *out);
    out->executed = executed;
    out->summary_len = slot->summary_len < KEL_RES_SUMMARY_SIZE ? slot->summary_len : KEL_RES_SUMMARY_SIZE;
    return true;
}

/*
 * failure.cpp - failure records and the lines that announce a failure.
 *
 * Every failure seen inside a test case is printed at once (the test header,
 * then a block opened by "---> #####") and kept as a record in the
 * instance's failed_queue, from which the summary lists the failed tests.
 * What a child process reports (a slave through its result slot, a remote
 * child through its agent) is folded in here the same way for both: its
 * counts are added and its packed failure list enters the same queue as a
 * reported record. Blocks are printed under the stdout lock so that
 * failures of concurrent tests do not mix within a block.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "failure.h"
#include "messages.h"
#include "run_records.h"
#include "tree.h"

/* A slave's stdout is most often the master's log file: what it has not
 * written when it dies is lost, and the master's line about its death would
 * then stand alone. Its header and each failure block are written out at
 * once; a passing test case adds no write of its own. */
namespace {

void flush_in_slave(const kel_t *kel)
{
    if (kel->cfg.fork_id != 0)
        fflush(stdout);
}

} // namespace

void print_test_header(kel_tctx_t *ctx)
{
    kel_t *kel = ctx->tc->instance;
    if (!kel__verbose(kel->cfg.verbosity))
        return;
    if (__atomic_exchange_n(&ctx->header_printed, 1, __ATOMIC_ACQ_REL))
        return;
    flockfile(stdout);
    printf(KEL_FMT_HEADER_START, KEL_DASHES);
    kel_tc_print_path(ctx->tc);
    if (ctx->tc->seq_count > 1)
        printf(KEL_FMT_SEQ, static_cast<int>(ctx->seq));
    if (kel->cfg.fork_id != 0)
        printf(KEL_FMT_PROC_PID, kel->cfg.fork_id, kel->run.pid);
    if (ctx->task != 0)
        printf(KEL_FMT_HEADER_THREAD, static_cast<int>(ctx->task));
    printf("\n");
    flush_in_slave(kel);
    funlockfile(stdout);
}

void enqueue_failed_test_info(kel_t *kel, kel_failed_info_t *rec)
{
    int rc = pthread_mutex_lock(&kel->run.failed_mutex);
    if (rc != 0) {
        printf(KEL_FMT_CANNOT_LOCK, "enqueue_failed_test_info", rc);
        kel__failed_info_free(rec);
        return;
    }
    if (!orv_queue_enqueue(&kel->run.failed_queue, rec)) {
        printf(KEL_FMT_CANNOT_ENQUEUE, "enqueue_failed_test_info");
        pthread_mutex_unlock(&kel->run.failed_mutex);
        kel__failed_info_free(rec);
        return;
    }
    rc = pthread_mutex_unlock(&kel->run.failed_mutex);
    if (rc != 0)
        printf(KEL_FMT_CANNOT_UNLOCK, "enqueue_failed_test_info", rc);
}

void kel__failed_info_free(kel_failed_info_t *rec)
{
    if (!rec)
        return;
    free(rec->reported.summary);
    free(rec);
}

void keep_failed_test_info(const char *title, kel_tctx_t *ctx, const char *condition, const char *file,
                           const char *function, int line, const char *format, va_list *ap)
{
    kel_failed_info_t *rec = static_cast<kel_failed_info_t *>(calloc(1, sizeof *rec));
    if (!rec) {
        printf(KEL_FMT_CANNOT_ALLOC_FAILED, "keep_failed_test_info");
    } else {
        rec->is_local = 1;
        rec->local.tc = ctx->tc;
        rec->local.condition = condition;
        rec->local.file = file;
        rec->local.function = function;
        rec->local.line = line;
        rec->local.title = title;
        enqueue_failed_test_info(ctx->tc->instance, rec);
    }

    flockfile(stdout);
    print_test_header(ctx);
    const char *suffix = "";
    if (ctx->state == KEL_STATE_SETUP)
        suffix = KEL_SUFFIX_SETUP;
    else if (ctx->state == KEL_STATE_TEARDOWN)
        suffix = KEL_SUFFIX_TEARDOWN;
    printf(KEL_FMT_FAIL_TITLE, title, suffix);
    if (format) {
        printf(KEL_INDENT);
        /* The format is the caller's, already checked at its call site. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        if (ap)
            vprintf(format, *ap);
        else
            printf("%s", format);
#pragma GCC diagnostic pop
        printf("\n");
    }
    if (file) {
        kel__print_location(KEL_INDENT, file, line, function);
        if (condition)
            printf(KEL_FMT_CONDITION, condition);
    }
    printf("\n");
    flush_in_slave(ctx->tc->instance);
    funlockfile(stdout);
}

void kel__print_location(const char *lead, const char *file, int line, const char *function)
{
    printf(KEL_FMT_LOC_FILE, lead, file ? file : "");
    if (line > 0)
        printf(KEL_FMT_LOC_LINE, line);
    if (function)
        printf(KEL_FMT_LOC_FUNC, file ? KEL_LOC_SEP : "", function);
}

uint32_t kel__pass_rate(uint32_t executed, uint32_t failed)
{
    if (executed == 0 || failed > executed)
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(executed - failed) * 100u / executed);
}

namespace {

/* Adds n to a run total unless the total would pass KEL_RUN_TOTAL_MAX;
 * false, and the total unchanged, when it would. */
bool add_bounded(uint32_t *total, uint32_t n)
{
    uint32_t cur = __atomic_load_n(total, __ATOMIC_ACQUIRE);
    do {
        if (cur > KEL_RUN_TOTAL_MAX || n > KEL_RUN_TOTAL_MAX - cur)
            return false;
    } while (!__atomic_compare_exchange_n(total, &cur, cur + n, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    return true;
}

/* Adds a child's three counts to the run totals, all or none: false when
 * they cannot be a child's (more failed than executed, or a total would
 * pass its bound). */
bool add_child_counts(kel_t *kel, const kel_res_slot_t *res)
{
    if (res->failed > res->executed || !add_bounded(&kel->run.executed, res->executed))
        return false;
    if (!add_bounded(&kel->run.failed, res->failed)) {
        orv_atomic_add(&kel->run.executed, -static_cast<int32_t>(res->executed));
        return false;
    }
    if (!add_bounded(&kel->run.checkpoints, res->checkpoints)) {
        orv_atomic_add(&kel->run.executed, -static_cast<int32_t>(res->executed));
        orv_atomic_add(&kel->run.failed, -static_cast<int32_t>(res->failed));
        return false;
    }
    return true;
}

} // namespace

uint32_t kel__fold_child(kel_t *kel, const spawn_info *info, int32_t pid, kel_node_id_t node, kel_res_slot_t *res)
{
    bool malformed = !add_child_counts(kel, res);
    if (malformed) {
        /* Counted as one test case executed and failed, and shown so. */
        kel__count_lost_child(kel, {KEL_REC_MALFORMED, info->tc, info->task, info->seq, pid, node, 0, NULL});
        res->executed = 1;
        res->failed = 1;
        res->checkpoints = 0;
        res->summary_len = 0;
    }
    uint32_t rate = kel__pass_rate(res->executed, res->failed);
    if (res->failed == 0)
        return rate;

    /* The out-of-memory lines name the step as they always have: the slave
     * runner for a slave's list, the remote result for an agent's. */
    uint32_t len = res->summary_len;
    char *summary = static_cast<char *>(malloc(len ? len : 1));
    if (!summary) {
        printf(KEL_FMT_CANNOT_ALLOC_FAILED, pid != 0 ? "kel_fork_exec_tc" : KEL_REMOTE_PROC_RESULTS);
        return rate;
    }
    memcpy(summary, res->summary, len);
    kel_failed_info_t *rec = static_cast<kel_failed_info_t *>(calloc(1, sizeof *rec));
    if (!rec) {
        printf(KEL_FMT_CANNOT_ALLOC_FAILED, "keep_failed_test_info_forked");
        free(summary);
        return rate;
    }
    rec->is_local = 0;
    rec->reported.proc = static_cast<uint16_t>(info->task);
    rec->reported.pid = pid;
    rec->reported.node = node;
    rec->reported.summary = summary;
    rec->reported.summary_len = len;
    rec->reported.malformed = malformed ? 1 : 0;
    enqueue_failed_test_info(kel, rec);
    return rate;
}

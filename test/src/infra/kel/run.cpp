/*
 * run.cpp - the run driver: kel_run and its run codes.
 *
 * kel_run reads the command line into the instance, selects the test cases,
 * runs the selection once or several times through the executor, prints the
 * summary (or, in a slave, hands its results back through its result slot)
 * and returns a run code. A failed assert on the calling thread jumps back to
 * the abort point armed here and the driver goes straight to its end-of-run
 * work. The same instance can be run again: each call starts from a clean
 * selection, empty counters, an empty failure queue and an empty variable
 * store. For the length of the call a test case that crashes or calls exit()
 * still leaves a log that says so (crash.h).
 */
#include <pthread.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cmdline.h"
#include "context.h"
#include "crash.h"
#include "exec.h"
#include "guard.h"
#include "messages.h"
#include "perf.h"
#include "run_end.h"
#include "run_records.h"
#include "select.h"
#include "summary.h"
#include "tree.h"
#include "vars.h"

namespace {

char *dup_or_null(const char *s)
{
    if (!s)
        return NULL;
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(malloc(n));
    if (p)
        memcpy(p, s, n);
    return p;
}

/* A call starts from fresh run state and the per-call options' defaults.
 * Carried over from the previous call on the same instance: the sticky
 * options -q/-d, -s, -trace-forks, -shm_res, -shm_results_slot_id, -seq and
 * -node_num, and the test tree. Returns false when the failure mutex cannot
 * be set up. */
bool reset_run_state(kel_t *kel)
{
    kel->cfg.type_mask = KEL_TC_BASIC | KEL_TC_PERF;
    kel->cfg.repeat_times = 1;
    kel->cfg.threads = 0;
    kel->cfg.process_mode = 0;
    kel->cfg.fork_id = 0;

    kel__vars_release(kel);
    kel__pds_release(kel);
    if (kel->run.failed_mutex_ok) {
        kel__drop_failed_records(kel);
        kel__run_records_free(kel);
        pthread_mutex_destroy(&kel->run.failed_mutex);
    }
    memset(&kel->run, 0, sizeof kel->run);
    kel->run.pid = static_cast<int32_t>(getpid());
    kel->run.run_thread = pthread_self();
    kel->run.slave_mark = getenv(KEL_SLAVE_ENV) != NULL;
    orv_queue_init(&kel->run.failed_queue, ORV_QUEUE_FIFO);
    orv_queue_init(&kel->run.records, ORV_QUEUE_FIFO);
    int rc = pthread_mutex_init(&kel->run.failed_mutex, NULL);
    if (rc != 0) {
        printf(KEL_FMT_CANNOT_INIT_MUTEX, "kel_run", rc);
        return false;
    }
    kel->run.failed_mutex_ok = 1;
    return true;
}

/* The repeat loop. The abort point is armed in this frame alone, and
 * everything it changes lives in the instance, so nothing is lost by a jump
 * back here. */
void run_repeats(kel_t *kel)
{
    if (setjmp(kel->run.abort_env) != 0) {
        kel__tctx_set(NULL);
        kel__case_watch_end();
        return;
    }
    for (kel->run.repeat_run = 0; kel->run.repeat_run < kel->cfg.repeat_times; kel->run.repeat_run++) {
        if (kel__run_aborted(kel))
            break;
        if (kel->cfg.repeat_times > 1 && kel__verbose(kel->cfg.verbosity))
            printf(KEL_FMT_RUN_BANNER, kel->run.repeat_run + 1, kel->cfg.repeat_times);
        kel_exec_tc(NULL, &kel->tc, kel->cfg.type_mask, 0, 0);
    }
}

/* End of a call that ran nothing: no variable may outlive it. */
kel_run_code_t end_early(kel_t *kel, kel_run_code_t rc)
{
    kel__vars_release(kel);
    return rc;
}

/* kel_run's work, under the crash guard that kel_run holds around it. */
kel_run_code_t run_call(int argc, char **argv, kel_t *kel)
{
    free(kel->cfg.argv0);
    kel->cfg.argv0 = dup_or_null(argv[0]);

    kel_args_t args;
    memset(&args, 0, sizeof args);
    if (argc < 1) {
        kel_usage(NULL, NULL);
        return KEL_RC_INVALID_ARGUMENTS;
    }
    if (kel__tokenize(&args, argc, argv) < 1) {
        kel_usage(NULL, NULL);
        return KEL_RC_INVALID_ARGUMENTS;
    }
    args.index = 1;

    if (!reset_run_state(kel))
        return KEL_RC_INVALID_ARGUMENTS;

    bool help = false;
    int32_t depth = KEL_DEPTH_UNLIMITED;
    if (kel__parse_options(&args, kel, argv[0], &help, &depth) != 0)
        return end_early(kel, KEL_RC_INVALID_ARGUMENTS);
    if (!kel__read_timeout_env(kel))
        return end_early(kel, KEL_RC_INVALID_ARGUMENTS);

    kel_tc_reset(&kel->tc);

    if (args.index >= args.count)
        return end_early(kel, kel__list_for_run(kel, &args, argv[0], help, depth, NULL));

    if (kel->cfg.repeat_times < 1)
        kel->cfg.repeat_times = 1;
    else if (kel->cfg.repeat_times > 100000)
        kel->cfg.repeat_times = 100000;

    int rc = kel__key_acquire();
    if (rc != 0) {
        printf(KEL_FMT_CANNOT_CREATE_KEY, "kel_run", rc);
        return end_early(kel, KEL_RC_INVALID_ARGUMENTS);
    }

    kel_tc_t *selected = kel_tc_select(&kel->tc, &args);
    if (help || !selected) {
        int list_rc = kel__list_for_run(kel, &args, argv[0], help, depth, selected);
        kel__key_release();
        return end_early(kel, list_rc ? list_rc : KEL_RC_INVALID_ARGUMENTS);
    }

    selected->node_num = kel->cfg.node_num;
    kel->run.start_ms = kel_get_time();

    if (selected == kel->root) {
        kel_tc_mark(&kel->tc);
        if (kel->root->threads != 0 && (kel->tc.flags & KEL_TCF_THREADED))
            for (kel_tc_t *c = kel__tc_first_child(&kel->tc); c; c = kel__tc_next_sibling(c))
                c->threads = kel->root->threads;
    }
    kel->root->flags = static_cast<uint8_t>(kel->root->flags & ~KEL_TCF_SELECTED);

    /* Buffered output must not be duplicated by the slaves a run forks. */
    fflush(stdout);
    kel__running_set(kel);
    kel__guard_start(kel);
    run_repeats(kel);
    kel__guard_stop(kel);
    kel__running_set(NULL);

    kel__key_release();
    kel__vars_release(kel);

    if (orv_atomic_get(&kel->run.executed) == 0) {
        printf(KEL_MSG_NO_TEST_CASE);
        kel__drop_failed_records(kel);
        kel__pds_release(kel);
        return KEL_RC_NO_TEST_CASE;
    }

    bool slave = kel->cfg.fork_id != 0;
    uint64_t elapsed;
    if (!slave) {
        kel__print_master_summary(kel, true);
        kel__drop_failed_records(kel);
        kel__pds_release(kel);
        elapsed = kel_get_time() - kel->run.start_ms;
        if (kel__verbose(kel->cfg.verbosity))
            printf(KEL_FMT_ELAPSED, static_cast<unsigned long long>(elapsed));
        fflush(stdout);
        return orv_atomic_get(&kel->run.failed) != 0 ? KEL_RC_FAILED : KEL_RC_SUCCESS;
    }

    elapsed = kel_get_time() - kel->run.start_ms;
    kel__print_slave_summary(kel, selected, elapsed);
    kel__pds_release(kel);
    int code = kel__deliver_slave_results(kel, elapsed);
    kel__drop_failed_records(kel);
    fflush(stdout);
    return code;
}

} // namespace

extern "C" {

kel_run_code_t kel_run(int argc, char **argv, kel_t *kel)
{
    if (!argv || !kel)
        return KEL_RC_INVALID_ARGUMENTS;
    kel_altstack_t stack;
    kel__crash_guard_arm(&stack);
    kel_run_code_t rc = run_call(argc, argv, kel);
    kel__crash_guard_disarm(&stack);
    return rc;
}

const char *kel_run_code_to_str(int code)
{
    switch (code) {
    case KEL_RC_SUCCESS:
        return KEL_RC_TEXT_SUCCESS;
    case KEL_RC_INVALID_ARGUMENTS:
        return KEL_RC_TEXT_INVALID;
    case KEL_RC_NO_TEST_CASE:
        return KEL_RC_TEXT_NO_TEST;
    case KEL_RC_FAILED:
        return KEL_RC_TEXT_FAILED;
    case KEL_RC_TIMED_OUT:
        return KEL_RC_TEXT_TIMED_OUT;
    default:
        return KEL_RC_TEXT_UNKNOWN;
    }
}

} // extern "C"

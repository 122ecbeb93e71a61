/*
 * summary.cpp - what a run prints at its end, and what a slave hands back.
 *
 * A master prints the list of failed tests (its own records and the packed
 * lists that slaves and agents reported), the SUMMARY line with the pass
 * rate and the three counts. A slave prints one block naming its process and
 * writes its counts and failure list into its slot of the folder's results
 * segment, where the master reads them after the slave has exited.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "failure.h"
#include "failure_list.h"
#include "messages.h"
#include "summary.h"
#include "tree.h"

namespace {

void print_local_record(const kel_failed_info_t *rec)
{
    printf(KEL_FMT_WORD, KEL_DASHES);
    kel_tc_print_path(rec->local.tc);
    if (rec->local.file)
        kel__print_location("\n" KEL_INDENT, rec->local.file, rec->local.line, rec->local.function);
    else
        printf(KEL_FMT_SUMMARY_LOCAL_NO_LOCATION, rec->local.title ? rec->local.title : "");
    /* Unlike the failure block, the record ends with an empty line. */
    if (rec->local.condition) {
        printf(KEL_FMT_CONDITION, rec->local.condition);
        printf("\n");
    }
    printf("\n");
}

uint32_t counter(const uint32_t *p) { return orv_atomic_get(p); }

} // namespace

void kel__drop_failed_records(kel_t *kel)
{
    kel_failed_info_t *rec;
    while ((rec = static_cast<kel_failed_info_t *>(orv_queue_dequeue(&kel->run.failed_queue))) != NULL)
        kel__failed_info_free(rec);
}

void kel__print_master_summary(kel_t *kel, bool with_records)
{
    uint32_t executed = counter(&kel->run.executed);
    uint32_t failed = counter(&kel->run.failed);
    uint32_t checkpoints = counter(&kel->run.checkpoints);

    if (!kel__verbose(kel->cfg.verbosity) && failed == 0)
        return;
    if (with_records && kel__verbose(kel->cfg.verbosity) && !orv_queue_empty(&kel->run.failed_queue)) {
        printf(KEL_FMT_SUMMARY_FAILED_TESTS, KEL_DASHES);
        kel_failed_info_t *rec;
        while ((rec = static_cast<kel_failed_info_t *>(orv_queue_dequeue(&kel->run.failed_queue))) != NULL) {
            if (rec->is_local)
                print_local_record(rec);
            else
                kel__fl_print_reported(rec);
            kel__failed_info_free(rec);
        }
    }
    printf(KEL_MSG_SUMMARY);
    if (failed != 0)
        printf(KEL_FMT_SUMMARY_FAILED, static_cast<int>(kel__pass_rate(executed, failed)));
    else
        printf(KEL_MSG_SUMMARY_PASSED);
    printf(KEL_FMT_SUMMARY_COUNTS, static_cast<int>(executed), static_cast<int>(failed),
           static_cast<int>(checkpoints));
}

void kel__print_slave_summary(kel_t *kel, const kel_tc_t *selected, uint64_t elapsed_ms)
{
    uint32_t executed = counter(&kel->run.executed);
    uint32_t failed = counter(&kel->run.failed);
    uint32_t checkpoints = counter(&kel->run.checkpoints);
    if (!kel__verbose(kel->cfg.verbosity) && failed == 0)
        return;

    char seq[32] = "";
    if (kel->cfg.slave_seq != 0)
        snprintf(seq, sizeof seq, KEL_FMT_SEQ, kel->cfg.slave_seq);
    char *path = kel__tc_path_dup(selected, ':');
    const char *p = path ? path : "";
    if (failed != 0)
        printf(KEL_FMT_SLAVE_FAILED, KEL_DASHES, p, seq, kel->cfg.fork_id, kel->run.pid,
               static_cast<int>(kel__pass_rate(executed, failed)));
    else
        printf(KEL_FMT_SLAVE_PASSED, KEL_DASHES, p, seq, kel->cfg.fork_id, kel->run.pid);
    free(path);
    printf(KEL_FMT_CHILD_COUNTS, static_cast<int>(executed), static_cast<int>(failed),
           static_cast<int>(checkpoints), static_cast<unsigned long long>(elapsed_ms));
}

int kel__deliver_slave_results(kel_t *kel, uint64_t elapsed_ms)
{
    int fallback = counter(&kel->run.failed) != 0 ? KEL_RC_FAILED : KEL_RC_SUCCESS;
    if (!kel->cfg.shm_res)
        return fallback;
    orv_shm_t shm;
    memset(&shm, 0, sizeof shm);
    if (orv_shm_open(kel->cfg.shm_res, 0, &shm, NULL) != 0)
        return fallback;
    /* The slot number comes from the command line: never write outside the
     * segment whatever it says. */
    kel_res_slot_t *slot = kel__slot_at(shm.addr, shm.size, kel->cfg.shm_slot);
    if (!slot) {
        orv_shm_close(&shm);
        return fallback;
    }
    size_t used = 0;
    kel__fl_init(slot->summary, KEL_RES_SUMMARY_USED, &used);
    kel_failed_info_t *rec;
    while ((rec = static_cast<kel_failed_info_t *>(orv_queue_dequeue(&kel->run.failed_queue))) != NULL) {
        kel__fl_append(slot->summary, KEL_RES_SUMMARY_USED, &used, rec);
        kel__failed_info_free(rec);
    }
    kel__slot_publish(slot, counter(&kel->run.executed), counter(&kel->run.failed), counter(&kel->run.checkpoints), elapsed_ms,
                      static_cast<uint32_t>(used));
    orv_shm_close(&shm);
    return KEL_RC_SUCCESS;
}

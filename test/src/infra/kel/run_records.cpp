/*
 * run_records.cpp - the run's records of failures the failure queue cannot
 * tell (run_records.h): appending one from any thread, counting a lost
 * child, releasing them all.
 */
#include <stdio.h>
#include <stdlib.h>

#include "run_records.h"

bool kel__rec_counted(kel_rec_kind_t kind)
{
    return kind != KEL_REC_NOT_STARTED;
}

void kel__run_record(kel_t *kel, const kel_fault_t &fault)
{
    if (!kel->run.failed_mutex_ok)
        return;
    kel_run_record_t *rec = static_cast<kel_run_record_t *>(calloc(1, sizeof *rec));
    if (!rec)
        return;
    rec->fault = fault;
    if (fault.reason) {
        snprintf(rec->text, sizeof rec->text, "%s", fault.reason);
        rec->fault.reason = rec->text;
    }
    if (pthread_mutex_lock(&kel->run.failed_mutex) != 0) {
        free(rec);
        return;
    }
    bool queued = orv_queue_enqueue(&kel->run.records, rec);
    pthread_mutex_unlock(&kel->run.failed_mutex);
    if (!queued)
        free(rec);
}

void kel__count_lost_child(kel_t *kel, const kel_fault_t &fault)
{
    orv_atomic_incr(&kel->run.executed);
    orv_atomic_incr(&kel->run.failed);
    kel__run_record(kel, fault);
}

void kel__run_records_free(kel_t *kel)
{
    kel_run_record_t *rec;
    while ((rec = static_cast<kel_run_record_t *>(orv_queue_dequeue(&kel->run.records))) != NULL)
        free(rec);
}

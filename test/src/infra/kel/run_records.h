/*
 * run_records.h - the run's records of test cases that failed, or could not
 * start, in a way the failure queue cannot tell.
 *
 * A failed check leaves a failure record (failure.h) that names its test
 * case, and a child that reported its failures leaves their packed list.
 * What a run's reports must list besides comes from the run's own
 * machinery: a slave that crashed, ended without reporting or could not be
 * started; an agent that refused the request, could not be reached or hung
 * up before the result; a result that cannot be real; a test that ran past
 * its time limit; and a test case that could not be started at all (its
 * "KEL: ..." line: not run and not counted). Each place that prints such a
 * line adds one record here; nothing is printed from the records by this
 * file.
 *
 * The records are kept in the run state under failed_mutex, appended from
 * any thread. They live from the start of one kel_run call to the start of
 * the next on the same instance (or kel_destroy), so that what a run
 * recorded can be read after it returned.
 */
#ifndef KEL_RUN_RECORDS_H
#define KEL_RUN_RECORDS_H

#include "kel_types.h"

/* What happened to the test case. Counted kinds were added to the run's
 * executed and failed totals; KEL_REC_NOT_STARTED was not. */
typedef enum kel_rec_kind_e {
    KEL_REC_NOT_STARTED = 1,   /* thread, sequencer, spawn record or sync
                                  variable not made: not run, not counted;
                                  code: errno or 0; reason: what */
    KEL_REC_SLAVE_NOT_STARTED, /* no result slot, no memory for its command
                                  line, fork failed, or refused inside a
                                  slave; code: errno or 0 */
    KEL_REC_SLAVE_SIGNALLED,   /* pid; code: the signal; reason: "core" when
                                  it dumped core */
    KEL_REC_SLAVE_EXITED,      /* pid; code: its non-zero exit status */
    KEL_REC_SLAVE_STOPPED,     /* pid: it neither exited nor was killed */
    KEL_REC_SLAVE_SILENT,      /* pid: exited 0 without a result, or could
                                  not be waited for (code: errno) */
    KEL_REC_REMOTE_NOT_SENT,   /* the request could not be made; reason */
    KEL_REC_REMOTE_REFUSED,    /* node: the agent refused (reason) or could
                                  not be reached (code: errno) */
    KEL_REC_REMOTE_DROPPED,    /* node: no result after it accepted; code:
                                  errno, 0 when it was not a result */
    KEL_REC_REMOTE_FAILED,     /* node: the agent's result says the slave
                                  failed to run; reason: its error text */
    KEL_REC_MALFORMED,         /* pid, or node: a result no child can give */
    KEL_REC_TIMED_OUT,         /* pid, node or neither; code: the limit, ms */
} kel_rec_kind_t;

/* One fault as its place describes it; reason may be NULL. */
typedef struct kel_fault_s {
    kel_rec_kind_t kind;
    const kel_tc_t *tc;          /* the test case or folder; NULL unknown */
    uint32_t task;               /* 0, or its task number */
    uint32_t seq;                /* 0, or its sequence number */
    int32_t pid;                 /* a slave's; 0 none */
    kel_node_id_t node;          /* a remote child's; 0 none */
    int32_t code;                /* by kind */
    const char *reason;          /* by kind; copied, cut to fit */
} kel_fault_t;

#define KEL_REC_REASON_MAX 127

typedef struct kel_run_record_s {
    orv_queue_link_t link;       /* in the run's records; first field */
    kel_fault_t fault;           /* reason points at text (or is NULL) */
    char text[KEL_REC_REASON_MAX + 1];
} kel_run_record_t;

/* Adds a record of the fault to the run; a record that cannot be made is
 * left out silently (no output may change). Any thread. */
void kel__run_record(kel_t *kel, const kel_fault_t &fault);
/* Counts a child that left no result as one test case executed and failed,
 * and records why. */
void kel__count_lost_child(kel_t *kel, const kel_fault_t &fault);
/* Releases every record of the run. */
void kel__run_records_free(kel_t *kel);
/* Whether a kind is counted in the run's totals. */
bool kel__rec_counted(kel_rec_kind_t kind);

#endif

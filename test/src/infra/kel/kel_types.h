/*
 * kel_types.h - the records shared by the framework's subsystems.
 *
 * The instance (kel_t: tree, configuration, run state), the nodes of
 * the test tree (kel_tc_t), the per-thread test context (kel_tctx_t), failure
 * records, run variables, performance data sets, the token table of the
 * command line and the spawn record of test threads (the result slot is
 * the slave protocol's, slave_proto.h). Every subsystem includes this
 * header; each keeps its own functions in its own small header.
 *
 * These records hold jump buffers and are left by longjmp: they must stay
 * plain (no constructors or destructors).
 */
#ifndef KEL_TYPES_H
#define KEL_TYPES_H

#include <pthread.h>
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>

#include "kel.h"
#include "orv.h"
#include "slave_proto.h"

/* ------------------------------------------------------------------------ */
/* Test tree                                                                */
/* ------------------------------------------------------------------------ */

#define KEL_MAX_FIXTURES 8

/* Bits of kel_tc_t.flags. */
#define KEL_TCF_MODE_MASK 0x03u
#define KEL_TCF_MULTI_TASK 0x01u    /* children run in several threads */
#define KEL_TCF_MULTI_PROCESS 0x02u /* children run in slave processes */
#define KEL_TCF_SCHED_OPTION 0x04u  /* spawned threads use sched mode all-ones */
#define KEL_TCF_SELECTED 0x08u      /* the run visits this node */
#define KEL_TCF_TARGET 0x10u        /* named by the last path token */
#define KEL_TCF_SUBTREE 0x20u       /* inside a wholly selected subtree */
#define KEL_TCF_THREADED 0x40u      /* -T count applied to the children */
#define KEL_TCF_REMOTE 0x80u        /* runs on a remote node */

struct kel_tc_s {
    orv_queue_link_t link;               /* in the parent's children; first field */
    orv_queue_t children;                /* creation order; zero-filled is empty */
    kel_tc_t *parent;                    /* NULL only for the instance's own node */
    kel_fn_t setups[KEL_MAX_FIXTURES];   /* filled from 0; NULL ends the list */
    kel_fn_t teardowns[KEL_MAX_FIXTURES];/* entry i belongs to setups[i] */
    char *name;                          /* own copy */
    char *description;                   /* own copy */
    kel_fn_t body;                       /* NULL for a folder */
    uint32_t type;                       /* KEL_TC_* bits */
    kel_t *instance;                     /* the owning instance */
    uint16_t seq_count;                  /* runs in sequence; 1 at creation */
    uint16_t multi_count;                /* parallel tasks; 0 reads as 1 */
    uint8_t flags;                       /* KEL_TCF_* */
    uint32_t node_addr;                  /* remote node, network order */
    uint32_t node_port;                  /* remote port value, network order */
    uint32_t threads;                    /* -T count applied here; 0 none */
    uint32_t node_num;                   /* node number */
    uint32_t timeout_ms;                 /* kel_set_timeout; 0 none */
    uint8_t timeout_set;                 /* timeout_ms given for the subtree */
};

/* ------------------------------------------------------------------------ */
/* The instance                                                             */
/* ------------------------------------------------------------------------ */

/* The options of kel_run's command line. Sticky options keep their value
 * from one kel_run call on the same instance to the next until given again;
 * every other option is set back to its default by each call. */
typedef struct kel_config_s {
    int32_t verbosity;           /* sticky: kel_verbosity (-q, -d) */
    uint8_t strict;              /* sticky: -s */
    uint8_t trace_forks;         /* sticky: -trace-forks */
    int32_t shm_slot;            /* sticky: -shm_results_slot_id */
    int32_t slave_seq;           /* sticky: -seq */
    uint32_t node_num;           /* sticky: -node_num */
    char *shm_res;               /* sticky: -shm_res; own copy, replaced when given */
    char *argv0;                 /* first element of kel_run's argv; own copy */
    uint8_t process_mode;        /* -P */
    int32_t fork_id;             /* -fork_id; 0 in a master run */
    int32_t repeat_times;        /* -x; 1 by default */
    int32_t threads;             /* -T; 0 by default */
    uint32_t type_mask;          /* 3, 1 with -b, 2 with -p */
    uint8_t timeouts_set;        /* sticky: kel_set_timeout was called */
} kel_config_t;

/* What one kel_run call builds up: reset as a whole when a call starts. */
typedef struct kel_run_state_s {
    jmp_buf abort_env;           /* run-abort point, armed by kel_run */
    pthread_t run_thread;        /* the thread that called kel_run */
    uint32_t aborted;            /* atomic: an assert ended the run */
    int32_t pid;                 /* process id at the start of the run */
    uint64_t start_ms;           /* kel_get_time at the start of the run */
    int32_t repeat_run;          /* current run, from 0 */
    uint32_t executed;           /* atomic: test cases executed this run */
    uint32_t failed;             /* atomic: test cases failed this run */
    uint32_t checkpoints;        /* atomic: checkpoints counted this run */
    orv_queue_t failed_queue;    /* kel_failed_info_t records */
    pthread_mutex_t failed_mutex;/* guards failed_queue and records */
    uint8_t failed_mutex_ok;     /* failed_mutex is initialised */
    orv_queue_t records;         /* kel_run_record_t (run_records.h); kept
                                    until the next call or kel_destroy */
    orv_queue_t pds_queue;       /* kel_pds_t records */
    orv_hashset_t *vars;         /* run variables (kel_var_t) */
    char *vars_text;             /* the -D lists joined by ':' */
    uint8_t slave_mark;          /* started as a slave (KEL_SLAVE is set) */
    uint32_t env_timeout_ms;     /* KEL_TIMEOUT_MS; 0 none */
    uint8_t guarded;             /* a master run: its guard runs (guard.h) */
    uint8_t limited;             /* guarded, and some time limit is set */
} kel_run_state_t;

struct kel_s {
    kel_tc_t tc;                 /* the tree's super-root: first field */
    kel_tc_t *root;              /* the folder "all" */
    kel_config_t cfg;
    kel_run_state_t run;
};

/* ------------------------------------------------------------------------ */
/* Test context                                                             */
/* ------------------------------------------------------------------------ */

/* Phases held in kel_tctx_t.state. */
#define KEL_STATE_SETUP 1u
#define KEL_STATE_BODY 2u
#define KEL_STATE_TEARDOWN 3u
#define KEL_STATE_DONE 4u

typedef struct kel_tctx_s kel_tctx_t;
struct kel_tctx_s {
    kel_tctx_t *parent;          /* context of the enclosing folder */
    kel_tc_t *tc;                /* the node being executed */
    jmp_buf env;                 /* jump target of the running phase */
    uint32_t checkpoints;        /* atomic: passed checks (+ swallowed failures) */
    uint32_t state;              /* KEL_STATE_* */
    orv_hashmap_t *fixture_vars; /* kel_set variables; NULL until the first */
    const char *perf_desc;       /* running measurement; NULL when none */
    const char *pds_name;        /* data set of the measurement */
    uint32_t pds_param;          /* bound in percent (signed) */
    uint8_t expect_failure;
    uint8_t catch_unexpected_success;
    uint8_t error_logged;
    uint64_t perf_start_ms;
    uint32_t seq;                /* 0, or 1..sequence count */
    uint32_t task;               /* 0, or 1..threads of the spawn */
    int32_t fixture_index;       /* last setup that returned; -1 none */
    uint8_t header_printed;

    /* Failures raised on threads that cannot jump to env (threads given
     * this context with kel_set_thread_token) are handed over here. */
    pthread_t owner;             /* the thread that runs the phases */
    uint32_t foreign_failed;     /* atomic: KEL_FOREIGN_* raised on another thread */
    uint8_t aborting;            /* an assert in this context ended the run */
};

/* Values of kel_tctx_t.foreign_failed. */
#define KEL_FOREIGN_NONE 0u
#define KEL_FOREIGN_FAILED 1u    /* a failed check: the phase fails */
#define KEL_FOREIGN_ABORT 2u     /* a failed assert: the phase fails, the run ends */

/* ------------------------------------------------------------------------ */
/* Failure records                                                          */
/* ------------------------------------------------------------------------ */

typedef struct kel_failed_info_s {
    orv_queue_link_t link;       /* in failed_queue */
    uint8_t is_local;            /* 1: raised here (local); 0: reported */
    struct {                     /* a failure raised in this process */
        kel_tc_t *tc;
        const char *title;       /* of the failure block; printed in the
                                    summary when there is no file */
        const char *condition;   /* NULL for logged errors */
        const char *file;        /* may be NULL */
        const char *function;    /* may be NULL */
        int32_t line;            /* 0 or less: none */
    } local;
    struct {                     /* the failures a child process reported */
        uint16_t proc;           /* its task number */
        int32_t pid;             /* a slave's pid; 0 for a remote process */
        kel_node_id_t node;      /* a remote process's node; 0 for a slave */
        char *summary;           /* packed failure list, owned */
        uint32_t summary_len;    /* bytes in summary */
        uint8_t malformed;       /* 1: its counts were no possible result */
    } reported;
} kel_failed_info_t;

/* ------------------------------------------------------------------------ */
/* Run variables                                                            */
/* ------------------------------------------------------------------------ */

#define KEL_VAR_NAME_MAX 128
#define KEL_VAR_VALUE_MAX 256

typedef struct kel_var_s {
    orv_hashset_link_t link;
    char name[KEL_VAR_NAME_MAX + 1];
    char value[KEL_VAR_VALUE_MAX + 1];
} kel_var_t;

/* ------------------------------------------------------------------------ */
/* Performance data sets                                                    */
/* ------------------------------------------------------------------------ */

typedef struct kel_pds_sample_s {
    const char *desc;
    uint64_t ops;
    uint64_t ms;
    int32_t threshold;           /* 0: reference; else the alternative's bound */
} kel_pds_sample_t;

typedef struct kel_pds_s {
    orv_queue_link_t link;
    const char *name;
    const char *unit;
    int32_t count;
    kel_pds_sample_t samples[2];
} kel_pds_t;

/* ------------------------------------------------------------------------ */
/* Command line tokens                                                      */
/* ------------------------------------------------------------------------ */

#define KEL_MAX_TOKENS 16
#define KEL_MAX_TOKEN_LEN 256

typedef struct kel_args_s {
    char tokens[KEL_MAX_TOKENS][KEL_MAX_TOKEN_LEN + 1];
    int32_t count;
    int32_t index;
    char error[128];
} kel_args_t;

/* ------------------------------------------------------------------------ */
/* Multi-threaded and multi-process execution                               */
/* ------------------------------------------------------------------------ */

typedef struct kel_res_shm_s {
    char name[32];               /* "kel_res.<pid>.<n>" */
    orv_shm_t shm;
    kel_res_slot_t *base;        /* slot 0; NULL while not open */
} kel_res_shm_t;

typedef struct spawn_info_s {
    kel_tctx_t *parent;          /* the folder's context */
    kel_tc_t *tc;                /* the child to run */
    kel_syncvar_t *done;         /* the starter's counter */
    uint32_t seq;
    uint32_t task;
    uint32_t slot;
    kel_res_shm_t *res;
} spawn_info;

/* Failure area bytes. */
#define KEL_FL_END 0xFEu         /* end of the list */
#define KEL_FL_TRUNCATED 0xFFu   /* the list was cut here */
#define KEL_FL_MAX_TEXT 253u

#endif /* KEL_TYPES_H */

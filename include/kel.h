/*
 * kel.h - the public interface of libkel, a test framework for C and C++.
 *
 * A test program builds a tree of folders and leaf test cases with fixtures,
 * then hands its argument vector to kel_run, which selects part of the tree,
 * runs it (in this thread, in many threads, in forked slave processes or on
 * other hosts through kel-agent), prints per-test lines and a summary, and
 * returns a run code. Test code calls back into the library through the
 * checks, logging, variables, performance, sync-variable and event-checker
 * functions below.
 *
 * Including this header alone is enough to write any test program; it
 * compiles as C11 and as C++. Functions that can fail return an errno value
 * (0 for success); the event checker returns its own codes (KEL_EVC_E_*).
 *
 * A failed check never returns to the code that made it: it ends the running
 * setup, body or teardown with longjmp. C++ test code must therefore not keep
 * objects with destructors alive across a check that can fail.
 */
#ifndef KEL_H
#define KEL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "orv.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KEL_BUILDING)
#define KEL_API __attribute__((visibility("default")))
#else
#define KEL_API
#endif

#define KEL_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))

/* ------------------------------------------------------------------------ */
/* Types                                                                    */
/* ------------------------------------------------------------------------ */

/* The framework instance and one node of its test tree (opaque). */
typedef struct kel_s kel_t;
typedef struct kel_tc_s kel_tc_t;

/* Setup, teardown and test body functions. */
typedef void (*kel_fn_t)(void);

/* Test-type bits of a node. */
#define KEL_TC_BASIC 1u    /* basic test case */
#define KEL_TC_PERF 2u     /* performance test case */
#define KEL_TC_EXPLICIT 4u /* runs only when its path is named */

/* Run codes of kel_run. */
typedef int kel_run_code_t;
#define KEL_RC_SUCCESS 0            /* something ran and nothing failed */
#define KEL_RC_INVALID_ARGUMENTS 1  /* bad command line, listing, bad path */
#define KEL_RC_NO_TEST_CASE 2       /* nothing matched the test type */
#define KEL_RC_FAILED 3             /* at least one test case failed */
#define KEL_RC_TIMED_OUT 4          /* a test case ran past its time limit */

/* A sync variable: a counter with a target and a status (opaque). */
typedef struct kel_syncvar_s kel_syncvar_t;

/* An IPv4 address in network byte order; 0 means no node. */
typedef uint32_t kel_node_id_t;
/* A connected socket of the node transport. */
typedef int kel_od_handle_t;

#define KEL_AGENT_DEFAULT_PORT 6154

/* Agent protocol: fixed-size messages, numbers big-endian. These are the
 * exact wire layouts; the fields hold wire-order values. */
typedef struct kel_agent_hdr {
    uint8_t magic[4];   /* FE AB 2C 18 */
    kel_node_id_t node; /* request: the node addressed; result: the node that ran */
    uint32_t pid;       /* sender's process id, big-endian */
    uint8_t type;       /* 1..5; a spawn request is 1 */
    uint8_t version;    /* 1 */
    uint8_t reserved[2];
} kel_agent_hdr_t;

#define KEL_AGENT_MAGIC 0xfeab2c18u
#define KEL_AGENT_VERSION 1
#define KEL_AGENT_MSG_SPAWN_REQ 1
#define KEL_AGENT_MSG_SPAWN_RSP 2
#define KEL_AGENT_MSG_PROC_RESULT 3
#define KEL_SPAWN_F_STRICT 0x0001u
#define KEL_SPAWN_F_NVP 0x0002u

typedef struct kel_spawn_req {
    kel_agent_hdr_t hdr;
    uint8_t verbosity;       /* 0 quiet, 1 normal, 2 debug */
    uint8_t reserved1;
    uint16_t flags;          /* KEL_SPAWN_F_*, big-endian */
    uint16_t task;           /* big-endian */
    uint16_t seq;            /* big-endian */
    uint16_t node_num;       /* big-endian */
    uint16_t reserved2;
    char process_name[128];  /* NUL-terminated */
    char nvp_list[256];      /* the -D lists joined by ':', NUL-terminated */
    char test_case[256];     /* path names separated by blanks, NUL-terminated */
} kel_spawn_req_t;           /* 668 bytes */

typedef struct kel_spawn_rsp {
    kel_agent_hdr_t hdr;
    uint8_t status;          /* 0 accepted, else rejected */
    char reason[259];        /* NUL-terminated reason of a rejection */
} kel_spawn_rsp_t;           /* 276 bytes */

typedef struct kel_proc_result {
    kel_agent_hdr_t hdr;
    uint8_t status;          /* 0: the counts are valid; else an error text
                                starts at offset 28 (over the counts) */
    uint8_t reserved1[7];
    uint32_t executed;       /* big-endian */
    uint32_t failed;
    uint32_t checkpoints;
    uint32_t reserved2;
    uint64_t elapsed_ms;     /* big-endian */
    uint32_t summary_len;    /* bytes used in summary, end byte included */
    uint8_t summary[1028];   /* packed failure list */
} kel_proc_result_t;         /* 1080 bytes */

/* The result an agent's rejection gives kel_spawn_remote_process. */
#define KEL_AGENT_REJECTED 0xFFFFFFFFu

/* Event checker: a checker, one of its queues, and an event. */
typedef struct kel_evc_s kel_evc_t;
typedef struct kel_evc_queue_s kel_evc_queue_t;

typedef struct kel_evc_event {
    uint32_t type;
    uint32_t len;      /* number of bytes at val */
    const void *val;   /* NULL exactly when len is 0 */
} kel_evc_event_t;

/* Compares an expected and a submitted event: 0 when they match. */
typedef uint32_t (*kel_evc_cmp_fn)(const kel_evc_event_t *expected, const kel_evc_event_t *submitted);
/* Renders ev into buf (size bytes) and returns buf. */
typedef const char *(*kel_evc_str_fn)(const kel_evc_event_t *ev, char *buf, size_t size);

/* Event checker result codes: fatal class | errno, and one non-fatal code. */
#define KEL_EVC_FATAL 0xA0000000u
#define KEL_EVC_E_INVAL 0xA0000016u     /* missing or inconsistent argument */
#define KEL_EVC_E_NOMEM 0xA000000Cu     /* allocation failed */
#define KEL_EVC_E_EXIST 0xA0000011u     /* name already in use */
#define KEL_EVC_E_NOENT 0xA0000002u     /* checker or queue not found */
#define KEL_EVC_E_BADMSG 0xA000004Au    /* dispatch ended by a mismatch */
#define KEL_EVC_E_TIMEDOUT 0xA000006Eu  /* time-out with expectations left */
#define KEL_EVC_E_TIME 0xA000003Eu      /* time-out, nothing expected */
#define KEL_EVC_E_ALREADY 0xA0000072u   /* expectation behind an expected time-out */
#define KEL_EVC_W_MISMATCH 0x2000004Au  /* submitted event recorded as mismatch */

/* ------------------------------------------------------------------------ */
/* Test tree                                                                */
/* ------------------------------------------------------------------------ */

KEL_API uint32_t kel_create(kel_t **kel);
KEL_API void kel_destroy(kel_t **kel);
/* A new leaf (body not NULL) or folder under parent (NULL: top level). */
KEL_API kel_tc_t *kel_create_test_case(kel_t *kel, kel_tc_t *parent, const char *name,
                                       const char *description, kel_fn_t body, uint32_t type);
KEL_API kel_tc_t *kel_create_test_folder(kel_t *kel, kel_tc_t *parent, const char *name,
                                         const char *description);
/* The folder "all" that holds the whole tree. */
KEL_API kel_tc_t *kel_get_root(kel_t *kel);
KEL_API void kel_add_fixture(kel_tc_t *tc, kel_fn_t setup, kel_fn_t teardown);
KEL_API void kel_multi_task_enable(kel_tc_t *tc);
KEL_API void kel_multi_process_enable(kel_tc_t *tc);
KEL_API void kel_set_option(kel_tc_t *tc, int option);
KEL_API void kel_seq_set_count(kel_tc_t *tc, int count);
/* A time limit for each test case of the node's subtree, in ms (0: none);
 * 0 or EINVAL (NULL node). */
KEL_API uint32_t kel_set_timeout(kel_tc_t *tc, uint32_t milliseconds);
KEL_API void kel_multi_task_set_count(kel_tc_t *tc, int count);

/* ------------------------------------------------------------------------ */
/* Running                                                                  */
/* ------------------------------------------------------------------------ */

KEL_API kel_run_code_t kel_run(int argc, char **argv, kel_t *kel);
KEL_API const char *kel_run_code_to_str(int code);

/* Where the running test case is: task, parent task, slave process,
 * sequence and repeat numbers. */
KEL_API uint32_t kel_get_task_number(void);
KEL_API uint32_t kel_get_parent_task_number(void);
KEL_API uint32_t kel_get_fork_task_number(void);
KEL_API uint32_t kel_get_seq_number(void);
KEL_API uint32_t kel_get_repeat_run(void);
KEL_API uint32_t kel_get_repeat_times(void);
/* Hand the running test case to a thread of the test's own. */
KEL_API void *kel_get_thread_token(void);
KEL_API int kel_set_thread_token(void *token);

/* ------------------------------------------------------------------------ */
/* Remote execution and node transport                                      */
/* ------------------------------------------------------------------------ */

KEL_API uint32_t kel_set_node(kel_tc_t *tc, const char *address);
KEL_API uint32_t kel_set_node_num(kel_tc_t *tc, uint32_t node_num);
KEL_API uint32_t kel_get_node_num(void);
KEL_API uint32_t kel_spawn_remote_process(kel_node_id_t node, uint32_t port, const kel_spawn_req_t *req,
                                          kel_spawn_rsp_t *rsp, kel_od_handle_t *handle);
KEL_API uint32_t kel_get_remote_process_result(kel_node_id_t node, kel_od_handle_t *handle,
                                               kel_proc_result_t *result);
KEL_API uint32_t kel_check_agent_msg(const void *msg);

KEL_API uint32_t kel_od_get_my_node_id(kel_node_id_t *node);
KEL_API uint32_t kel_od_node_id_to_string(kel_node_id_t node, char *buf, size_t size);
KEL_API uint32_t kel_od_string_to_node_id(const char *text, kel_node_id_t *node);
KEL_API uint32_t kel_od_string_to_node_addr(const char *text, kel_node_id_t *node, uint32_t *port);
KEL_API uint32_t kel_od_connect_to_node(kel_node_id_t node, uint32_t port, kel_od_handle_t *handle);
KEL_API uint32_t kel_od_send_msg(kel_od_handle_t *handle, const void *buf, size_t len);
KEL_API uint32_t kel_od_receive_msg(kel_od_handle_t *handle, void *buf, size_t len);
KEL_API uint32_t kel_od_disconnect_from_node(kel_node_id_t node, kel_od_handle_t *handle);
KEL_API uint32_t kel_od_inherit_transport(void);

/* ------------------------------------------------------------------------ */
/* Checks and logging                                                       */
/* ------------------------------------------------------------------------ */

KEL_API void kel_check__(int is_assert, int passed, const char *condition, const char *file,
                         const char *function, int line, const char *format, ...) KEL_PRINTF_LIKE(7, 8);
KEL_API void kel_log_error_(const char *file, const char *function, int line, const char *format, ...)
    KEL_PRINTF_LIKE(4, 5);
KEL_API bool kel_error_logged(void);
KEL_API void kel_printf(const char *format, ...) KEL_PRINTF_LIKE(1, 2);
KEL_API bool kel_debug(void);
KEL_API void kel_pass(void);
KEL_API void kel_expect_failure(void);
KEL_API void kel_catch_unexpected_success(void);
KEL_API const char *kel_get_test_case_name(void);
KEL_API const char *kel_get_test_case_description(void);

/* A failed checkpoint ends the running phase; a failed assert ends the run.
 * The optional message is a string literal format and its arguments. */
#define kel_check(cond, ...) \
    kel_check__(0, (cond) != 0, #cond, __FILE__, __func__, __LINE__, "\377" __VA_ARGS__)
#define kel_assert(cond, ...) \
    kel_check__(1, (cond) != 0, #cond, __FILE__, __func__, __LINE__, "\377" __VA_ARGS__)
#define kel_fail(...) \
    kel_check__(0, 0, "kel_fail()", __FILE__, __func__, __LINE__, "\377" __VA_ARGS__)
/* kel_log_error(fmt, ...): the format comes first, as for printf. */
#define kel_log_error(...) kel_log_error_(__FILE__, __func__, __LINE__, __VA_ARGS__)

/* ------------------------------------------------------------------------ */
/* Variables, fixture variables and cookies                                 */
/* ------------------------------------------------------------------------ */

KEL_API int kel_get_int_var(const char *name, const char *description, int default_value);
KEL_API const char *kel_get_str_var(const char *name, const char *description, const char *default_value);
/* A list that holds a blank or a control character is refused with a
 * "KEL ERROR:" line and defines nothing. */
KEL_API void kel_wb_inject_nvp(const char *list);
KEL_API void kel_set(const char *key, void *value);
KEL_API void *kel_get_(const char *key, bool mandatory, const char *file, const char *function, int line);
KEL_API void *kel_create_cookie(int size);
KEL_API void *kel_get_cookie_(const char *file, const char *function, int line);
KEL_API void kel_destroy_cookie(void);

#define kel_get(key, mandatory) kel_get_(key, mandatory, __FILE__, __func__, __LINE__)
#define kel_get_cookie() kel_get_cookie_(__FILE__, __func__, __LINE__)

/* ------------------------------------------------------------------------ */
/* Time and performance                                                     */
/* ------------------------------------------------------------------------ */

KEL_API uint64_t kel_get_time(void);
KEL_API uint32_t kel_sleep(uint32_t msec);
KEL_API void kel_start_pds(const char *description, const char *pds_name, int bound);
KEL_API void kel_start_perf(const char *description);
KEL_API void kel_stop_perf_(const char *unit, uint64_t ops);

#define kel_stop_perf(unit, ops) kel_stop_perf_(unit, ops)

/* ------------------------------------------------------------------------ */
/* Sync variables                                                           */
/* ------------------------------------------------------------------------ */

KEL_API kel_syncvar_t *kel_syncvar_alloc(uint32_t current, uint32_t target);
KEL_API void kel_syncvar_free(kel_syncvar_t *sv);
KEL_API uint32_t kel_syncvar_add(kel_syncvar_t *sv, int32_t delta);
KEL_API uint32_t kel_syncvar_or(kel_syncvar_t *sv, uint32_t bits);
KEL_API void kel_syncvar_reinit(kel_syncvar_t *sv, uint32_t current, uint32_t target);
KEL_API uint32_t kel_syncvar_wait(kel_syncvar_t *sv, uint32_t timeout_ms);
KEL_API void kel_syncvar_notify(kel_syncvar_t *sv, int32_t status);
KEL_API uint32_t kel_syncvar_get_current(kel_syncvar_t *sv);
KEL_API uint32_t kel_syncvar_get_target(kel_syncvar_t *sv);

/* ------------------------------------------------------------------------ */
/* Event checker                                                            */
/* ------------------------------------------------------------------------ */

KEL_API uint32_t kel_evc_create(kel_evc_t **evc, const char *name, orv_dm_t *dm);
KEL_API uint32_t kel_evc_destroy(kel_evc_t **evc);
KEL_API uint32_t kel_evc_reset(kel_evc_t *evc);
KEL_API uint32_t kel_evc_queue_create(kel_evc_queue_t **queue, kel_evc_t *evc, const char *name,
                                      kel_evc_cmp_fn cmp, kel_evc_str_fn str);
KEL_API uint32_t kel_evc_queue_destroy(kel_evc_queue_t **queue);
KEL_API uint32_t kel_evc_queue_reset(kel_evc_queue_t *queue);
KEL_API uint32_t kel_evc_queue_expect(kel_evc_queue_t *queue, const kel_evc_event_t *event, uint32_t count);
KEL_API uint32_t kel_evc_queue_submit_(const char *file, uint32_t line, const char *func, const char *evc_name,
                                       const char *queue_name, const kel_evc_event_t *event);
KEL_API uint32_t kel_evc_dispatch_(const char *file, uint32_t line, const char *func, void *unused,
                                   kel_evc_t *evc, uint32_t timeout_ms);
KEL_API uint32_t kel_evc_flush(kel_evc_t *evc, uint32_t timeout_ms);
KEL_API uint32_t kel_evc_event_cmp(const kel_evc_event_t *expected, const kel_evc_event_t *submitted);
KEL_API const char *kel_evc_event_to_str(const kel_evc_event_t *ev, char *buf, size_t size);

#define kel_evc_dispatch(evc, timeout_ms) kel_evc_dispatch_(__FILE__, __LINE__, __func__, NULL, evc, timeout_ms)
#define kel_evc_queue_submit(evc_name, queue_name, event) \
    kel_evc_queue_submit_(__FILE__, __LINE__, __func__, evc_name, queue_name, event)

#ifdef __cplusplus
}
#endif

#endif /* KEL_H */

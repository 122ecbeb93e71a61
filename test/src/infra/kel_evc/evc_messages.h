/*
 * evc_messages.h - every text the event checker writes, verbatim, as named
 * formats: the trace lines of its three trace buffers, the lines printed
 * through kel_printf and the two failure reports given to kel_log_error_.
 *
 * Formats that begin "[%s]:%d:%s():" take the checker name, the source line
 * of the logging statement and the reporting function's name; formats that
 * begin "[%s:%s]" take the checker name and the queue name. Tests read the
 * buffers back and compare these lines exactly (pointers and source lines
 * aside), so a change here is a change of the checker's output.
 */
#ifndef KEL_EVC_MESSAGES_H
#define KEL_EVC_MESSAGES_H

/* --- trace buffers ----------------------------------------------------- */
#define KEL_EVC_BUF_TRACES "kel.evc.traces"
#define KEL_EVC_BUF_EVENTS "kel.evc.events"
#define KEL_EVC_BUF_ERRORS "kel.evc.errors"
#define KEL_EVC_BUF_TRACES_SIZE 32767u
#define KEL_EVC_BUF_EVENTS_SIZE 32767u
#define KEL_EVC_BUF_ERRORS_SIZE 4096u

/* --- names given to the platform --------------------------------------- */
#define KEL_EVC_DM_NAME "KEL Event Checker ODM"
#define KEL_EVC_WB_NAME "KEL EVC WB"
#define KEL_EVC_WB_HB_NAME "KEL EVC WB HB"
#define KEL_EVC_MUTEX_NAME "kel_evc_glb_mutex"

/* --- process-wide state (traces, events, errors) ----------------------- */
#define KEL_EVC_FMT_TRACES_CREATED "%d:%s():Buffer created, size %u"
#define KEL_EVC_FMT_EVENTS_CREATED "Buffer created, size %u"
#define KEL_EVC_FMT_ERRORS_CREATED "%s():Buffer created, size %u"

/* --- checker lifecycle (traces) ---------------------------------------- */
#define KEL_EVC_FMT_WB_CREATE "[%s]:%d:%s():orv_dm_watched_boolean_create()"
#define KEL_EVC_FMT_WB_CREATE_HB "[%s]:%d:%s():orv_dm_watched_boolean_create() - heartbeat"
#define KEL_EVC_FMT_WB_SET_FALSE_HB "[%s]:%d:%s():orv_dm_watched_boolean_set(false) - heartbeat"
#define KEL_EVC_FMT_WB_SET_FALSE "[%s]:%d:%s():orv_dm_watched_boolean_set(false)"
#define KEL_EVC_FMT_WB_REGISTER_HB "[%s]:%d:%s():orv_dm_watched_boolean_register() - heartbeat"
#define KEL_EVC_FMT_WB_REGISTER "[%s]:%d:%s():orv_dm_watched_boolean_register()"
#define KEL_EVC_FMT_WB_DEREGISTER_HB "[%s]:%d:%s():orv_dm_watched_boolean_deregister() - heartbeat"
#define KEL_EVC_FMT_WB_DEREGISTER "[%s]:%d:%s():orv_dm_watched_boolean_deregister()"
#define KEL_EVC_FMT_WB_DESTROY_HB "[%s]:%d:%s():orv_dm_watched_boolean_destroy() - heartbeat"
#define KEL_EVC_FMT_WB_DESTROY "[%s]:%d:%s():orv_dm_watched_boolean_destroy()"

/* --- checker lifecycle (events) ---------------------------------------- */
#define KEL_EVC_FMT_CREATED "[%s] created, %s ODM %p"
#define KEL_EVC_DM_PASSED "with passed"
#define KEL_EVC_DM_CREATED "and created"
#define KEL_EVC_FMT_DESTROYED "[%s] destroyed"

/* --- lock failures (errors) -------------------------------------------- */
#define KEL_EVC_FMT_LOCK_ERROR "%s():%u:Error locking %s: err=%d"
#define KEL_EVC_FMT_UNLOCK_ERROR "%s():%u:Error unlocking %s err=%d"

/* --- printed through kel_printf ---------------------------------------- */
#define KEL_EVC_FMT_PRINT_LOCK_ERROR "Error locking kel_evc_glb_mutex: err=%d\n"
#define KEL_EVC_FMT_PRINT_UNLOCK_ERROR "Error unlocking kel_evc_glb_mutex: err=%d\n"
#define KEL_EVC_FMT_CLOSE_TRACE "KEL EVC: close(trace): %s\n"
#define KEL_EVC_FMT_CLOSE_EVENT "KEL EVC: close(event): %s\n"
#define KEL_EVC_FMT_CLOSE_ERROR "KEL EVC: close(error): %s\n"

/* --- queues ------------------------------------------------------------ */
#define KEL_EVC_FMT_Q_CREATED "[%s:%s] created with cmp %p str %p"           /* events */
#define KEL_EVC_FMT_Q_DESTROYED "[%s:%s] destroyed"                          /* events */
#define KEL_EVC_FMT_Q_REMOVING "[%s:%s]:%d:%s():Removing %s"                 /* traces */
#define KEL_EVC_FMT_Q_RESET_REMOVING "[%s:%s] Reset; Removing %s"            /* events */
#define KEL_EVC_FMT_Q_TIMEOUT_TRUE "[%s:%s]:%d:%s():evcq_timeout = true"     /* traces */
#define KEL_EVC_FMT_Q_TIMEOUT_FALSE "[%s:%s]:%d:%s():evcq_timeout = false"   /* traces */
#define KEL_EVC_FMT_Q_EXPECT "[%s:%s] Expect %d %s"                          /* events */

/* Default rendering of an event: header, then one group per value byte. */
#define KEL_EVC_FMT_EVENT "Type %u; Len %u; Val (%p)"
#define KEL_EVC_FMT_EVENT_BYTE " %02x"

/* --- submission -------------------------------------------------------- */
#define KEL_EVC_FMT_SUBMIT_NOT_FOUND "[%s:%s] Submit Q not found %s"           /* events */
#define KEL_EVC_FMT_RECEIVED "[%s:%s] Received %u of expected %u %s"          /* events */
#define KEL_EVC_FMT_EVC_DONE "[%s:%s] EVC Done"                               /* events */
#define KEL_EVC_FMT_WB_SET_TRUE "[%s]:%d:%s():orv_dm_watched_boolean_set(true)" /* traces */
#define KEL_EVC_FMT_QUEUE_MATCHED "[%s:%s] Queue matched %s; expect timeout: %c" /* events */
#define KEL_EVC_MATCHED_OTHER "other"
#define KEL_EVC_MATCHED_OK "ok"
#define KEL_EVC_FMT_SUBMIT_MISMATCH "[%s:%s] Submit Mismatch %s"               /* events */

/* --- dispatch and handlers (traces) ------------------------------------ */
#define KEL_EVC_FMT_DISPATCHING "[%s]:%d:%s():dispatching, timeout %ums, unconditional: %c"
#define KEL_EVC_FMT_TIMEOUT "[%s]:%d:%s():Timeout, expected %c, unconditional %c"
#define KEL_EVC_FMT_EXPIRED "[%s]:%d:%s():expired"
#define KEL_EVC_FMT_WB_GET "[%s]:%d:%s():orv_dm_watched_boolean_get(%s)"
#define KEL_EVC_FMT_Q_TIMEOUT_IS "[%s:%s]:%d:%s():evcq_timeout == %s"

/* --- failure reports (kel_log_error_) ---------------------------------- */
#define KEL_EVC_FMT_REPORT_MISMATCH "[%s:%s] Expected: %s\n     [%s:%s] Received: %s"
#define KEL_EVC_FMT_REPORT_TIMEOUT "[%s:%s] Expected: %s\n     [%s:%s] Received: Timeout of %u ms"
/* Expected texts of a mismatching queue that holds no expectation. */
#define KEL_EVC_EXPECTED_TIMEOUT "timeout"
#define KEL_EVC_EXPECTED_NOTHING "nothing!?"

#endif

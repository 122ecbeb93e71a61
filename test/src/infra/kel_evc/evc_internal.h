/*
 * evc_internal.h - the event checker's records and the helpers its files
 * share: the process-wide state block, the checker, the queue with its
 * expectations and mismatch record, the composite result codes, the lock
 * helpers and the trace-line macro.
 *
 * One mutex, kel_evc_glb_mutex, guards everything declared here. Functions
 * whose name ends in _locked, the walkers and the destructor are called
 * with it held; the public operations take it themselves; the dispatcher's
 * handlers take it when the dispatcher runs them.
 */
#ifndef KEL_EVC_INTERNAL_H
#define KEL_EVC_INTERNAL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "evc_messages.h"
#include "kel.h"
#include "orv.h"
#include "user_callback.h"

/* --- result codes ------------------------------------------------------ */

/* The fatal class or'ed with an errno value (or a platform result). */
#define KEL_EVC_CERR_FATAL(e) (KEL_EVC_FATAL | static_cast<uint32_t>(e))
/* Internal result of the queue walks: some queue still holds expectations. */
#define KEL_EVC_E_NOTEMPTY 0xA0000027u

/* --- records ----------------------------------------------------------- */

/* The process-wide state; exists while at least one checker exists. */
struct kel_evc_glb_t {
    orv_avl_tree_t registry;  /* every checker, by name (kel_evc_name_cmp) */
    orv_dt_buffer_t *traces;  /* "kel.evc.traces": internal steps */
    orv_dt_buffer_t *events;  /* "kel.evc.events": what happened to events */
    orv_dt_buffer_t *errors;  /* "kel.evc.errors": lock failures */
};

struct kel_evc_s {
    orv_avl_node_t evc_node;   /* in registry; first, see kel_evc_named_t */
    char *evc_name;            /* own copy */
    orv_dm_t *evc_dm;          /* runs the handlers during a dispatch */
    uint8_t evc_dm_owned;      /* 1: created here, destroyed with the checker */
    uint8_t evc_expired;       /* the watchdog of the running dispatch fired */
    orv_dm_wb_t *evc_dm_wb_hb; /* heartbeat: a match left work on its queue */
    orv_dm_wb_t *evc_dm_wb;    /* done signal: all queues done, or a mismatch */
    uint8_t evc_done;          /* evc_dm_wb as its handler last read it */
    orv_avl_tree_t evc_queues; /* kel_evc_queue_t by name (kel_evc_name_cmp) */
};

/* One expected event and how many times in a row it must arrive. */
struct kel_evc_expect_t {
    orv_queue_link_t link;  /* in the queue's evcq_expected; first */
    uint32_t count;         /* never 0 */
    uint32_t received;      /* matched so far */
    kel_evc_event_t event;  /* own copy; val owned by the record */
};

/* The last mismatching submission on a queue; all zero when there is none. */
struct kel_evc_mismatch_t {
    const char *file;       /* submitting site (not copied); set exactly when recorded */
    uint32_t line;
    const char *func;       /* not copied */
    kel_evc_event_t event;  /* own copy; val owned by the queue */
};

struct kel_evc_queue_s {
    orv_avl_node_t evcq_node;   /* in evc_queues; first, see kel_evc_named_t */
    char *evcq_name;            /* own copy, unique within the checker */
    kel_evc_t *evcq_evc;        /* the owning checker */
    uint8_t evcq_timeout;       /* 1: silence expected after the listed events */
    kel_evc_cmp_fn evcq_cmp;
    kel_evc_str_fn evcq_str;
    kel_evc_mismatch_t mismatch;
    orv_queue_t evcq_expected;  /* kel_evc_expect_t, head first */
};

/* What checkers and queues share, so that one comparator orders both trees
 * and a search key is a record with only its name set. */
struct kel_evc_named_t {
    orv_avl_node_t node;
    char *name;
};
static_assert(offsetof(kel_evc_s, evc_name) == offsetof(kel_evc_named_t, name), "checker name");
static_assert(offsetof(kel_evc_queue_s, evcq_name) == offsetof(kel_evc_named_t, name), "queue name");

/* Texts of events are rendered into buffers of this size, with size - 1. */
#define KEL_EVC_TEXT_SIZE 256
#define KEL_EVC_TEXT_LIMIT 255

/* --- process-wide state (global.cpp, instance.cpp) --------------------- */

extern pthread_mutex_t kel_evc_glb_mutex;
extern kel_evc_glb_t *kel_evc_glb;

int kel_evc_name_cmp(const void *a, const void *b);
/* Creates the state block and its buffers while there is none (mutex held). */
uint32_t kel_evc_glb_init(void);
/* Releases the state block when no checker is left (takes the mutex). */
uint32_t kel_evc_glb_try_destroy(void);

/* Lock and unlock kel_evc_glb_mutex; a failure is written to the errors
 * buffer with the caller's name and line and otherwise ignored. The result
 * is pthread's. */
int kel__evc_lock(const char *func, unsigned line);
int kel__evc_unlock(const char *func, unsigned line);
#define KEL_EVC_LOCK() kel__evc_lock(__func__, __LINE__)
#define KEL_EVC_UNLOCK() kel__evc_unlock(__func__, __LINE__)

/* Finds a checker by name: 0, or the tree's result (mutex held). */
uint32_t kel__evc_find(const char *name, kel_evc_t **evc);

/* One trace line: each logging statement owns its filter word, all bits set,
 * so every level is written until somebody narrows it. */
#define KEL_EVC_LOG(buf, ...)                                              \
    do {                                                                   \
        static uint32_t kel_evc_filter_ = 0xFFFFFFFFu;                     \
        _orv_dt_log_filter_adv((buf), &kel_evc_filter_, 0, 0, __VA_ARGS__); \
    } while (0)
#define KEL_EVC_TRACE(...) KEL_EVC_LOG(kel_evc_glb->traces, __VA_ARGS__)
#define KEL_EVC_EVENT(...) KEL_EVC_LOG(kel_evc_glb->events, __VA_ARGS__)

/* --- queues (queue.cpp) ------------------------------------------------ */

uint32_t kel_evc_event_cp(kel_evc_event_t *dst, const kel_evc_event_t *src);
/* The queue's comparator and renderer, called with the mutex held inside a
 * guard (user_callback.h): a check failing in them leaves the callback only,
 * and the public operation makes the failure's jump once it has released
 * the mutex (kel__cb_settle as its last step). After such a failure the
 * operation calls no more user code: the comparison reads as a mismatch,
 * the rendering is the default one. */
uint32_t kel__evc_cmp(const kel_evc_queue_t *queue, const kel_evc_event_t *expected,
                      const kel_evc_event_t *submitted);
const char *kel__evc_str(const kel_evc_queue_t *queue, const kel_evc_event_t *event, char (&text)[KEL_EVC_TEXT_SIZE]);
/* Removes every expectation and the mismatch record; silence expected. */
void kel_evc_queue_reset_locked(kel_evc_queue_t *queue);
/* Destructor for orv_avl_tree_destroy: reset, then free with its name. */
void kel_evc_queue_free(void *record, void *arg);
/* Walker: resets the queue and goes on. */
uint32_t kel_evc_queue_reset_avl_walker(void *record, void *arg);
/* Finds a queue of evc by name: 0, or the tree's result (mutex held). */
uint32_t kel__evc_queue_find(kel_evc_t *evc, const char *name, kel_evc_queue_t **queue);

/* --- dispatch (dispatch.cpp) ------------------------------------------- */

uint32_t kel_evc_dispatch_internal(kel_evc_t *evc, uint32_t timeout_ms, bool unconditional);
void kel_evc_wd_handler(orv_dm_t *dm, orv_dm_timer_t *timer, void *ctx);
void kel_evc_wb_handler(orv_dm_wb_t *wb, void *ctx);
/* Walker, arg a u8 flag: sets the flag for each visited queue expecting
 * silence; stops with KEL_EVC_E_NOTEMPTY at the first holding expectations. */
uint32_t kel_evc_queue_empty_avl_walker(void *record, void *arg);
/* Walker, arg a queue pointer: stops (1) at the first queue with a mismatch
 * record; otherwise leaves the last queue holding expectations. */
uint32_t kel_evc_queue_find_avl_walker(void *record, void *arg);

#endif

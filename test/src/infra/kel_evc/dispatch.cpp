/*
 * dispatch.cpp - waiting for the outcome: the dispatch loop with its
 * watchdog, the handlers the dispatcher runs, the queue walks that judge
 * the outcome, the failure reports, and the flush of late events.
 *
 * The dispatching thread holds kel_evc_glb_mutex except while it sleeps in
 * the dispatcher or runs its handlers; the handlers take the mutex
 * themselves. It never polls: it blocks in orv_dm_wait until a watched
 * boolean is set or the watchdog expires. Every pass of the loop re-arms
 * the watchdog to the full time-out, so each heartbeat (a match that left
 * work on its queue) restarts the time-out.
 */
#include <time.h>

#include "evc_internal.h"

namespace {

/* Runs passes until the done signal (unless unconditional) or the watchdog
 * ends the loop; 0, or the dispatcher's result unchanged. Called and left
 * with the mutex held. */
uint32_t run_loop(kel_evc_t *evc, orv_dm_timer_t *timer, const struct timespec *full, bool unconditional)
{
    orv_dm_t *dm = evc->evc_dm;
    for (;;) {
        if (evc->evc_expired)
            return 0;
        if (!unconditional && evc->evc_done)
            return 0;
        uint32_t rc = 0;
        if (timer != nullptr)
            rc = orv_dm_timer_settime(dm, timer, full);
        KEL_EVC_UNLOCK();
        if (rc == 0 && timer != nullptr) {
            struct timespec left;
            rc = orv_dm_timer_gettime(dm, timer, &left);
        }
        if (rc == 0)
            rc = orv_dm_wait(dm);
        if (rc == 0)
            rc = orv_dm_dispatch(dm);
        KEL_EVC_LOCK();
        if (rc != 0)
            return rc;
    }
}

/* Any queue with a mismatch record? (mutex held) */
bool mismatch_recorded(kel_evc_t *evc)
{
    kel_evc_queue_t *queue = nullptr;
    return orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_find_avl_walker, &queue) == 1;
}

/* The outcome once the loop has ended normally (mutex held). */
uint32_t judge(kel_evc_t *evc, bool unconditional)
{
    uint8_t silence = 0;
    uint32_t walk = orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_empty_avl_walker, &silence);
    if (walk == KEL_EVC_E_NOTEMPTY)
        return evc->evc_done ? KEL_EVC_E_BADMSG : KEL_EVC_E_TIMEDOUT;
    /* An event that arrived where nothing was expected fails the dispatch,
     * also when every queue is otherwise satisfied. A flush expects such
     * events and discards them. */
    if (walk == 0 && !unconditional && mismatch_recorded(evc))
        return KEL_EVC_E_BADMSG;
    if (!evc->evc_expired)
        return walk;
    KEL_EVC_TRACE(KEL_EVC_FMT_TIMEOUT, evc->evc_name, __LINE__, "kel_evc_dispatch_internal", silence ? 'T' : 'F',
                  unconditional ? 'T' : 'F');
    if (silence || unconditional)
        return orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_reset_avl_walker, nullptr);
    return KEL_EVC_E_TIME;
}

/* Reports a failed dispatch through kel_log_error_: the queue with a
 * mismatch record at the submitting site, else the last queue still
 * holding expectations at the dispatch site (mutex held). */
void report(kel_evc_t *evc, const char *file, uint32_t line, const char *func, uint32_t timeout_ms)
{
    kel_evc_queue_t *queue = nullptr;
    uint32_t walk = orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_find_avl_walker, &queue);
    if (queue == nullptr)
        return;
    char expected[KEL_EVC_TEXT_SIZE];
    char received[KEL_EVC_TEXT_SIZE];
    const kel_evc_expect_t *head = static_cast<const kel_evc_expect_t *>(orv_queue_peek_head(&queue->evcq_expected));
    const char *expected_text;
    if (head != nullptr)
        expected_text = kel__evc_str(queue, &head->event, expected);
    else
        expected_text = queue->evcq_timeout ? KEL_EVC_EXPECTED_TIMEOUT : KEL_EVC_EXPECTED_NOTHING;
    if (walk == 1) {
        const kel_evc_mismatch_t *m = &queue->mismatch;
        kel_log_error_(m->file, m->func, static_cast<int>(m->line), KEL_EVC_FMT_REPORT_MISMATCH, evc->evc_name,
                       queue->evcq_name, expected_text, evc->evc_name, queue->evcq_name,
                       kel__evc_str(queue, &m->event, received));
    } else {
        kel_log_error_(file, func, static_cast<int>(line), KEL_EVC_FMT_REPORT_TIMEOUT, evc->evc_name,
                       queue->evcq_name, expected_text, evc->evc_name, queue->evcq_name, timeout_ms);
    }
}

} // namespace

uint32_t kel_evc_dispatch_internal(kel_evc_t *evc, uint32_t timeout_ms, bool unconditional)
{
    if (evc == nullptr)
        return KEL_EVC_E_INVAL;
    KEL_EVC_TRACE(KEL_EVC_FMT_DISPATCHING, evc->evc_name, __LINE__, __func__, timeout_ms, unconditional ? 'T' : 'F');

    struct timespec full;
    full.tv_sec = static_cast<time_t>(timeout_ms / 1000);
    full.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
    orv_dm_timer_t *timer = nullptr;
    uint32_t rc = 0;
    if (timeout_ms != 0)
        rc = orv_dm_timer_register(evc->evc_dm, &timer, kel_evc_wd_handler, evc);
    if (rc == 0)
        rc = run_loop(evc, timer, &full, unconditional);
    /* The watchdog is released on every way out, also after a failure. */
    if (timer != nullptr) {
        uint32_t released = orv_dm_timer_register(evc->evc_dm, &timer, nullptr, nullptr);
        if (rc == 0)
            rc = released;
    }
    if (rc == 0)
        rc = judge(evc, unconditional);

    evc->evc_expired = 0;
    evc->evc_done = 0;
    uint32_t cleared = orv_dm_watched_boolean_set(evc->evc_dm_wb, false);
    KEL_EVC_TRACE(KEL_EVC_FMT_WB_SET_FALSE, evc->evc_name, __LINE__, __func__);
    return cleared != 0 ? KEL_EVC_CERR_FATAL(cleared) : rc;
}

void kel_evc_wd_handler(orv_dm_t *dm, orv_dm_timer_t *timer, void *ctx)
{
    (void)dm;
    (void)timer;
    kel_evc_t *evc = static_cast<kel_evc_t *>(ctx);
    KEL_EVC_LOCK();
    evc->evc_expired = 1;
    KEL_EVC_TRACE(KEL_EVC_FMT_EXPIRED, evc->evc_name, __LINE__, __func__);
    KEL_EVC_UNLOCK();
}

void kel_evc_wb_handler(orv_dm_wb_t *wb, void *ctx)
{
    kel_evc_t *evc = static_cast<kel_evc_t *>(ctx);
    KEL_EVC_LOCK();
    if (wb == evc->evc_dm_wb) {
        bool value = false;
        orv_dm_watched_boolean_get(wb, &value);
        evc->evc_done = value ? 1 : 0;
        KEL_EVC_TRACE(KEL_EVC_FMT_WB_GET, evc->evc_name, __LINE__, __func__, value ? "true" : "false");
    } else {
        /* The heartbeat's only job was to make the loop pass again. */
        orv_dm_watched_boolean_set(wb, false);
    }
    KEL_EVC_UNLOCK();
}

uint32_t kel_evc_queue_empty_avl_walker(void *record, void *arg)
{
    kel_evc_queue_t *queue = static_cast<kel_evc_queue_t *>(record);
    uint8_t *silence = static_cast<uint8_t *>(arg);
    KEL_EVC_TRACE(KEL_EVC_FMT_Q_TIMEOUT_IS, queue->evcq_evc->evc_name, queue->evcq_name, __LINE__, __func__,
                  queue->evcq_timeout ? "true" : "false");
    if (queue->evcq_timeout)
        *silence = 1;
    return orv_queue_empty(&queue->evcq_expected) ? 0 : KEL_EVC_E_NOTEMPTY;
}

uint32_t kel_evc_queue_find_avl_walker(void *record, void *arg)
{
    kel_evc_queue_t *queue = static_cast<kel_evc_queue_t *>(record);
    kel_evc_queue_t **found = static_cast<kel_evc_queue_t **>(arg);
    if (queue->mismatch.file != nullptr) {
        *found = queue;
        return 1;
    }
    if (!orv_queue_empty(&queue->evcq_expected))
        *found = queue;
    return 0;
}

extern "C" {

uint32_t kel_evc_dispatch_(const char *file, uint32_t line, const char *func, void *unused, kel_evc_t *evc,
                           uint32_t timeout_ms)
{
    (void)unused;
    KEL_EVC_LOCK();
    if (evc == nullptr) {
        KEL_EVC_UNLOCK();
        return KEL_EVC_E_INVAL;
    }
    uint32_t rc = kel_evc_dispatch_internal(evc, timeout_ms, false);
    if (rc != 0)
        report(evc, file, line, func, timeout_ms);
    orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_reset_avl_walker, nullptr);
    KEL_EVC_UNLOCK();
    kel__cb_settle();
    return rc;
}

uint32_t kel_evc_flush(kel_evc_t *evc, uint32_t timeout_ms)
{
    /* Without a time-out nothing could end a flush. */
    if (evc == nullptr || timeout_ms == 0)
        return KEL_EVC_E_INVAL;
    KEL_EVC_LOCK();
    uint32_t rc = orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_reset_avl_walker, nullptr);
    if (rc == 0)
        rc = kel_evc_dispatch_internal(evc, timeout_ms, true);
    if (rc == 0)
        rc = orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_reset_avl_walker, nullptr);
    KEL_EVC_UNLOCK();
    kel__cb_settle();
    return rc;
}

} // extern "C"

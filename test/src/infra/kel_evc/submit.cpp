/*
 * submit.cpp - event submission: the one call the code under test makes.
 *
 * The submitter names the checker and the queue, so it needs no handle and
 * may run on any thread. Its event is compared with the head expectation of
 * the queue: a match is counted and may complete the expectation, the queue
 * and the whole checker; anything else is recorded as the queue's mismatch
 * with the submitting site. The waiting dispatcher learns of it through the
 * two watched booleans only: submitting never waits for the dispatcher.
 */
#include <stdlib.h>

#include "evc_internal.h"

namespace {

/* Raises the done signal (mutex held): 0 or the fatal code of the set. */
uint32_t signal_done(kel_evc_t *evc)
{
    uint32_t rc = orv_dm_watched_boolean_set(evc->evc_dm_wb, true);
    KEL_EVC_TRACE(KEL_EVC_FMT_WB_SET_TRUE, evc->evc_name, __LINE__, "kel_evc_queue_submit_");
    return rc != 0 ? KEL_EVC_CERR_FATAL(rc) : 0;
}

/* Counts a matching event against the head expectation (mutex held). */
uint32_t matched(kel_evc_t *evc, kel_evc_queue_t *queue, kel_evc_expect_t *head, const kel_evc_event_t *event)
{
    char text[KEL_EVC_TEXT_SIZE];
    head->received++;
    KEL_EVC_EVENT(KEL_EVC_FMT_RECEIVED, evc->evc_name, queue->evcq_name, head->received, head->count,
                  kel__evc_str(queue, event, text));
    if (head->received == head->count) {
        orv_queue_dequeue(&queue->evcq_expected);
        free(const_cast<void *>(head->event.val));
        free(head);
    }

    if (orv_queue_empty(&queue->evcq_expected) && queue->evcq_timeout == 0) {
        /* This queue is done: is the whole checker? */
        uint8_t silence = 0;
        uint32_t walk = orv_avl_tree_walk(&evc->evc_queues, kel_evc_queue_empty_avl_walker, &silence);
        if (walk != 0) {
            KEL_EVC_EVENT(KEL_EVC_FMT_QUEUE_MATCHED, evc->evc_name, queue->evcq_name, KEL_EVC_MATCHED_OTHER,
                          silence ? 't' : 'f');
            return 0;
        }
        if (silence) {
            /* The dispatch ends at its time-out, which no heartbeat re-arms. */
            KEL_EVC_EVENT(KEL_EVC_FMT_QUEUE_MATCHED, evc->evc_name, queue->evcq_name, KEL_EVC_MATCHED_OK, 't');
            return 0;
        }
        KEL_EVC_EVENT(KEL_EVC_FMT_EVC_DONE, evc->evc_name, queue->evcq_name);
        return signal_done(evc);
    }

    /* Work remains on this queue: the heartbeat restarts the time-out. */
    uint32_t rc = orv_dm_watched_boolean_set(evc->evc_dm_wb_hb, true);
    return rc != 0 ? KEL_EVC_CERR_FATAL(rc) : 0;
}

/* Records a mismatching event with its site and signals it (mutex held). */
uint32_t mismatched(kel_evc_t *evc, kel_evc_queue_t *queue, const kel_evc_event_t *event, const char *file,
                    uint32_t line, const char *func)
{
    char text[KEL_EVC_TEXT_SIZE];
    KEL_EVC_EVENT(KEL_EVC_FMT_SUBMIT_MISMATCH, evc->evc_name, queue->evcq_name,
                  kel__evc_str(queue, event, text));
    /* The later mismatch replaces the earlier one. */
    free(const_cast<void *>(queue->mismatch.event.val));
    queue->mismatch.event.val = nullptr;
    uint32_t rc = kel_evc_event_cp(&queue->mismatch.event, event);
    if (rc != 0)
        return rc;
    queue->mismatch.file = file;
    queue->mismatch.line = line;
    queue->mismatch.func = func;
    rc = signal_done(evc);
    return rc != 0 ? rc : KEL_EVC_W_MISMATCH;
}

} // namespace

extern "C" uint32_t kel_evc_queue_submit_(const char *file, uint32_t line, const char *func, const char *evc_name,
                                          const char *queue_name, const kel_evc_event_t *event)
{
    if (file == nullptr || func == nullptr || evc_name == nullptr || queue_name == nullptr || event == nullptr ||
        (event->len == 0) != (event->val == nullptr))
        return KEL_EVC_E_INVAL;
    KEL_EVC_LOCK();
    uint32_t rc = KEL_EVC_E_NOENT;
    if (kel_evc_glb != nullptr) {
        kel_evc_t *evc = nullptr;
        kel_evc_queue_t *queue = nullptr;
        if (kel__evc_find(evc_name, &evc) != 0 || kel__evc_queue_find(evc, queue_name, &queue) != 0) {
            /* No queue whose rendering could be used: the default renders. */
            char text[KEL_EVC_TEXT_SIZE];
            KEL_EVC_EVENT(KEL_EVC_FMT_SUBMIT_NOT_FOUND, evc_name, queue_name,
                          kel_evc_event_to_str(event, text, KEL_EVC_TEXT_LIMIT));
        } else {
            kel_evc_expect_t *head = static_cast<kel_evc_expect_t *>(orv_queue_peek_head(&queue->evcq_expected));
            if (head != nullptr && kel__evc_cmp(queue, &head->event, event) == 0)
                rc = matched(evc, queue, head, event);
            else
                rc = mismatched(evc, queue, event, file, line, func);
        }
    }
    KEL_EVC_UNLOCK();
    kel__cb_settle();
    return rc;
}

/*
 * queue.cpp - event queues and their expectations: creating, destroying
 * and resetting queues, appending expected events with their counts or the
 * expectation of silence, copying events, and the default comparator and
 * rendering of events.
 *
 * A queue's state is read from two things only: whether its FIFO holds
 * expectations and its evcq_timeout flag (1: silence expected once the
 * listed events have arrived). Submissions consume the FIFO from the head;
 * every dispatch ends by resetting all queues to idle.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "evc_internal.h"

namespace {

/* The event's val must be present exactly when it has bytes. */
bool event_consistent(const kel_evc_event_t *ev)
{
    return (ev->len == 0) == (ev->val == nullptr);
}

void free_expect(kel_evc_expect_t *exp)
{
    free(const_cast<void *>(exp->event.val));
    free(exp);
}

} // namespace

uint32_t kel_evc_event_cp(kel_evc_event_t *dst, const kel_evc_event_t *src)
{
    dst->type = src->type;
    dst->len = src->len;
    dst->val = nullptr;
    if (src->len == 0)
        return 0;
    void *copy = malloc(src->len);
    if (copy == nullptr)
        return KEL_EVC_E_NOMEM;
    memcpy(copy, src->val, src->len);
    dst->val = copy;
    return 0;
}

uint32_t kel__evc_cmp(const kel_evc_queue_t *queue, const kel_evc_event_t *expected,
                      const kel_evc_event_t *submitted)
{
    if (queue->evcq_cmp == kel_evc_event_cmp)
        return kel_evc_event_cmp(expected, submitted);
    if (kel__cb_pending())
        return 1;
    kel_cb_guard_t guard;
    volatile uint32_t rc = 1;
    kel__cb_enter(&guard);
    if (setjmp(guard.env) == 0)
        rc = queue->evcq_cmp(expected, submitted);
    kel__cb_leave(&guard);
    return rc;
}

const char *kel__evc_str(const kel_evc_queue_t *queue, const kel_evc_event_t *event, char (&text)[KEL_EVC_TEXT_SIZE])
{
    if (queue->evcq_str == kel_evc_event_to_str || kel__cb_pending())
        return kel_evc_event_to_str(event, text, KEL_EVC_TEXT_LIMIT);
    kel_cb_guard_t guard;
    const char *volatile out = nullptr;
    volatile bool returned = false;
    kel__cb_enter(&guard);
    if (setjmp(guard.env) == 0) {
        out = queue->evcq_str(event, text, KEL_EVC_TEXT_LIMIT);
        returned = true;
    }
    kel__cb_leave(&guard);
    return returned ? out : kel_evc_event_to_str(event, text, KEL_EVC_TEXT_LIMIT);
}

void kel_evc_queue_reset_locked(kel_evc_queue_t *queue)
{
    const char *evc_name = queue->evcq_evc->evc_name;
    kel_evc_expect_t *exp;
    while ((exp = static_cast<kel_evc_expect_t *>(orv_queue_dequeue(&queue->evcq_expected))) != nullptr) {
        char text[KEL_EVC_TEXT_SIZE];
        KEL_EVC_TRACE(KEL_EVC_FMT_Q_REMOVING, evc_name, queue->evcq_name, __LINE__, __func__,
                      kel__evc_str(queue, &exp->event, text));
        KEL_EVC_EVENT(KEL_EVC_FMT_Q_RESET_REMOVING, evc_name, queue->evcq_name,
                      kel__evc_str(queue, &exp->event, text));
        free_expect(exp);
    }
    queue->evcq_timeout = 1;
    KEL_EVC_TRACE(KEL_EVC_FMT_Q_TIMEOUT_TRUE, evc_name, queue->evcq_name, __LINE__, __func__);
    free(const_cast<void *>(queue->mismatch.event.val));
    memset(&queue->mismatch, 0, sizeof queue->mismatch);
}

void kel_evc_queue_free(void *record, void *arg)
{
    (void)arg;
    kel_evc_queue_t *queue = static_cast<kel_evc_queue_t *>(record);
    kel_evc_queue_reset_locked(queue);
    free(queue->evcq_name);
    free(queue);
}

uint32_t kel_evc_queue_reset_avl_walker(void *record, void *arg)
{
    (void)arg;
    kel_evc_queue_reset_locked(static_cast<kel_evc_queue_t *>(record));
    return 0;
}

uint32_t kel__evc_queue_find(kel_evc_t *evc, const char *name, kel_evc_queue_t **queue)
{
    kel_evc_queue_t key;
    memset(&key, 0, sizeof key);
    key.evcq_name = const_cast<char *>(name);
    orv_avl_node_t *found = nullptr;
    uint32_t rc = orv_avl_search(&evc->evc_queues, &key, &found);
    *queue = rc == 0 ? reinterpret_cast<kel_evc_queue_t *>(found) : nullptr;
    return rc;
}

extern "C" {

uint32_t kel_evc_event_cmp(const kel_evc_event_t *expected, const kel_evc_event_t *submitted)
{
    if (expected == nullptr || submitted == nullptr)
        return expected == submitted ? 0 : 1;
    if (expected->type != submitted->type)
        return 1;
    if (expected->len != submitted->len)
        return 2;
    if (expected->len == 0)
        return 0;
    return memcmp(expected->val, submitted->val, expected->len) != 0 ? 3 : 0;
}

const char *kel_evc_event_to_str(const kel_evc_event_t *ev, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return buf;
    buf[0] = '\0';
    if (ev == nullptr)
        return buf;
    int n = snprintf(buf, size, KEL_EVC_FMT_EVENT, ev->type, ev->len, ev->val);
    size_t used = n < 0 ? 0 : static_cast<size_t>(n);
    if (used >= size)
        return buf;
    const unsigned char *bytes = static_cast<const unsigned char *>(ev->val);
    for (uint32_t i = 0; bytes != nullptr && i < ev->len && used < size - 1; i++) {
        /* snprintf cuts the last group short and terminates the text. */
        n = snprintf(buf + used, size - used, KEL_EVC_FMT_EVENT_BYTE, bytes[i]);
        used += n < 0 ? 0 : static_cast<size_t>(n);
    }
    return buf;
}

uint32_t kel_evc_queue_create(kel_evc_queue_t **queue, kel_evc_t *evc, const char *name, kel_evc_cmp_fn cmp,
                              kel_evc_str_fn str)
{
    if (queue == nullptr || evc == nullptr || name == nullptr)
        return KEL_EVC_E_INVAL;
    KEL_EVC_LOCK();
    *queue = nullptr;
    kel_evc_queue_t *existing = nullptr;
    uint32_t rc = kel__evc_queue_find(evc, name, &existing);
    if (rc == 0) {
        rc = KEL_EVC_E_EXIST;
    } else if ((rc & ORV_AVL_CODE_MASK) == EEXIST) {
        rc = 0;
        kel_evc_queue_t *q = static_cast<kel_evc_queue_t *>(calloc(1, sizeof *q));
        if (q == nullptr)
            rc = KEL_EVC_E_NOMEM;
        if (rc == 0) {
            q->evcq_name = strdup(name);
            if (q->evcq_name == nullptr) {
                free(q);
                rc = KEL_EVC_E_NOMEM;
            }
        }
        if (rc == 0) {
            q->evcq_evc = evc;
            q->evcq_timeout = 1;
            q->evcq_cmp = cmp != nullptr ? cmp : kel_evc_event_cmp;
            q->evcq_str = str != nullptr ? str : kel_evc_event_to_str;
            orv_queue_init(&q->evcq_expected, 0);
            rc = orv_avl_init(&q->evcq_node);
            if (rc == 0)
                rc = orv_avl_insert(&evc->evc_queues, &q->evcq_node);
            if (rc != 0) {
                free(q->evcq_name);
                free(q);
            }
        }
        if (rc == 0) {
            *queue = q;
            /* The callbacks as passed: NULL shows that the defaults are used. */
            KEL_EVC_EVENT(KEL_EVC_FMT_Q_CREATED, evc->evc_name, q->evcq_name, reinterpret_cast<void *>(cmp),
                          reinterpret_cast<void *>(str));
        }
    }
    KEL_EVC_UNLOCK();
    return rc;
}

uint32_t kel_evc_queue_destroy(kel_evc_queue_t **handle)
{
    if (handle == nullptr || *handle == nullptr)
        return KEL_EVC_E_INVAL;
    kel_evc_queue_t *queue = *handle;
    KEL_EVC_LOCK();
    kel_evc_t *evc = queue->evcq_evc;
    orv_avl_node_t *found = nullptr;
    uint32_t rc = orv_avl_search(&evc->evc_queues, queue, &found);
    if (rc == 0 && found != &queue->evcq_node)
        rc = KEL_EVC_E_NOENT;
    if (rc == 0) {
        kel_evc_queue_reset_locked(queue);
        rc = orv_avl_delete(&evc->evc_queues, &queue->evcq_node, 0);
    }
    if (rc == 0) {
        KEL_EVC_EVENT(KEL_EVC_FMT_Q_DESTROYED, evc->evc_name, queue->evcq_name);
        free(queue->evcq_name);
        free(queue);
        *handle = nullptr;
    }
    KEL_EVC_UNLOCK();
    kel__cb_settle();
    return rc;
}

uint32_t kel_evc_queue_reset(kel_evc_queue_t *queue)
{
    if (queue == nullptr)
        return KEL_EVC_E_INVAL;
    KEL_EVC_LOCK();
    kel_evc_queue_reset_locked(queue);
    KEL_EVC_UNLOCK();
    kel__cb_settle();
    return 0;
}

uint32_t kel_evc_queue_expect(kel_evc_queue_t *queue, const kel_evc_event_t *event, uint32_t count)
{
    KEL_EVC_LOCK();
    uint32_t rc = 0;
    if (queue == nullptr) {
        rc = KEL_EVC_E_INVAL;
    } else if (event == nullptr) {
        const bool listed = !orv_queue_empty(&queue->evcq_expected);
        if (count != 0) {
            rc = KEL_EVC_E_INVAL;
        } else if (listed && queue->evcq_timeout) {
            rc = KEL_EVC_E_ALREADY;
        } else {
            queue->evcq_timeout = 1;
            KEL_EVC_TRACE(KEL_EVC_FMT_Q_TIMEOUT_TRUE, queue->evcq_evc->evc_name, queue->evcq_name, __LINE__,
                          __func__);
        }
    } else if (count == 0 || !event_consistent(event)) {
        rc = KEL_EVC_E_INVAL;
    } else if (!orv_queue_empty(&queue->evcq_expected) && queue->evcq_timeout) {
        rc = KEL_EVC_E_ALREADY;
    } else {
        kel_evc_expect_t *exp = static_cast<kel_evc_expect_t *>(calloc(1, sizeof *exp));
        if (exp == nullptr) {
            rc = KEL_EVC_E_NOMEM;
        } else {
            exp->count = count;
            rc = kel_evc_event_cp(&exp->event, event);
            if (rc != 0)
                free(exp);
        }
        if (rc == 0) {
            const char *evc_name = queue->evcq_evc->evc_name;
            if (orv_queue_empty(&queue->evcq_expected)) {
                queue->evcq_timeout = 0;
                KEL_EVC_TRACE(KEL_EVC_FMT_Q_TIMEOUT_FALSE, evc_name, queue->evcq_name, __LINE__, __func__);
            }
            orv_queue_enqueue(&queue->evcq_expected, exp);
            char text[KEL_EVC_TEXT_SIZE];
            /* The count is printed signed, as the caller may have meant it. */
            KEL_EVC_EVENT(KEL_EVC_FMT_Q_EXPECT, evc_name, queue->evcq_name, static_cast<int>(count),
                          kel__evc_str(queue, event, text));
        }
    }
    KEL_EVC_UNLOCK();
    kel__cb_settle();
    return rc;
}

} // extern "C"

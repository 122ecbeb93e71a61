/*
 * queue.cpp - the intrusive FIFO queue.
 *
 * A queued record begins with an orv_queue_link_t, so queueing never
 * allocates. The queue keeps head, tail and a count; an all-zero queue is
 * already a valid empty queue, which lets records embed queues without an
 * explicit init. Callers lock around a shared queue.
 */
#include "orv.h"

void orv_queue_init(orv_queue_t *q, uint32_t flags)
{
    if (q == nullptr)
        return;
    q->head = nullptr;
    q->tail = nullptr;
    q->size = 0;
    q->flags = flags;
}

bool orv_queue_enqueue(orv_queue_t *q, void *elem)
{
    if (q == nullptr || elem == nullptr)
        return false;
    orv_queue_link_t *link = static_cast<orv_queue_link_t *>(elem);
    link->next = nullptr;
    if (q->tail == nullptr)
        q->head = link;
    else
        q->tail->next = link;
    q->tail = link;
    q->size++;
    return true;
}

void *orv_queue_dequeue(orv_queue_t *q)
{
    if (q == nullptr || q->head == nullptr)
        return nullptr;
    orv_queue_link_t *link = q->head;
    q->head = link->next;
    if (q->head == nullptr)
        q->tail = nullptr;
    link->next = nullptr;
    q->size--;
    return link;
}

void *orv_queue_peek_head(const orv_queue_t *q)
{
    return q == nullptr ? nullptr : q->head;
}

void *orv_queue_get_next(const orv_queue_t *q, const void *elem)
{
    if (q == nullptr)
        return nullptr;
    if (elem == nullptr)
        return q->head;
    return static_cast<const orv_queue_link_t *>(elem)->next;
}

bool orv_queue_empty(const orv_queue_t *q)
{
    return q == nullptr || q->head == nullptr;
}

uint32_t orv_queue_size(const orv_queue_t *q)
{
    return q == nullptr ? 0 : q->size;
}

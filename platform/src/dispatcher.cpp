/*
 * dispatcher.cpp - the dispatcher with its one-shot timers and watched
 * booleans.
 *
 * A dispatcher is a mutex, a condition variable on CLOCK_MONOTONIC, the
 * lists of its timers and registered booleans, a ready list and a batch
 * list. orv_dm_wait never polls: it sleeps on the condition variable, with
 * a timed wait up to the nearest armed timer's deadline or an untimed wait
 * when no timer is armed, and it is woken by the only events that can make
 * the dispatcher ready earlier: a registered boolean set to true, or a timer
 * armed to an earlier deadline.
 *
 * orv_dm_dispatch moves everything ready (set booleans, expired timers) into
 * the batch and then runs the batch one handler at a time with the mutex
 * released, because handlers call back into the dispatcher and take other
 * locks (a submitter may hold its own lock while it sets a boolean, and the
 * handler takes that same lock). A handler that releases a timer or
 * deregisters a boolean of the batch simply takes it out of the batch.
 * Whatever becomes ready while the batch runs waits for the next dispatch,
 * so a handler that sets its own boolean cannot keep one dispatch busy.
 *
 * Watched booleans and their registrations are guarded by one process-wide
 * mutex taken before any dispatcher's mutex: a boolean must find its
 * dispatcher to wake it, and that lock order keeps the pointer valid while
 * dispatchers and registrations come and go.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "orv.h"
#include "orv_internal.h"

namespace {

/* A circular doubly-linked list; a detached link points to itself. */
struct dlink {
    dlink *prev;
    dlink *next;
};

void list_init(dlink *l)
{
    l->prev = l;
    l->next = l;
}

bool list_empty(const dlink *l)
{
    return l->next == l;
}

void list_push_back(dlink *head, dlink *l)
{
    l->prev = head->prev;
    l->next = head;
    head->prev->next = l;
    head->prev = l;
}

void list_remove(dlink *l)
{
    l->prev->next = l->next;
    l->next->prev = l->prev;
    list_init(l);
}

enum item_kind { ITEM_TIMER, ITEM_WB };
enum item_state {
    ITEM_IDLE,  /* in neither list */
    ITEM_READY, /* a set boolean in the ready list */
    ITEM_BATCH  /* in the batch of a running dispatch */
};

/* What timers and booleans share: their place in the ready or batch list. */
struct dm_item {
    dlink link; /* first, so a list link converts back to its item */
    item_kind kind;
    item_state state;
};

dm_item *item_of(dlink *l)
{
    return reinterpret_cast<dm_item *>(l);
}

} // namespace

struct orv_dm_timer {
    dm_item item; /* first */
    dlink all;    /* in dm->timers */
    orv_dm_t *dm;
    orv_dm_timer_handler_fn handler;
    void *ctx;
    uint64_t deadline; /* monotonic ns, meaningful while armed */
    bool armed;
};

struct orv_dm_wb {
    dm_item item; /* first */
    dlink all;    /* in dm->wbs while registered */
    bool value;
    orv_dm_t *dm; /* the registration, NULL when not registered */
    orv_dm_wb_handler_fn handler;
    void *ctx;
    char *name;
};

struct orv_dm {
    pthread_mutex_t mutex;
    pthread_cond_t cond; /* on CLOCK_MONOTONIC */
    dlink timers;        /* every timer, armed or not */
    dlink wbs;           /* every registered boolean */
    dlink ready;         /* booleans set to true since their last dispatch */
    dlink batch;         /* what the running dispatch still has to run */
    char *name;
};

namespace {

/* Guards every boolean's value and registration; taken before dm->mutex. */
pthread_mutex_t g_wb_mutex = PTHREAD_MUTEX_INITIALIZER;

char *copy_name(const char *name)
{
    return strdup(name != nullptr ? name : "");
}

void leave_lists(dm_item *item)
{
    if (item->state != ITEM_IDLE) {
        list_remove(&item->link);
        item->state = ITEM_IDLE;
    }
}

orv_dm_timer_t *timer_of(dlink *all)
{
    return reinterpret_cast<orv_dm_timer_t *>(reinterpret_cast<char *>(all) - offsetof(orv_dm_timer_t, all));
}

orv_dm_wb_t *wb_of(dlink *all)
{
    return reinterpret_cast<orv_dm_wb_t *>(reinterpret_cast<char *>(all) - offsetof(orv_dm_wb_t, all));
}

/* Marks a registered boolean ready and wakes the waiters (dm->mutex held). */
void make_ready(orv_dm_t *dm, orv_dm_wb_t *wb)
{
    if (wb->item.state == ITEM_IDLE) {
        list_push_back(&dm->ready, &wb->item.link);
        wb->item.state = ITEM_READY;
    }
    pthread_cond_broadcast(&dm->cond);
}

/* True when a wait would return now; otherwise *nearest is the earliest
 * armed deadline, UINT64_MAX when no timer is armed (dm->mutex held). */
bool is_ready(orv_dm_t *dm, uint64_t now, uint64_t *nearest)
{
    if (!list_empty(&dm->ready) || !list_empty(&dm->batch))
        return true;
    *nearest = UINT64_MAX;
    for (dlink *l = dm->timers.next; l != &dm->timers; l = l->next) {
        const orv_dm_timer_t *t = timer_of(l);
        if (!t->armed)
            continue;
        if (t->deadline <= now)
            return true;
        if (t->deadline < *nearest)
            *nearest = t->deadline;
    }
    return false;
}

} // namespace

uint32_t orv_dm_create(orv_dm_t **dm, const char *name, uint32_t flags)
{
    if (dm == nullptr || (flags & ~ORV_DM_THREAD_SAFE) != 0)
        return EINVAL;
    *dm = nullptr;
    orv_dm_t *d = static_cast<orv_dm_t *>(calloc(1, sizeof *d));
    if (d == nullptr)
        return ENOMEM;
    d->name = copy_name(name);
    if (d->name == nullptr) {
        free(d);
        return ENOMEM;
    }
    pthread_condattr_t ca;
    int rc = pthread_condattr_init(&ca);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
        if (rc == 0)
            rc = pthread_cond_init(&d->cond, &ca);
        pthread_condattr_destroy(&ca);
    }
    if (rc == 0) {
        rc = pthread_mutex_init(&d->mutex, nullptr);
        if (rc != 0)
            pthread_cond_destroy(&d->cond);
    }
    if (rc != 0) {
        free(d->name);
        free(d);
        return static_cast<uint32_t>(rc);
    }
    list_init(&d->timers);
    list_init(&d->wbs);
    list_init(&d->ready);
    list_init(&d->batch);
    *dm = d;
    return 0;
}

uint32_t orv_dm_destroy(orv_dm_t *dm)
{
    if (dm == nullptr)
        return EINVAL;
    pthread_mutex_lock(&g_wb_mutex);
    pthread_mutex_lock(&dm->mutex);
    while (!list_empty(&dm->wbs)) {
        orv_dm_wb_t *wb = wb_of(dm->wbs.next);
        list_remove(&wb->all);
        leave_lists(&wb->item);
        wb->dm = nullptr;
        wb->handler = nullptr;
        wb->ctx = nullptr;
    }
    pthread_mutex_unlock(&dm->mutex);
    pthread_mutex_unlock(&g_wb_mutex);

    while (!list_empty(&dm->timers)) {
        orv_dm_timer_t *t = timer_of(dm->timers.next);
        list_remove(&t->all);
        free(t);
    }
    pthread_mutex_destroy(&dm->mutex);
    pthread_cond_destroy(&dm->cond);
    free(dm->name);
    free(dm);
    return 0;
}

uint32_t orv_dm_wait(orv_dm_t *dm)
{
    if (dm == nullptr)
        return EINVAL;
    uint32_t result = 0;
    pthread_mutex_lock(&dm->mutex);
    for (;;) {
        uint64_t nearest;
        if (is_ready(dm, orv__now_ns(), &nearest))
            break;
        int rc;
        if (nearest == UINT64_MAX) {
            rc = pthread_cond_wait(&dm->cond, &dm->mutex);
        } else {
            struct timespec deadline;
            orv__ns_to_timespec(nearest, &deadline);
            rc = pthread_cond_timedwait(&dm->cond, &dm->mutex, &deadline);
        }
        if (rc != 0 && rc != ETIMEDOUT) {
            result = static_cast<uint32_t>(rc);
            break;
        }
    }
    pthread_mutex_unlock(&dm->mutex);
    return result;
}

uint32_t orv_dm_dispatch(orv_dm_t *dm)
{
    if (dm == nullptr)
        return EINVAL;
    pthread_mutex_lock(&dm->mutex);
    while (!list_empty(&dm->ready)) {
        dm_item *item = item_of(dm->ready.next);
        list_remove(&item->link);
        list_push_back(&dm->batch, &item->link);
        item->state = ITEM_BATCH;
    }
    uint64_t now = orv__now_ns();
    for (dlink *l = dm->timers.next; l != &dm->timers; l = l->next) {
        orv_dm_timer_t *t = timer_of(l);
        if (t->armed && t->deadline <= now) {
            t->armed = false;
            leave_lists(&t->item);
            list_push_back(&dm->batch, &t->item.link);
            t->item.state = ITEM_BATCH;
        }
    }
    while (!list_empty(&dm->batch)) {
        dm_item *item = item_of(dm->batch.next);
        list_remove(&item->link);
        item->state = ITEM_IDLE;
        if (item->kind == ITEM_TIMER) {
            orv_dm_timer_t *t = reinterpret_cast<orv_dm_timer_t *>(item);
            orv_dm_timer_handler_fn handler = t->handler;
            void *ctx = t->ctx;
            if (handler == nullptr)
                continue;
            pthread_mutex_unlock(&dm->mutex);
            handler(dm, t, ctx);
        } else {
            orv_dm_wb_t *wb = reinterpret_cast<orv_dm_wb_t *>(item);
            orv_dm_wb_handler_fn handler = wb->handler;
            void *ctx = wb->ctx;
            pthread_mutex_unlock(&dm->mutex);
            handler(wb, ctx);
        }
        pthread_mutex_lock(&dm->mutex);
    }
    pthread_mutex_unlock(&dm->mutex);
    return 0;
}

uint32_t orv_dm_timer_register(orv_dm_t *dm, orv_dm_timer_t **timer, orv_dm_timer_handler_fn handler,
                               void *ctx)
{
    if (dm == nullptr || timer == nullptr)
        return EINVAL;
    if (handler == nullptr && ctx == nullptr) {
        orv_dm_timer_t *t = *timer;
        if (t == nullptr || t->dm != dm)
            return EINVAL;
        pthread_mutex_lock(&dm->mutex);
        list_remove(&t->all);
        leave_lists(&t->item);
        pthread_mutex_unlock(&dm->mutex);
        free(t);
        *timer = nullptr;
        return 0;
    }
    orv_dm_timer_t *t = static_cast<orv_dm_timer_t *>(calloc(1, sizeof *t));
    if (t == nullptr)
        return ENOMEM;
    list_init(&t->item.link);
    t->item.kind = ITEM_TIMER;
    t->item.state = ITEM_IDLE;
    t->dm = dm;
    t->handler = handler;
    t->ctx = ctx;
    pthread_mutex_lock(&dm->mutex);
    list_push_back(&dm->timers, &t->all);
    pthread_mutex_unlock(&dm->mutex);
    *timer = t;
    return 0;
}

uint32_t orv_dm_timer_settime(orv_dm_t *dm, orv_dm_timer_t *timer, const struct timespec *rel)
{
    if (dm == nullptr || timer == nullptr || rel == nullptr || timer->dm != dm || rel->tv_sec < 0 ||
        rel->tv_nsec < 0 || rel->tv_nsec >= 1000000000L)
        return EINVAL;
    uint64_t delta = orv__timespec_to_ns(rel);
    pthread_mutex_lock(&dm->mutex);
    /* A new deadline replaces the old one, also an expiry not yet run. */
    leave_lists(&timer->item);
    if (delta == 0) {
        timer->armed = false;
    } else {
        timer->deadline = orv__now_ns() + delta;
        timer->armed = true;
        /* A waiter may be sleeping towards a later deadline. */
        pthread_cond_broadcast(&dm->cond);
    }
    pthread_mutex_unlock(&dm->mutex);
    return 0;
}

uint32_t orv_dm_timer_gettime(orv_dm_t *dm, orv_dm_timer_t *timer, struct timespec *remaining)
{
    if (dm == nullptr || timer == nullptr || remaining == nullptr || timer->dm != dm)
        return EINVAL;
    uint64_t left = 0;
    pthread_mutex_lock(&dm->mutex);
    if (timer->armed) {
        uint64_t now = orv__now_ns();
        if (timer->deadline > now)
            left = timer->deadline - now;
    }
    pthread_mutex_unlock(&dm->mutex);
    orv__ns_to_timespec(left, remaining);
    return 0;
}

uint32_t orv_dm_watched_boolean_create(const char *name, bool initial, orv_dm_wb_t **wb)
{
    if (wb == nullptr)
        return EINVAL;
    *wb = nullptr;
    orv_dm_wb_t *w = static_cast<orv_dm_wb_t *>(calloc(1, sizeof *w));
    if (w == nullptr)
        return ENOMEM;
    w->name = copy_name(name);
    if (w->name == nullptr) {
        free(w);
        return ENOMEM;
    }
    list_init(&w->item.link);
    list_init(&w->all);
    w->item.kind = ITEM_WB;
    w->item.state = ITEM_IDLE;
    w->value = initial;
    *wb = w;
    return 0;
}

uint32_t orv_dm_watched_boolean_register(orv_dm_t *dm, orv_dm_wb_t *wb, orv_dm_wb_handler_fn handler,
                                         void *ctx)
{
    if (dm == nullptr || wb == nullptr || handler == nullptr)
        return EINVAL;
    uint32_t rc = 0;
    pthread_mutex_lock(&g_wb_mutex);
    if (wb->dm != nullptr) {
        rc = EBUSY;
    } else {
        pthread_mutex_lock(&dm->mutex);
        wb->dm = dm;
        wb->handler = handler;
        wb->ctx = ctx;
        list_push_back(&dm->wbs, &wb->all);
        if (wb->value)
            make_ready(dm, wb);
        pthread_mutex_unlock(&dm->mutex);
    }
    pthread_mutex_unlock(&g_wb_mutex);
    return rc;
}

uint32_t orv_dm_watched_boolean_deregister(orv_dm_t *dm, orv_dm_wb_t *wb)
{
    if (dm == nullptr || wb == nullptr)
        return EINVAL;
    uint32_t rc = 0;
    pthread_mutex_lock(&g_wb_mutex);
    if (wb->dm != dm) {
        rc = ENOENT;
    } else {
        pthread_mutex_lock(&dm->mutex);
        list_remove(&wb->all);
        leave_lists(&wb->item);
        wb->dm = nullptr;
        wb->handler = nullptr;
        wb->ctx = nullptr;
        pthread_mutex_unlock(&dm->mutex);
    }
    pthread_mutex_unlock(&g_wb_mutex);
    return rc;
}

uint32_t orv_dm_watched_boolean_set(orv_dm_wb_t *wb, bool value)
{
    if (wb == nullptr)
        return EINVAL;
    pthread_mutex_lock(&g_wb_mutex);
    wb->value = value;
    /* Every set to true counts, even when the value already was true: the
     * handler runs once for all the sets before its next dispatch. */
    if (value && wb->dm != nullptr) {
        pthread_mutex_lock(&wb->dm->mutex);
        make_ready(wb->dm, wb);
        pthread_mutex_unlock(&wb->dm->mutex);
    }
    pthread_mutex_unlock(&g_wb_mutex);
    return 0;
}

uint32_t orv_dm_watched_boolean_get(orv_dm_wb_t *wb, bool *value)
{
    if (wb == nullptr || value == nullptr)
        return EINVAL;
    pthread_mutex_lock(&g_wb_mutex);
    *value = wb->value;
    pthread_mutex_unlock(&g_wb_mutex);
    return 0;
}

uint32_t orv_dm_watched_boolean_destroy(orv_dm_wb_t *wb)
{
    if (wb == nullptr)
        return EINVAL;
    pthread_mutex_lock(&g_wb_mutex);
    bool registered = wb->dm != nullptr;
    pthread_mutex_unlock(&g_wb_mutex);
    if (registered)
        return EBUSY;
    free(wb->name);
    free(wb);
    return 0;
}

/*
 * trace.cpp - named trace buffers.
 *
 * A trace buffer keeps the most recent formatted records within a budget of
 * text bytes: each record costs its text length plus one (its terminating
 * NUL), and the budget is the size given at init. The texts live back to back
 * in one ring of exactly that many bytes allocated at init; the small
 * per-record headers (time, thread, position) live in a second ring that
 * doubles as records accumulate, up to one header per budget byte. When a new
 * record does not fit, the oldest records are dropped until it does.
 *
 * Writers format outside the lock and hold the buffer's mutex only to copy
 * their bytes in, so a record is never interleaved with another. Readers copy
 * one record at a time out under the lock and call their callback without
 * it, so a callback may itself log, even to the buffer it reads.
 *
 * Buffers are registered by name in a process-wide map so that code which did
 * not create a buffer can find it.
 */
#include <errno.h>
#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include "orv.h"
#include "orv_internal.h"

namespace {

struct record_header {
    uint64_t msec;
    uint32_t tid;
    uint32_t len;    /* text bytes, without the NUL */
    uint32_t offset; /* where the text starts in the text ring */
};

constexpr uint32_t INITIAL_HEADERS = 64;

} // namespace

struct orv_dt_buffer {
    pthread_mutex_t mutex;
    char *name;
    uint32_t flags;
    uint32_t size;      /* text budget and size of the text ring */
    char *text;         /* ring of size bytes */
    uint32_t text_head; /* where the oldest record's text starts */
    uint32_t text_used; /* bytes held, NULs included */
    record_header *hdr; /* ring of hdr_cap headers */
    uint32_t hdr_cap;
    uint32_t hdr_head;  /* the oldest record's header */
    uint32_t count;     /* records held */
    uint64_t first_seq; /* sequence number of the oldest record held */
    uint64_t next_seq;  /* sequence number of the next record written */
    uint64_t dropped;   /* since init or clear */
};

namespace {

pthread_mutex_t g_registry_mutex = PTHREAD_MUTEX_INITIALIZER;
/* Open buffers by name; exists while at least one buffer is open. */
orv_hashmap_t *g_registry;

/* Drops the oldest record (mutex held). */
void drop_oldest(orv_dt_buffer_t *buf)
{
    const record_header *h = &buf->hdr[buf->hdr_head];
    buf->text_head = (buf->text_head + h->len + 1) % buf->size;
    buf->text_used -= h->len + 1;
    buf->hdr_head = (buf->hdr_head + 1) % buf->hdr_cap;
    buf->count--;
    buf->first_seq++;
    buf->dropped++;
}

/* Doubles the header ring; false when memory is short (mutex held). */
bool grow_headers(orv_dt_buffer_t *buf)
{
    uint32_t cap = buf->hdr_cap * 2;
    if (cap > buf->size)
        cap = buf->size;
    if (cap <= buf->hdr_cap)
        return false;
    record_header *fresh = static_cast<record_header *>(malloc(cap * sizeof *fresh));
    if (fresh == nullptr)
        return false;
    for (uint32_t i = 0; i < buf->count; i++)
        fresh[i] = buf->hdr[(buf->hdr_head + i) % buf->hdr_cap];
    free(buf->hdr);
    buf->hdr = fresh;
    buf->hdr_cap = cap;
    buf->hdr_head = 0;
    return true;
}

/* Copies n bytes in or out of the text ring at offset, wrapping at its end. */
void ring_write(orv_dt_buffer_t *buf, uint32_t offset, const char *src, uint32_t n)
{
    uint32_t first = buf->size - offset < n ? buf->size - offset : n;
    memcpy(buf->text + offset, src, first);
    memcpy(buf->text, src + first, n - first);
}

void ring_read(const orv_dt_buffer_t *buf, uint32_t offset, char *dst, uint32_t n)
{
    uint32_t first = buf->size - offset < n ? buf->size - offset : n;
    memcpy(dst, buf->text + offset, first);
    memcpy(dst + first, buf->text, n - first);
}

/* Appends one record of len text bytes (mutex held). */
void append(orv_dt_buffer_t *buf, const char *text, uint32_t len, uint64_t msec, uint32_t tid)
{
    while (buf->text_used + len + 1 > buf->size)
        drop_oldest(buf);
    /* Without memory for more headers the record still goes in, at the cost
     * of an older one. */
    if (buf->count == buf->hdr_cap && !grow_headers(buf))
        drop_oldest(buf);
    uint32_t offset = (buf->text_head + buf->text_used) % buf->size;
    ring_write(buf, offset, text, len + 1);
    record_header *h = &buf->hdr[(buf->hdr_head + buf->count) % buf->hdr_cap];
    h->msec = msec;
    h->tid = tid;
    h->len = len;
    h->offset = offset;
    buf->text_used += len + 1;
    buf->count++;
    buf->next_seq++;
}

void free_buffer(orv_dt_buffer_t *buf)
{
    pthread_mutex_destroy(&buf->mutex);
    free(buf->hdr);
    free(buf->text);
    free(buf->name);
    free(buf);
}

bool filter_passes(const uint32_t *filter, uint32_t level)
{
    if (filter == nullptr)
        return true;
    uint32_t word = __atomic_load_n(filter, __ATOMIC_RELAXED);
    if (level >= 32)
        return word == UINT32_MAX;
    return (word & (1u << level)) != 0;
}

uint32_t dump_record(const orv_dt_record_t *record, void *arg)
{
    FILE *f = static_cast<FILE *>(arg);
    if (fprintf(f, "%" PRIu64 " %" PRIu64 " %" PRIu32 " %s\n", record->seq, record->msec, record->tid,
                record->text) < 0)
        return EIO;
    return 0;
}

} // namespace

uint32_t orv_dt_buffer_init(orv_dt_buffer_t **buf, const char *name, uint32_t flags, uint32_t size)
{
    if (buf == nullptr || name == nullptr || name[0] == '\0' || size == 0)
        return EINVAL;
    *buf = nullptr;
    orv_dt_buffer_t *b = static_cast<orv_dt_buffer_t *>(calloc(1, sizeof *b));
    if (b == nullptr)
        return ENOMEM;
    b->name = strdup(name);
    b->text = static_cast<char *>(malloc(size));
    b->hdr_cap = size < INITIAL_HEADERS ? size : INITIAL_HEADERS;
    b->hdr = static_cast<record_header *>(malloc(b->hdr_cap * sizeof *b->hdr));
    if (b->name == nullptr || b->text == nullptr || b->hdr == nullptr) {
        free(b->hdr);
        free(b->text);
        free(b->name);
        free(b);
        return ENOMEM;
    }
    int prc = pthread_mutex_init(&b->mutex, nullptr);
    if (prc != 0) {
        free(b->hdr);
        free(b->text);
        free(b->name);
        free(b);
        return static_cast<uint32_t>(prc);
    }
    b->flags = flags;
    b->size = size;
    b->first_seq = 1;
    b->next_seq = 1;

    uint32_t rc = 0;
    pthread_mutex_lock(&g_registry_mutex);
    if (g_registry == nullptr)
        rc = orv_hashmap_create(&g_registry, 0);
    if (rc == 0 && orv_hashmap_get(g_registry, name) != nullptr)
        rc = EEXIST;
    if (rc == 0 && !orv_hashmap_insert(g_registry, b->name, b))
        rc = ENOMEM;
    if (rc != 0 && g_registry != nullptr && orv_hashmap_size(g_registry) == 0) {
        orv_hashmap_free(g_registry);
        g_registry = nullptr;
    }
    pthread_mutex_unlock(&g_registry_mutex);
    if (rc != 0) {
        free_buffer(b);
        return rc;
    }
    *buf = b;
    return 0;
}

uint32_t orv_dt_buffer_close(orv_dt_buffer_t *buf)
{
    if (buf == nullptr)
        return EINVAL;
    uint32_t rc = ENOENT;
    pthread_mutex_lock(&g_registry_mutex);
    orv_hashmap_entry_t *e = g_registry != nullptr ? orv_hashmap_get(g_registry, buf->name) : nullptr;
    if (e != nullptr && orv_hashmap_get_value(e) == buf) {
        orv_hashmap_remove_tuple(g_registry, e);
        if (orv_hashmap_size(g_registry) == 0) {
            orv_hashmap_free(g_registry);
            g_registry = nullptr;
        }
        rc = 0;
    }
    pthread_mutex_unlock(&g_registry_mutex);
    if (rc == 0)
        free_buffer(buf);
    return rc;
}

orv_dt_buffer_t *orv_dt_buffer_find(const char *name)
{
    if (name == nullptr)
        return nullptr;
    orv_dt_buffer_t *buf = nullptr;
    pthread_mutex_lock(&g_registry_mutex);
    if (g_registry != nullptr)
        buf = static_cast<orv_dt_buffer_t *>(orv_hashmap_get_value(orv_hashmap_get(g_registry, name)));
    pthread_mutex_unlock(&g_registry_mutex);
    return buf;
}

void orv_dt_log_filter_vadv(orv_dt_buffer_t *buf, uint32_t *filter, uint32_t level, uint32_t flags,
                            const char *format, va_list ap)
{
    (void)flags;
    if (buf == nullptr || format == nullptr || !filter_passes(filter, level))
        return;
    char line[ORV_DT_MAX_RECORD];
    int n = vsnprintf(line, sizeof line, format, ap);
    if (n < 0)
        return;
    uint32_t len = static_cast<uint32_t>(n) < sizeof line ? static_cast<uint32_t>(n) : sizeof line - 1;
    /* A record larger than the whole budget keeps its beginning. */
    if (len > buf->size - 1)
        len = buf->size - 1;
    line[len] = '\0';
    uint64_t msec = orv__now_ns() / 1000000u;
    uint32_t tid = orv__gettid();

    pthread_mutex_lock(&buf->mutex);
    append(buf, line, len, msec, tid);
    pthread_mutex_unlock(&buf->mutex);
}

void _orv_dt_log_filter_adv(orv_dt_buffer_t *buf, uint32_t *filter, uint32_t level, uint32_t flags,
                            const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    orv_dt_log_filter_vadv(buf, filter, level, flags, format, ap);
    va_end(ap);
}

uint32_t orv_dt_buffer_read(orv_dt_buffer_t *buf, orv_dt_reader_fn reader, void *arg)
{
    if (buf == nullptr || reader == nullptr)
        return EINVAL;
    char text[ORV_DT_MAX_RECORD];
    pthread_mutex_lock(&buf->mutex);
    /* Records written while the read runs are left for the next read, so a
     * callback that logs cannot make the read endless. */
    uint64_t last = buf->next_seq - 1;
    uint64_t seq = buf->first_seq;
    for (;;) {
        if (seq < buf->first_seq)
            seq = buf->first_seq; /* dropped or cleared meanwhile */
        if (seq > last || seq >= buf->next_seq)
            break;
        const record_header *h = &buf->hdr[(buf->hdr_head + (seq - buf->first_seq)) % buf->hdr_cap];
        orv_dt_record_t rec;
        rec.seq = seq;
        rec.msec = h->msec;
        rec.tid = h->tid;
        rec.text = text;
        ring_read(buf, h->offset, text, h->len + 1);
        pthread_mutex_unlock(&buf->mutex);
        uint32_t rc = reader(&rec, arg);
        if (rc != 0)
            return rc;
        seq++;
        pthread_mutex_lock(&buf->mutex);
    }
    pthread_mutex_unlock(&buf->mutex);
    return 0;
}

uint32_t orv_dt_buffer_dump(orv_dt_buffer_t *buf, FILE *f)
{
    if (buf == nullptr || f == nullptr)
        return EINVAL;
    return orv_dt_buffer_read(buf, dump_record, f);
}

uint32_t orv_dt_buffer_clear(orv_dt_buffer_t *buf)
{
    if (buf == nullptr)
        return EINVAL;
    pthread_mutex_lock(&buf->mutex);
    buf->text_head = 0;
    buf->text_used = 0;
    buf->hdr_head = 0;
    buf->count = 0;
    buf->first_seq = buf->next_seq;
    buf->dropped = 0;
    pthread_mutex_unlock(&buf->mutex);
    return 0;
}

uint32_t orv_dt_buffer_stats(orv_dt_buffer_t *buf, uint32_t *held, uint64_t *dropped)
{
    if (buf == nullptr)
        return EINVAL;
    pthread_mutex_lock(&buf->mutex);
    if (held != nullptr)
        *held = buf->count;
    if (dropped != nullptr)
        *dropped = buf->dropped;
    pthread_mutex_unlock(&buf->mutex);
    return 0;
}

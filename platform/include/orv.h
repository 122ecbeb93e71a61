/*
 * orv.h - the orv platform library.
 *
 * The small operating layer that libkel runs on: intrusive FIFO queues, hash
 * sets and string-keyed hash maps, AVL trees, named threads, 32-bit atomics,
 * time, named POSIX shared memory, a blocking dispatcher with timers and
 * watched booleans, and named trace buffers.
 *
 * Conventions: functions that can fail return 0 on success and an errno value
 * (or an orv code documented below) otherwise. Records kept in queues, hash
 * sets and AVL trees are intrusive: the record begins with the link or node
 * type of its container, and the container hands the record pointer back.
 * Nothing here allocates behind the caller's back except where a function
 * says so, and nothing prints.
 *
 * The header compiles as C11 and as C++.
 */
#ifndef ORV_H
#define ORV_H

#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ORV_BUILDING)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif

/* ------------------------------------------------------------------------ */
/* Intrusive FIFO queue                                                     */
/* ------------------------------------------------------------------------ */

/* The link a queued record begins with. */
typedef struct orv_queue_link {
    struct orv_queue_link *next;
} orv_queue_link_t;

/* A queue. An all-zero queue is a valid empty queue. Not thread-safe:
 * callers that share a queue between threads lock around it. */
typedef struct orv_queue {
    orv_queue_link_t *head;
    orv_queue_link_t *tail;
    uint32_t size;
    uint32_t flags;
} orv_queue_t;

#define ORV_QUEUE_FIFO 1u

/* Makes the queue empty; flags are kept for the caller (ORV_QUEUE_FIFO). */
ORV_API void orv_queue_init(orv_queue_t *q, uint32_t flags);
/* Appends elem (which begins with an orv_queue_link_t) at the tail.
 * Returns false when q or elem is NULL. */
ORV_API bool orv_queue_enqueue(orv_queue_t *q, void *elem);
/* Removes and returns the head, or NULL when the queue is empty. */
ORV_API void *orv_queue_dequeue(orv_queue_t *q);
/* Returns the head without removing it, or NULL. */
ORV_API void *orv_queue_peek_head(const orv_queue_t *q);
/* Returns the element after elem in insertion order, NULL at the end;
 * elem NULL gives the head. */
ORV_API void *orv_queue_get_next(const orv_queue_t *q, const void *elem);
ORV_API bool orv_queue_empty(const orv_queue_t *q);
ORV_API uint32_t orv_queue_size(const orv_queue_t *q);

/* ------------------------------------------------------------------------ */
/* Hashing, hash set, hash map                                              */
/* ------------------------------------------------------------------------ */

/* A well-mixed 32-bit hash of len bytes. */
ORV_API uint32_t orv_hash_calculate(const void *data, size_t len);

/* The link a hash-set record begins with (two pointers wide). */
typedef struct orv_hashset_link {
    struct orv_hashset_link *next;
    size_t hash;
} orv_hashset_link_t;

typedef struct orv_hashset orv_hashset_t;
typedef uint32_t (*orv_hashset_hash_fn)(const void *record);
typedef bool (*orv_hashset_equal_fn)(const void *a, const void *b);

/* Creates an empty set; flags must be 0. ENOMEM, EINVAL (NULL argument). */
ORV_API uint32_t orv_hashset_create(orv_hashset_t **set, orv_hashset_hash_fn hash,
                                    orv_hashset_equal_fn equal, uint32_t flags);
/* Inserts record. EEXIST when an equal record is present (nothing changes),
 * ENOMEM when the table cannot grow, EINVAL for NULL arguments. */
ORV_API uint32_t orv_hashset_insert(orv_hashset_t *set, void *record);
/* The record equal to probe, or NULL. */
ORV_API void *orv_hashset_get(orv_hashset_t *set, const void *probe);
/* Any record, NULL when the set is empty. */
ORV_API void *orv_hashset_first(orv_hashset_t *set);
/* Removes the record equal to probe and returns it, or NULL. */
ORV_API void *orv_hashset_remove(orv_hashset_t *set, const void *probe);
ORV_API uint32_t orv_hashset_size(const orv_hashset_t *set);
/* Frees the set itself; the records are the caller's. */
ORV_API void orv_hashset_free(orv_hashset_t *set);

/* Hash map from NUL-terminated string keys to non-NULL pointers. The map
 * keeps the caller's key pointer (not a copy); keys are equal when they are
 * the same pointer or equal texts. */
typedef struct orv_hashmap orv_hashmap_t;
typedef struct orv_hashmap_entry orv_hashmap_entry_t;

ORV_API uint32_t orv_hashmap_create(orv_hashmap_t **map, uint32_t flags);
/* True on success; false when the key is present, an argument is NULL or
 * memory runs out. */
ORV_API bool orv_hashmap_insert(orv_hashmap_t *map, const char *key, void *value);
ORV_API orv_hashmap_entry_t *orv_hashmap_get(orv_hashmap_t *map, const char *key);
ORV_API void *orv_hashmap_get_value(const orv_hashmap_entry_t *entry);
ORV_API const char *orv_hashmap_key(const orv_hashmap_entry_t *entry);
/* Any entry, NULL when the map is empty. */
ORV_API orv_hashmap_entry_t *orv_hashmap_first(orv_hashmap_t *map);
/* Removes and frees entry (obtained from this map). EINVAL for NULL. */
ORV_API uint32_t orv_hashmap_remove_tuple(orv_hashmap_t *map, orv_hashmap_entry_t *entry);
ORV_API uint32_t orv_hashmap_size(const orv_hashmap_t *map);
/* Frees the map and its entries (not keys or values). */
ORV_API void orv_hashmap_free(orv_hashmap_t *map);

/* ------------------------------------------------------------------------ */
/* AVL tree                                                                 */
/* ------------------------------------------------------------------------ */

/* The node a tree record begins with. */
typedef struct orv_avl_node {
    struct orv_avl_node *left;
    struct orv_avl_node *right;
    struct orv_avl_node *parent;
    int32_t height;
    int32_t in_tree;
} orv_avl_node_t;

/* Compares two records: 2 when equal, 1 when a sorts before b, 0 after. */
typedef int (*orv_avl_cmp_fn)(const void *a, const void *b);
/* Walker: a non-zero result stops the walk and is returned by it. */
typedef uint32_t (*orv_avl_walker_fn)(void *record, void *arg);
/* Destructor called for each record by orv_avl_tree_destroy. */
typedef void (*orv_avl_destructor_fn)(void *record, void *arg);

typedef struct orv_avl_tree {
    orv_avl_node_t *root;
    orv_avl_cmp_fn cmp;
    uint32_t size;
    uint32_t flags;
} orv_avl_tree_t;

#define ORV_AVL_CMP_GREATER 0
#define ORV_AVL_CMP_LESS 1
#define ORV_AVL_CMP_EQUAL 2

/* The not-found code of orv_avl_search; its low nine bits are 17. */
#define ORV_AVL_E_NOT_FOUND 0x4A000011u
#define ORV_AVL_CODE_MASK 0x1FFu

ORV_API uint32_t orv_avl_tree_init(orv_avl_tree_t *tree, orv_avl_cmp_fn cmp, uint32_t flags);
ORV_API uint32_t orv_avl_init(orv_avl_node_t *node);
/* EEXIST when an equal record is in the tree. */
ORV_API uint32_t orv_avl_insert(orv_avl_tree_t *tree, orv_avl_node_t *node);
/* Finds the record equal to key (a record of the tree's type with only the
 * compared fields set). ORV_AVL_E_NOT_FOUND when there is none. */
ORV_API uint32_t orv_avl_search(orv_avl_tree_t *tree, const void *key, orv_avl_node_t **found);
/* Removes node from the tree (flags 0). ENOENT when it is not in it. */
ORV_API uint32_t orv_avl_delete(orv_avl_tree_t *tree, orv_avl_node_t *node, uint32_t flags);
/* Visits every record in order; stops at and returns a non-zero result. */
ORV_API uint32_t orv_avl_tree_walk(orv_avl_tree_t *tree, orv_avl_walker_fn walker, void *arg);
/* Removes every record, calling destructor (if any) on each after it left
 * the tree; the tree is left empty and reusable. */
ORV_API uint32_t orv_avl_tree_destroy(orv_avl_tree_t *tree, orv_avl_destructor_fn destructor, void *arg);
ORV_API uint32_t orv_avl_tree_get_size(const orv_avl_tree_t *tree, uint32_t *size);

/* ------------------------------------------------------------------------ */
/* Threads                                                                  */
/* ------------------------------------------------------------------------ */

typedef pthread_t orv_thread_t;
typedef void *(*orv_thread_entry_fn)(void *arg);

typedef struct orv_thread_attr {
    pthread_attr_t attr;
    int32_t sched_mode;
} orv_thread_attr_t;

/* The longest thread name the kernel keeps (without the NUL). */
#define ORV_THREAD_NAME_KERNEL_MAX 15
/* The longest name orv keeps for its own threads (without the NUL). */
#define ORV_THREAD_NAME_MAX 63

ORV_API uint32_t orv_thread_attr_init(orv_thread_attr_t *attr);
/* Mode 0: default scheduling. Any other value asks for round-robin
 * real-time scheduling at the lowest priority; where the process may not
 * use it, the thread is created with default scheduling instead. */
ORV_API uint32_t orv_thread_attr_setsched_mode(orv_thread_attr_t *attr, int32_t mode);
ORV_API uint32_t orv_thread_attr_destroy(orv_thread_attr_t *attr);
/* Starts entry(arg) on a new thread; attr may be NULL. The kernel name is
 * the first 15 bytes of name; orv_thread_get_name gives it whole. */
ORV_API uint32_t orv_thread_create(orv_thread_t *id, const orv_thread_attr_t *attr,
                                   orv_thread_entry_fn entry, void *arg, const char *name);
ORV_API uint32_t orv_thread_detach(orv_thread_t id);
ORV_API uint32_t orv_thread_join(orv_thread_t id, void **result);
ORV_API orv_thread_t orv_thread_self(void);
ORV_API void orv_thread_exit(void *result) __attribute__((noreturn));
ORV_API void orv_thread_may_yield(void);
/* The calling thread's full orv name, or its kernel name for other threads.
 * ENOSPC when it does not fit (it is cut). */
ORV_API uint32_t orv_thread_get_name(char *buf, size_t size);
ORV_API uint32_t orv_thread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex);
/* Waits until the absolute CLOCK_REALTIME deadline; ETIMEDOUT on time-out. */
ORV_API uint32_t orv_thread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                                           const struct timespec *deadline);

/* ------------------------------------------------------------------------ */
/* 32-bit atomics (sequentially consistent)                                 */
/* ------------------------------------------------------------------------ */

/* Each returns the new value. */
ORV_API uint32_t orv_atomic_incr(volatile uint32_t *p);
ORV_API uint32_t orv_atomic_decr(volatile uint32_t *p);
ORV_API uint32_t orv_atomic_add(volatile uint32_t *p, int32_t delta);
/* Replaces *p by desired when it equals expected; true when replaced. */
ORV_API bool orv_atomic_cas(volatile uint32_t *p, uint32_t expected, uint32_t desired);
ORV_API uint32_t orv_atomic_get(const volatile uint32_t *p);
ORV_API void orv_atomic_set(volatile uint32_t *p, uint32_t value);

/* ------------------------------------------------------------------------ */
/* Time                                                                     */
/* ------------------------------------------------------------------------ */

/* CLOCK_MONOTONIC. */
ORV_API uint32_t orv_time_get_timespec(struct timespec *ts);
/* CLOCK_REALTIME (the clock of orv_thread_cond_timedwait deadlines). */
ORV_API uint32_t orv_time_get_timespec_realtime(struct timespec *ts);
ORV_API uint64_t orv_time_timespec_to_msec64(const struct timespec *ts);
ORV_API void orv_time_msec64_to_timespec(uint64_t msec, struct timespec *ts);
/* Sleeps msec milliseconds (resuming after signals). */
ORV_API uint32_t orv_time_sleep(uint32_t msec);

/* ------------------------------------------------------------------------ */
/* Named POSIX shared memory                                                */
/* ------------------------------------------------------------------------ */

/* Longest segment name, without the leading '/' orv adds. */
#define ORV_SHM_NAME_MAX 200

typedef struct orv_shm {
    void *addr;     /* mapped address, NULL when not open */
    size_t size;    /* mapped size */
    int fd;
    char name[ORV_SHM_NAME_MAX + 2];
} orv_shm_t;

/* Opens the segment named name, the POSIX object "/name". With size > 0 it
 * is created when missing (*created true) and grown to size when smaller;
 * with size 0 an existing segment is opened at its own size. created may be
 * NULL. EINVAL for a bad name, else the errno of the failing call. */
ORV_API uint32_t orv_shm_open(const char *name, size_t size, orv_shm_t *shm, bool *created);
/* Unmaps and closes; the segment stays until unlinked. */
ORV_API uint32_t orv_shm_close(orv_shm_t *shm);
ORV_API uint32_t orv_shm_unlink(const char *name);

/* ------------------------------------------------------------------------ */
/* Dispatcher: timers and watched booleans                                  */
/* ------------------------------------------------------------------------ */

typedef struct orv_dm orv_dm_t;
typedef struct orv_dm_timer orv_dm_timer_t;
typedef struct orv_dm_wb orv_dm_wb_t;

/* Timer handler: the dispatcher, the timer and the registration context. */
typedef void (*orv_dm_timer_handler_fn)(orv_dm_t *dm, orv_dm_timer_t *timer, void *ctx);
/* Watched-boolean handler: the boolean and the registration context. */
typedef void (*orv_dm_wb_handler_fn)(orv_dm_wb_t *wb, void *ctx);

#define ORV_DM_THREAD_SAFE 1u

/* Creates a dispatcher; flags: ORV_DM_THREAD_SAFE or 0 (every dispatcher is
 * thread-safe; the flag is accepted for clarity). */
ORV_API uint32_t orv_dm_create(orv_dm_t **dm, const char *name, uint32_t flags);
/* Destroys the dispatcher and releases its timers; watched booleans still
 * registered are deregistered (they stay valid). */
ORV_API uint32_t orv_dm_destroy(orv_dm_t *dm);
/* Blocks, without polling, until a timer has expired or a registered watched
 * boolean has been set to true. Returns at once when something is ready. */
ORV_API uint32_t orv_dm_wait(orv_dm_t *dm);
/* Runs the handlers of everything ready, in the calling thread; returns at
 * once when nothing is. */
ORV_API uint32_t orv_dm_dispatch(orv_dm_t *dm);

/* With a handler (or context): creates a one-shot timer, disarmed, into
 * *timer. With neither: disarms and releases *timer and sets it to NULL. */
ORV_API uint32_t orv_dm_timer_register(orv_dm_t *dm, orv_dm_timer_t **timer,
                                       orv_dm_timer_handler_fn handler, void *ctx);
/* Arms the timer to expire after the relative time rel (zero disarms). */
ORV_API uint32_t orv_dm_timer_settime(orv_dm_t *dm, orv_dm_timer_t *timer, const struct timespec *rel);
/* The time left before expiry (zero when disarmed or expired). */
ORV_API uint32_t orv_dm_timer_gettime(orv_dm_t *dm, orv_dm_timer_t *timer, struct timespec *remaining);

ORV_API uint32_t orv_dm_watched_boolean_create(const char *name, bool initial, orv_dm_wb_t **wb);
/* Registers handler for wb on dm: each time wb is set to true (also before
 * anybody waits, and also when it was true at registration) dm becomes ready
 * and its next dispatch runs handler once. EBUSY when wb is registered. */
ORV_API uint32_t orv_dm_watched_boolean_register(orv_dm_t *dm, orv_dm_wb_t *wb,
                                                 orv_dm_wb_handler_fn handler, void *ctx);
ORV_API uint32_t orv_dm_watched_boolean_deregister(orv_dm_t *dm, orv_dm_wb_t *wb);
ORV_API uint32_t orv_dm_watched_boolean_set(orv_dm_wb_t *wb, bool value);
ORV_API uint32_t orv_dm_watched_boolean_get(orv_dm_wb_t *wb, bool *value);
/* Destroys wb; EBUSY while it is registered. */
ORV_API uint32_t orv_dm_watched_boolean_destroy(orv_dm_wb_t *wb);

/* ------------------------------------------------------------------------ */
/* Trace buffers                                                            */
/* ------------------------------------------------------------------------ */

typedef struct orv_dt_buffer orv_dt_buffer_t;

/* One record as the reader sees it. */
typedef struct orv_dt_record {
    uint64_t seq;          /* 1, 2, ... in the order written */
    uint64_t msec;         /* monotonic time of the write */
    uint32_t tid;          /* kernel thread id of the writer */
    const char *text;      /* the formatted text, NUL-terminated */
} orv_dt_record_t;

/* Reader callback; a non-zero result stops the read and is returned. */
typedef uint32_t (*orv_dt_reader_fn)(const orv_dt_record_t *record, void *arg);

#define ORV_DT_MAX_RECORD 1024

/* Creates a named buffer holding up to size bytes of record text (flags 0).
 * The name is registered so orv_dt_buffer_find finds it; EEXIST when a
 * buffer of that name is open. */
ORV_API uint32_t orv_dt_buffer_init(orv_dt_buffer_t **buf, const char *name, uint32_t flags, uint32_t size);
ORV_API uint32_t orv_dt_buffer_close(orv_dt_buffer_t *buf);
/* The open buffer of that name, or NULL. */
ORV_API orv_dt_buffer_t *orv_dt_buffer_find(const char *name);
/* Appends one record: format and arguments, cut to ORV_DT_MAX_RECORD - 1
 * bytes. filter is the call site's own word: the record is written when bit
 * level of *filter is set (a word of all ones writes everything). When the
 * buffer is full the oldest records are dropped. Safe from any thread. */
ORV_API void _orv_dt_log_filter_adv(orv_dt_buffer_t *buf, uint32_t *filter, uint32_t level, uint32_t flags,
                                    const char *format, ...) __attribute__((format(printf, 5, 6)));
ORV_API void orv_dt_log_filter_vadv(orv_dt_buffer_t *buf, uint32_t *filter, uint32_t level, uint32_t flags,
                                    const char *format, va_list ap) __attribute__((format(printf, 5, 0)));
/* Calls reader for each record held, oldest first. */
ORV_API uint32_t orv_dt_buffer_read(orv_dt_buffer_t *buf, orv_dt_reader_fn reader, void *arg);
/* Writes each record held as one line "seq msec tid text" to f. */
ORV_API uint32_t orv_dt_buffer_dump(orv_dt_buffer_t *buf, FILE *f);
/* Drops every record. */
ORV_API uint32_t orv_dt_buffer_clear(orv_dt_buffer_t *buf);
/* Number of records held and number dropped since init or clear. */
ORV_API uint32_t orv_dt_buffer_stats(orv_dt_buffer_t *buf, uint32_t *held, uint64_t *dropped);

/* ------------------------------------------------------------------------ */
/* Strings                                                                  */
/* ------------------------------------------------------------------------ */

/* Copies at most size - 1 characters of src and always terminates dst
 * (nothing is written when size is 0). Returns dst. */
ORV_API char *sstrncpy(char *dst, const char *src, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* ORV_H */

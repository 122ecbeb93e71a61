/*
 * guard.h - the guard of a master run: time limits of test cases, and the
 * end of a run that is interrupted by a signal.
 *
 * While kel_run runs in a master, one guard thread keeps the registry of
 * the run's live children (slaves, agent connections, results segments) and
 * the deadlines of the test cases that have a time limit. A slave past its
 * limit has its process group killed, an agent connection past its limit is
 * shut down, and a test case of the run's own process past its limit ends
 * the run (run code 4). SIGINT, SIGTERM, SIGHUP and SIGPIPE end the run
 * too: the children are killed, the connections shut, the segments
 * unlinked, the summary so far printed, and the process exits with 128 +
 * the signal.
 */
#ifndef KEL_GUARD_H
#define KEL_GUARD_H

#include <sys/types.h>

#include "kel_types.h"

/* The run-wide time limit of a test case, in ms. */
#define KEL_TIMEOUT_ENV "KEL_TIMEOUT_MS"

/* Reads KEL_TIMEOUT_MS into the run state. Returns false, after its KEL
 * ERROR line, when the variable is set but is not a number of
 * milliseconds (0 to 4294967295). */
bool kel__read_timeout_env(kel_t *kel);

/* Starts the guard for a master run of kel (a slave gets none): signal
 * handlers for the run, and the guard thread. Removes the results segments
 * left by masters that were killed. Nothing is started when the guard of an
 * enclosing run is running already. */
void kel__guard_start(kel_t *kel);
/* Stops the guard that kel__guard_start started and restores the signal
 * handlers that were there before. */
void kel__guard_stop(kel_t *kel);

/* The time limit of one execution of tc in ms, 0 for none: the limit of the
 * nearest node of its ancestry that has one (kel_set_timeout), else
 * KEL_TIMEOUT_MS. Always 0 outside a guarded run with a limit set. */
uint32_t kel__limit_of(const kel_tc_t *tc);

/* A test case of this process, on the calling thread, under limit_ms (not
 * 0): past it the run ends. end takes it back (a no-op when there is none);
 * a thread watches one test case at a time. */
void kel__case_watch_begin(const kel_tc_t *tc, uint32_t limit_ms);
void kel__case_watch_end(void);

/* A live child: a slave (pid, leader of its process group) or the socket
 * of an agent connection, with its limit (0: none). The record stays the
 * caller's and must live until kel__child_unwatch. */
typedef struct kel_child_watch_s kel_child_watch_t;
struct kel_child_watch_s {
    kel_child_watch_t *prev;
    kel_child_watch_t *next;
    uint64_t deadline_ms;        /* monotonic clock in ms at the limit; 0 none */
    pid_t pid;                   /* a slave; 0 for a connection */
    int fd;                      /* a duplicate of the connection; -1 none */
    uint8_t expired;             /* the guard ended it at its limit */
    uint8_t listed;              /* in the registry */
};
/* Registers the slave pid (or, pid 0, the connection fd) under limit_ms.
 * Outside a guarded run nothing is registered. When the run is ending
 * already the child is killed (shut) and the calling thread waits for the
 * process to end. */
void kel__child_watch(kel_child_watch_t *w, pid_t pid, int fd, uint32_t limit_ms);
/* Takes the record back once the child has ended (a slave: before it is
 * reaped, so that its pid is never killed after reuse). Returns true when
 * the guard ended it at its limit. When the run is ending, the calling
 * thread waits here for the process to end: what it would print about a
 * child the guard killed is not printed. */
bool kel__child_unwatch(kel_child_watch_t *w);

/* A results segment of this run, unlinked by the guard if the run is
 * interrupted; forgotten before the folder unlinks it. */
void kel__segment_watch(const char *name);
void kel__segment_unwatch(const char *name);

#endif

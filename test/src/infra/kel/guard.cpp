/*
 * guard.cpp - the guard of a master run: time limits of test cases, the
 * registry of live children, and the end of an interrupted run.
 *
 * One guard thread per master kel_run sleeps in poll(2) on a wake pipe,
 * with the nearest deadline as its time-out: no deadline, no wake-up. Test
 * threads register what may outlive them (slaves, agent connections, the
 * folders' results segments) and the test cases that have a limit; a new
 * deadline earlier than the one the guard sleeps towards wakes it with one
 * byte. A run without any limit arms nothing: a test case costs one test
 * of a run-state byte.
 *
 * The signal handler only writes the signal's number into the wake pipe
 * (write(2) is async-signal-safe; nothing else is done there). The guard
 * thread then does the rest in normal context: it marks the run as ending,
 * kills the slaves' process groups, shuts the agent connections, unlinks
 * the segments, waits until the killed slaves are gone, prints the
 * interruption line and the summary so far (kel__end_run_now) and exits
 * with 128 + the signal. Threads that wait for a child the guard ended see
 * the run ending when they take their record back and wait there for the
 * exit, so that no "terminated by signal" line follows the summary.
 *
 * A test case of this process past its limit cannot be stopped: its thread
 * may hold any lock. The guard kills the children as above, prints the test
 * case's line and the summary, and exits with run code 4.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "guard.h"
#include "messages.h"
#include "run_end.h"
#include "tree.h"

namespace {

void unlist_case(struct case_watch *c);

/* A test case of this process that has a limit; one per thread. A thread
 * that ends inside its test case (a failure raised for a context it does
 * not own ends it) takes its record back on the way out. */
struct case_watch {
    case_watch *prev;
    case_watch *next;
    uint64_t deadline_ms;
    uint32_t limit_ms;
    const kel_tc_t *tc;
    bool listed;
    ~case_watch() { unlist_case(this); }
};

struct segment {
    segment *next;
    char name[32];
};

/* The signals that interrupt a master run, and their names. */
constexpr int interrupting[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr const char *interrupting_names[] = {"SIGINT", "SIGTERM", "SIGHUP", "SIGPIPE"};
constexpr size_t n_interrupting = sizeof interrupting / sizeof interrupting[0];

constexpr unsigned char WAKE_BYTE = 0;

/* Everything below is guarded by mu, but the pipe (made once, kept for
 * the life of the process so that a late handler never writes into a
 * closed descriptor). */
struct guard_state {
    pthread_mutex_t mu;
    kel_t *kel;                  /* the guarded run; NULL when none */
    bool ending;                 /* interrupted or timed out: no way back */
    bool stop;                   /* kel__guard_stop asks the thread to end */
    uint64_t sleep_until;        /* the guard's next deadline; 0 none */
    kel_child_watch_t *children;
    case_watch *cases;
    segment *segments;
    pthread_t thread;
    struct sigaction old[n_interrupting];
    bool taken[n_interrupting];
};

guard_state g = {PTHREAD_MUTEX_INITIALIZER, NULL, false, false, 0, NULL, NULL, NULL, {}, {}, {}};
int wake_pipe[2] = {-1, -1};
std::atomic<int> handler_fd{-1};
thread_local case_watch my_case;

uint64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void on_signal(int sig)
{
    int saved = errno;
    int fd = handler_fd.load(std::memory_order_relaxed);
    unsigned char b = static_cast<unsigned char>(sig);
    if (fd >= 0 && write(fd, &b, 1) < 0) {
        /* A full pipe holds a signal already. */
    }
    errno = saved;
}

void wake_guard(void)
{
    if (write(wake_pipe[1], &WAKE_BYTE, 1) < 0) {
        /* A full pipe wakes the guard anyway. */
    }
}

/* Called with mu held when a deadline is added: wakes the guard if it
 * sleeps towards a later one. */
bool earlier_than_sleep(uint64_t deadline)
{
    if (deadline == 0 || (g.sleep_until != 0 && g.sleep_until <= deadline))
        return false;
    g.sleep_until = deadline;
    return true;
}

[[noreturn]] void wait_for_the_end(void)
{
    for (;;)
        pause();
}

void end_child(const kel_child_watch_t *w)
{
    if (w->pid > 0) {
        kill(-w->pid, SIGKILL);
        kill(w->pid, SIGKILL);
    } else if (w->fd >= 0) {
        shutdown(w->fd, SHUT_RDWR);
    }
}

/* The run cannot go on: every child is ended, every segment unlinked, and
 * the killed slaves are waited for (not reaped: their threads wait for the
 * exit too), so that none is left when the process ends. */
void end_all_children(void)
{
    pthread_mutex_lock(&g.mu);
    g.ending = true;
    size_t n = 0;
    for (kel_child_watch_t *w = g.children; w; w = w->next)
        n++;
    pid_t *pids = static_cast<pid_t *>(calloc(n + 1, sizeof *pids));
    size_t k = 0;
    for (kel_child_watch_t *w = g.children; w; w = w->next) {
        end_child(w);
        if (pids && w->pid > 0)
            pids[k++] = w->pid;
    }
    for (segment *s = g.segments; s; s = s->next)
        orv_shm_unlink(s->name);
    pthread_mutex_unlock(&g.mu);
    for (size_t i = 0; i < k; i++) {
        siginfo_t info;
        while (waitid(P_PID, static_cast<id_t>(pids[i]), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
    }
    free(pids);
}

/* stdout is a pipe whose reader has gone, or a terminal that hung up. */
bool stdout_broken(void)
{
    struct pollfd p = {STDOUT_FILENO, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

[[noreturn]] void interrupt(kel_t *kel, int sig)
{
    end_all_children();
    const char *name = "?";
    for (size_t i = 0; i < n_interrupting; i++)
        if (interrupting[i] == sig)
            name = interrupting_names[i];
    if (stdout_broken())
        _exit(128 + sig);
    printf(KEL_FMT_INTERRUPTED, name);
    kel__end_run_now(kel, 128 + sig);
}

[[noreturn]] void case_timed_out(kel_t *kel, const kel_tc_t *tc, uint32_t limit_ms)
{
    end_all_children();
    char *path = kel__tc_path_dup(tc, ':');
    printf(KEL_FMT_CASE_TIMED_OUT, path ? path : tc->name, limit_ms);
    free(path);
    kel__end_run_now(kel, KEL_RC_TIMED_OUT);
}

/* Reads what the pipe holds; returns the last signal among it, or 0. */
int drain_wake_pipe(void)
{
    int sig = 0;
    unsigned char buf[64];
    ssize_t n;
    while ((n = read(wake_pipe[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        for (ssize_t i = 0; i < n; i++)
            if (buf[i] != WAKE_BYTE)
                sig = buf[i];
    return sig;
}

void *guard_main(void *arg)
{
    kel_t *kel = static_cast<kel_t *>(arg);
    for (;;) {
        int sig = drain_wake_pipe();
        if (sig != 0)
            interrupt(kel, sig);

        pthread_mutex_lock(&g.mu);
        /* Without a deadline the clock is not even read. */
        bool timed = g.cases != NULL;
        for (kel_child_watch_t *w = g.children; w && !timed; w = w->next)
            timed = w->deadline_ms != 0 && !w->expired;
        uint64_t now = timed ? now_ms() : 0;
        uint64_t next = 0;
        const case_watch *late = NULL;
        for (kel_child_watch_t *w = g.children; w; w = w->next) {
            if (w->deadline_ms == 0 || w->expired)
                continue;
            if (w->deadline_ms <= now) {
                w->expired = 1;
                end_child(w);
            } else if (next == 0 || w->deadline_ms < next) {
                next = w->deadline_ms;
            }
        }
        for (case_watch *c = g.cases; c; c = c->next) {
            if (c->deadline_ms <= now)
                late = c;
            else if (next == 0 || c->deadline_ms < next)
                next = c->deadline_ms;
        }
        const kel_tc_t *late_tc = late ? late->tc : NULL;
        uint32_t late_limit = late ? late->limit_ms : 0;
        g.sleep_until = next;
        bool stop = g.stop;
        pthread_mutex_unlock(&g.mu);

        if (late_tc)
            case_timed_out(kel, late_tc, late_limit);
        if (stop)
            return NULL;
        uint64_t wait = next ? next - now : 0;
        struct pollfd p = {wake_pipe[0], POLLIN, 0};
        poll(&p, 1, next ? static_cast<int>(wait < 0x7FFFFFFF ? wait : 0x7FFFFFFF) : -1);
    }
}

void unlist_case(case_watch *c)
{
    if (!c->listed)
        return;
    pthread_mutex_lock(&g.mu);
    if (c->prev)
        c->prev->next = c->next;
    else
        g.cases = c->next;
    if (c->next)
        c->next->prev = c->prev;
    c->listed = false;
    pthread_mutex_unlock(&g.mu);
}

bool open_wake_pipe(void)
{
    if (wake_pipe[0] >= 0)
        return true;
    return pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

void take_signals(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < n_interrupting; i++)
        sigaddset(&sa.sa_mask, interrupting[i]);
    for (size_t i = 0; i < n_interrupting; i++) {
        g.taken[i] = false;
        if (sigaction(interrupting[i], NULL, &g.old[i]) != 0)
            continue;
        /* An ignored signal stays ignored (nohup, a parent that ignores
         * SIGPIPE). */
        if (!(g.old[i].sa_flags & SA_SIGINFO) && g.old[i].sa_handler == SIG_IGN)
            continue;
        g.taken[i] = sigaction(interrupting[i], &sa, NULL) == 0;
    }
}

void give_signals_back(void)
{
    for (size_t i = 0; i < n_interrupting; i++)
        if (g.taken[i])
            sigaction(interrupting[i], &g.old[i], NULL);
}

/* "kel_res.<pid>.<n>" with decimal numbers and nothing else; the pid. */
bool segment_owner(const char *name, long *pid)
{
    static const char prefix[] = "kel_res.";
    if (strncmp(name, prefix, sizeof prefix - 1) != 0)
        return false;
    const char *p = name + sizeof prefix - 1;
    char *end;
    if (*p < '0' || *p > '9')
        return false;
    *pid = strtol(p, &end, 10);
    if (*end != '.' || end[1] < '0' || end[1] > '9' || *pid <= 0 || *pid > 0x7FFFFFFF)
        return false;
    for (p = end + 1; *p; p++)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

/* Results segments of masters that were killed: their owner's pid is on
 * no live process. Live owners' segments and other names stay. */
void sweep_dead_segments(void)
{
    DIR *dir = opendir("/dev/shm");
    if (!dir)
        return;
    long self = static_cast<long>(getpid());
    struct dirent *d;
    while ((d = readdir(dir)) != NULL) {
        long pid;
        if (!segment_owner(d->d_name, &pid) || pid == self)
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            orv_shm_unlink(d->d_name);
    }
    closedir(dir);
}

} // namespace

extern "C" uint32_t kel_set_timeout(kel_tc_t *tc, uint32_t milliseconds)
{
    if (!tc)
        return EINVAL;
    tc->timeout_ms = milliseconds;
    tc->timeout_set = 1;
    if (tc->instance)
        tc->instance->cfg.timeouts_set = 1;
    return 0;
}

bool kel__read_timeout_env(kel_t *kel)
{
    kel->run.env_timeout_ms = 0;
    const char *text = getenv(KEL_TIMEOUT_ENV);
    if (!text)
        return true;
    unsigned long long v = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9' && v <= 0xFFFFFFFFull; p++)
        v = v * 10 + static_cast<unsigned>(*p - '0');
    if (p == text || *p != '\0' || v > 0xFFFFFFFFull) {
        printf(KEL_FMT_BAD_TIMEOUT_ENV, text);
        return false;
    }
    kel->run.env_timeout_ms = static_cast<uint32_t>(v);
    return true;
}

uint32_t kel__limit_of(const kel_tc_t *tc)
{
    const kel_t *kel = tc->instance;
    if (!kel->run.limited)
        return 0;
    for (const kel_tc_t *n = tc; n; n = n->parent)
        if (n->timeout_set)
            return n->timeout_ms;
    return kel->run.env_timeout_ms;
}

void kel__guard_start(kel_t *kel)
{
    kel->run.guarded = 0;
    kel->run.limited = 0;
    if (kel->cfg.fork_id != 0 || kel->run.slave_mark)
        return;
    pthread_mutex_lock(&g.mu);
    bool busy = g.kel != NULL || !open_wake_pipe();
    if (!busy) {
        g.kel = kel;
        g.ending = false;
        g.stop = false;
        g.sleep_until = 0;
    }
    pthread_mutex_unlock(&g.mu);
    if (busy)
        return;
    sweep_dead_segments();
    drain_wake_pipe();
    handler_fd.store(wake_pipe[1]);
    take_signals();
    int rc = pthread_create(&g.thread, NULL, guard_main, kel);
    if (rc != 0) {
        give_signals_back();
        handler_fd.store(-1);
        pthread_mutex_lock(&g.mu);
        g.kel = NULL;
        pthread_mutex_unlock(&g.mu);
        printf(KEL_FMT_GUARD_NOT_STARTED, rc);
        return;
    }
    pthread_setname_np(g.thread, "KEL Guard");
    kel->run.guarded = 1;
    kel->run.limited = kel->run.env_timeout_ms != 0 || kel->cfg.timeouts_set;
}

void kel__guard_stop(kel_t *kel)
{
    if (!kel->run.guarded)
        return;
    give_signals_back();
    handler_fd.store(-1);
    pthread_mutex_lock(&g.mu);
    g.stop = true;
    pthread_mutex_unlock(&g.mu);
    wake_guard();
    pthread_join(g.thread, NULL);

    pthread_mutex_lock(&g.mu);
    g.kel = NULL;
    while (g.segments) {
        segment *s = g.segments;
        g.segments = s->next;
        free(s);
    }
    pthread_mutex_unlock(&g.mu);
    kel->run.guarded = 0;
    kel->run.limited = 0;
}

void kel__case_watch_begin(const kel_tc_t *tc, uint32_t limit_ms)
{
    case_watch *c = &my_case;
    unlist_case(c);
    c->prev = NULL;
    c->tc = tc;
    c->limit_ms = limit_ms;
    c->deadline_ms = now_ms() + limit_ms;
    pthread_mutex_lock(&g.mu);
    if (!g.kel) {
        pthread_mutex_unlock(&g.mu);
        return;
    }
    c->next = g.cases;
    if (g.cases)
        g.cases->prev = c;
    g.cases = c;
    c->listed = true;
    bool wake = earlier_than_sleep(c->deadline_ms);
    pthread_mutex_unlock(&g.mu);
    if (wake)
        wake_guard();
}

void kel__case_watch_end(void)
{
    unlist_case(&my_case);
}

void kel__child_watch(kel_child_watch_t *w, pid_t pid, int fd, uint32_t limit_ms)
{
    memset(w, 0, sizeof *w);
    w->pid = pid;
    w->fd = -1;
    w->deadline_ms = limit_ms ? now_ms() + limit_ms : 0;
    pthread_mutex_lock(&g.mu);
    if (!g.kel) {
        pthread_mutex_unlock(&g.mu);
        return;
    }
    if (pid <= 0)
        w->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (g.ending) {
        pthread_mutex_unlock(&g.mu);
        end_child(w);
        wait_for_the_end();
    }
    w->next = g.children;
    if (g.children)
        g.children->prev = w;
    g.children = w;
    w->listed = 1;
    bool wake = earlier_than_sleep(w->deadline_ms);
    pthread_mutex_unlock(&g.mu);
    if (wake)
        wake_guard();
}

bool kel__child_unwatch(kel_child_watch_t *w)
{
    if (!w->listed)
        return false;
    pthread_mutex_lock(&g.mu);
    if (g.ending) {
        pthread_mutex_unlock(&g.mu);
        wait_for_the_end();
    }
    if (w->prev)
        w->prev->next = w->next;
    else
        g.children = w->next;
    if (w->next)
        w->next->prev = w->prev;
    w->listed = 0;
    bool expired = w->expired != 0;
    pthread_mutex_unlock(&g.mu);
    if (w->fd >= 0)
        close(w->fd);
    w->fd = -1;
    return expired;
}

void kel__segment_watch(const char *name)
{
    segment *s = static_cast<segment *>(calloc(1, sizeof *s));
    if (!s)
        return;
    snprintf(s->name, sizeof s->name, "%s", name);
    pthread_mutex_lock(&g.mu);
    if (!g.kel) {
        pthread_mutex_unlock(&g.mu);
        free(s);
        return;
    }
    s->next = g.segments;
    g.segments = s;
    pthread_mutex_unlock(&g.mu);
}

void kel__segment_unwatch(const char *name)
{
    pthread_mutex_lock(&g.mu);
    if (g.ending) {
        /* The guard unlinks it and ends the process. */
        pthread_mutex_unlock(&g.mu);
        wait_for_the_end();
    }
    for (segment **p = &g.segments; *p; p = &(*p)->next) {
        if (strcmp((*p)->name, name) == 0) {
            segment *s = *p;
            *p = s->next;
            free(s);
            break;
        }
    }
    pthread_mutex_unlock(&g.mu);
}

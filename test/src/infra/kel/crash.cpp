/*
 * crash.cpp - a test case that ends the run's process: fatal signals and
 * exit().
 *
 * A test case that crashes takes the whole process with it. When stdout is
 * a file or a pipe, what it holds in its buffer (the test's own printf
 * lines and the framework's) would die with the process and the log would
 * not show which test case crashed. While kel_run runs, a handler for the
 * fatal signals writes that buffer out, names the crashing test case (in a
 * master; a slave's death is reported by its master) and ends the process
 * by the signal's default action, so the exit status still says "killed by
 * signal"; the results segments the process holds open go with it. The
 * handler runs on an alternate stack so that a stack overflow reaches it
 * too, and it calls nothing but async-signal-safe functions: the buffer is
 * taken straight from the FILE and written with write(2).
 *
 * A test case that calls exit() in a master would end the run with the
 * test's status, as if the run had ended: an exit handler names the test
 * case and the status and ends the run with the summary so far and run
 * code 3 (run_end.h). A slave's exit is left to its master, which reports
 * it as a slave that ended without its results.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "context.h"
#include "crash.h"
#include "messages.h"
#include "run_end.h"
#include "slave.h"
#include "tree.h"

namespace {

struct signal_name {
    int number;
    const char *name;
};

const signal_name fatal_signals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGFPE, "SIGFPE"}, {SIGILL, "SIGILL"}, {SIGABRT, "SIGABRT"},
};
constexpr size_t fatal_count = sizeof fatal_signals / sizeof fatal_signals[0];

/* Large enough for the handler under the sanitizers too. */
constexpr size_t altstack_size = 64 * 1024;

pthread_mutex_t guard_mutex = PTHREAD_MUTEX_INITIALIZER;
int guard_users;                             /* guarded by guard_mutex */
struct sigaction previous[fatal_count];      /* guarded by guard_mutex */
pthread_once_t exit_handler_once = PTHREAD_ONCE_INIT;

/* ---- the signal path: async-signal-safe calls only ---------------------- */

void write_all(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, buf, len);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        buf += w;
        len -= static_cast<size_t>(w);
    }
}

/* The bytes stdout holds but has not written. glibc keeps them between the
 * FILE's write base and write pointer, inside its buffer. The crash may
 * have hit in the middle of a stdio call that moves them, so they are
 * taken only when they lie in order inside the buffer, and are marked
 * written afterwards so that nothing can write them twice. Elsewhere than
 * glibc nothing is drained. */
void drain_stdout(void)
{
#ifdef __GLIBC__
    FILE *f = stdout;
    char *base = f->_IO_write_base;
    char *ptr = f->_IO_write_ptr;
    if (f->_fileno < 0 || !base || !f->_IO_buf_base || base < f->_IO_buf_base || ptr <= base ||
        ptr > f->_IO_buf_end)
        return;
    write_all(f->_fileno, base, static_cast<size_t>(ptr - base));
    f->_IO_write_ptr = base;
#endif
}

/* Gathers one line in a fixed buffer, written out whenever it fills. */
struct line_out {
    char buf[512];
    size_t len;

    void put(const char *s, size_t n)
    {
        while (n > 0) {
            if (len == sizeof buf) {
                write_all(STDOUT_FILENO, buf, len);
                len = 0;
            }
            size_t take = n < sizeof buf - len ? n : sizeof buf - len;
            memcpy(buf + len, s, take);
            len += take;
            s += take;
            n -= take;
        }
    }
    void put(const char *s) { put(s, strlen(s)); }
    void put_number(unsigned v)
    {
        char tmp[12];
        size_t n = sizeof tmp;
        do {
            tmp[--n] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0 && n > 0);
        put(tmp + n, sizeof tmp - n);
    }
    /* The path as the framework prints it: each name followed by ':'. */
    void put_path(const kel_tc_t *tc)
    {
        int depth = 0;
        for (const kel_tc_t *n = tc; n && n->parent; n = n->parent)
            depth++;
        for (int i = 0; i < depth; i++) {
            const kel_tc_t *n = tc;
            for (int up = depth - 1 - i; up > 0; up--)
                n = n->parent;
            if (n->name) {
                put(n->name);
                put(":", 1);
            }
        }
    }
    void flush() { write_all(STDOUT_FILENO, buf, len); }
};

void write_crash_line(const kel_tc_t *tc, int sig)
{
    const char *name = KEL_UNKNOWN_NAME;
    for (const signal_name &s : fatal_signals)
        if (s.number == sig)
            name = s.name;
    line_out out;
    out.len = 0;
    out.put(KEL_MSG_CRASH_HEAD);
    out.put_path(tc);
    out.put(KEL_MSG_CRASH_SIGNAL);
    out.put(name);
    out.put(KEL_MSG_CRASH_NUMBER);
    out.put_number(static_cast<unsigned>(sig));
    out.put(KEL_MSG_CRASH_END);
    out.flush();
}

[[noreturn]] void die_by(int sig)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, NULL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, NULL);
    raise(sig);
    /* A signal that the default action does not end the process with. */
    _exit(128 + sig);
}

void on_fatal_signal(int sig)
{
    drain_stdout();
    kel__res_unlink_open();
    kel_t *kel = kel__running();
    kel_tctx_t *ctx = kel__tctx_in_signal();
    if (kel && kel->cfg.fork_id == 0 && ctx)
        write_crash_line(ctx->tc, sig);
    die_by(sig);
}

/* ---- exit() ------------------------------------------------------------- */

/* The folders around a running test case are counted executed and failed
 * until they are seen to pass; a run that ends under them has not decided
 * them, and the summary so far counts only test cases. */
void uncount_open_folders(kel_t *kel, const kel_tctx_t *ctx)
{
    for (const kel_tctx_t *c = ctx->parent; c; c = c->parent) {
        if (!c->tc->body) {
            orv_atomic_decr(&kel->run.executed);
            orv_atomic_decr(&kel->run.failed);
        }
    }
}

/* Acts only while a run is under way in a master; a slave's exit is its
 * master's to report, and a program that exits after its run is done. */
void on_exit_during_run(int status, void *)
{
    kel_t *kel = kel__running();
    if (!kel || kel->cfg.fork_id != 0 || kel->run.slave_mark)
        return;
    kel_tctx_t *ctx = kel__tctx_get();
    flockfile(stdout);
    if (ctx) {
        uncount_open_folders(kel, ctx);
        printf(KEL_MSG_CRASH_HEAD);
        kel_tc_print_path(ctx->tc);
        printf(KEL_FMT_EXIT_IN_TEST, status);
    } else {
        printf(KEL_FMT_EXIT_IN_RUN, status);
    }
    funlockfile(stdout);
    kel__res_unlink_open();
    kel__end_run_now(kel, KEL_RC_FAILED);
}

void register_exit_handler(void)
{
    on_exit(on_exit_during_run, NULL);
}

} // namespace

void kel__altstack_push(kel_altstack_t *s)
{
    s->memory = NULL;
    if (sigaltstack(NULL, &s->previous) != 0 || !(s->previous.ss_flags & SS_DISABLE))
        return;
    s->memory = malloc(altstack_size);
    if (!s->memory)
        return;
    stack_t ours;
    ours.ss_sp = s->memory;
    ours.ss_size = altstack_size;
    ours.ss_flags = 0;
    if (sigaltstack(&ours, NULL) != 0) {
        free(s->memory);
        s->memory = NULL;
    }
}

void kel__altstack_pop(kel_altstack_t *s)
{
    if (!s->memory)
        return;
    sigaltstack(&s->previous, NULL);
    free(s->memory);
    s->memory = NULL;
}

void kel__crash_guard_arm(kel_altstack_t *stack)
{
    pthread_once(&exit_handler_once, register_exit_handler);
    kel__altstack_push(stack);
    pthread_mutex_lock(&guard_mutex);
    if (guard_users++ == 0) {
        struct sigaction act;
        memset(&act, 0, sizeof act);
        act.sa_handler = on_fatal_signal;
        act.sa_flags = SA_ONSTACK;
        sigfillset(&act.sa_mask);
        for (size_t i = 0; i < fatal_count; i++)
            sigaction(fatal_signals[i].number, &act, &previous[i]);
    }
    pthread_mutex_unlock(&guard_mutex);
}

void kel__crash_guard_disarm(kel_altstack_t *stack)
{
    pthread_mutex_lock(&guard_mutex);
    if (guard_users > 0 && --guard_users == 0)
        for (size_t i = 0; i < fatal_count; i++)
            sigaction(fatal_signals[i].number, &previous[i], NULL);
    pthread_mutex_unlock(&guard_mutex);
    kel__altstack_pop(stack);
}

/*
 * session.cpp - one connection of kel-agent, from the request to the
 * result.
 *
 * The client has a few seconds (-t) to send its whole 668-byte request. The
 * request is checked (request.cpp), a place among the -j running processes
 * is taken (or the request is rejected: nothing is ever queued), a result
 * segment of one slot is made, and the slave is started from the checked
 * program's descriptor (fork, then execveat) as a slave of the framework's
 * own protocol, in a process group of its own, with its standard input from
 * /dev/null, its output on the agent's, no other descriptor of the agent's
 * and the slave mark in its environment. Only when it has really started
 * does the client get its reply with status 0.
 *
 * Then the thread waits on three things at once: the slave's pidfd, the
 * client's socket and the agent's stop pipe. A slave that ends is reaped and
 * its slot becomes the result message; a client that hangs up (or sends end
 * of file: the protocol keeps the master's side open until the result) gets
 * its slave's whole process group killed; a stopping agent kills it too and
 * still tells the client why. In every case the segment is unlinked and the
 * place among the -j processes given back before the thread ends.
 *
 * When a slave ends, whatever is left in its process group (processes its
 * test started and did not wait for) is killed before the slave is reaped,
 * while its group id cannot yet be reused.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "agent.h"
#include "agent_msg.h"
#include "agent_text.h"
#include "orv.h"

extern char **environ;

namespace {

/* Result status values. */
constexpr uint8_t RES_RAN = 0;
constexpr uint8_t RES_SLAVE_FAILED = 1;
constexpr uint8_t RES_STOPPED = 2;

/* Sends on a blocked client give up after this long. */
constexpr int SEND_TIMEOUT_S = 10;

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

enum class read_end { whole, closed, timed_out, stopping };

/* Reads len bytes within the request time limit, watching the stop pipe. */
read_end read_request(const agent_conn *c, uint8_t *buf, size_t len)
{
    const uint64_t deadline = now_ms() + static_cast<uint64_t>(c->st->cfg->request_timeout_s) * 1000u;
    size_t got = 0;
    while (got < len) {
        uint64_t now = now_ms();
        if (now >= deadline)
            return read_end::timed_out;
        struct pollfd p[2] = {{c->fd, POLLIN, 0}, {c->st->stop_fd, POLLIN, 0}};
        int r = poll(p, 2, static_cast<int>(deadline - now));
        if (r < 0 && errno != EINTR)
            return read_end::closed;
        if (r <= 0)
            continue;
        if (p[1].revents != 0)
            return read_end::stopping;
        ssize_t n = recv(c->fd, buf + got, len - got, MSG_DONTWAIT);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return read_end::closed;
    }
    return read_end::whole;
}

bool send_msg(agent_conn *c, const void *msg, size_t len, const char *what)
{
    if (c->fd < 0)
        return false;
    uint32_t rc = kel_od_send_msg(&c->fd, msg, len);
    if (rc != 0) {
        agent_log(c->st, AGENT_FMT_LOG_SEND_FAILED, c->id, what, strerror(static_cast<int>(rc)));
        return false;
    }
    return true;
}

bool send_reply(agent_conn *c, uint8_t status, const char *reason)
{
    kel_spawn_rsp_t msg;
    agent_make_reply(c->st, c->local, status, reason, &msg);
    return send_msg(c, &msg, sizeof msg, "reply");
}

void reject(agent_conn *c, uint8_t status, const char *reason)
{
    agent_log(c->st, AGENT_FMT_LOG_REJECTED, c->id, c->peer, reason);
    send_reply(c, status, reason);
}

/* A place among the -j processes; false when all are taken. */
bool take_place(agent_state *st, unsigned *running)
{
    pthread_mutex_lock(&st->lock);
    bool ok = st->running < st->cfg->max_procs;
    if (ok)
        st->running++;
    *running = st->running;
    pthread_mutex_unlock(&st->lock);
    return ok;
}

void give_place(agent_state *st)
{
    pthread_mutex_lock(&st->lock);
    st->running--;
    pthread_mutex_unlock(&st->lock);
}

/* Closes every descriptor from 3 up except a and b. Kernels before 5.9
 * have no close_range: there the agent's own descriptors are close-on-exec
 * anyway, and only those it inherited reach the slave. */
void close_all_but(int a, int b)
{
    if (a > b)
        std::swap(a, b);
    const int bounds[][2] = {{3, a - 1}, {a + 1, b - 1}, {b + 1, INT_MAX}};
    for (const auto &r : bounds)
        if (r[0] <= r[1])
            close_range(static_cast<unsigned>(r[0]), static_cast<unsigned>(r[1]), 0);
}

/* The child between fork and exec: async-signal-safe calls only. The
 * errno of a failed exec goes back through report. */
[[noreturn]] void exec_slave(const agent_argv *args, char **envp, int program, int null_fd, int report)
{
    setpgid(0, 0);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    const int reset[] = {SIGTERM, SIGINT, SIGHUP, SIGCHLD};
    for (int sig : reset)
        sigaction(sig, &dfl, NULL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    dup2(null_fd, STDIN_FILENO);
    close_all_but(program, report);
    execveat(program, "", args->argv, envp, AT_EMPTY_PATH);
    int err = errno;
    ssize_t w = write(report, &err, sizeof err);
    (void)w;
    _exit(127);
}

/* The slave, started from the checked program's descriptor: its own
 * process group, default signal handling but for SIGPIPE, which stays
 * ignored as in the agent (a slave whose output lost its reader runs on and
 * reports), an empty mask (the agent blocks its stop signals), standard
 * input from /dev/null, no descriptor of the agent's but 0, 1 and 2, the
 * agent's environment with the slave mark (it starts no slaves of its own).
 * Everything the child needs is made before the fork. Returns 0 or the
 * errno of the failed start. */
int start_slave(const agent_argv *args, int program, pid_t *pid)
{
    char **envp = kel__slave_env(environ);
    int report[2] = {-1, -1};
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int err = 0;
    if (!envp || null_fd < 0 || pipe2(report, O_CLOEXEC) != 0) {
        err = envp ? errno : ENOMEM;
    } else if ((*pid = fork()) == 0) {
        exec_slave(args, envp, program, null_fd, report[1]);
    } else if (*pid < 0) {
        err = errno;
    } else {
        close(std::exchange(report[1], -1));
        /* End of file: the exec took place. */
        ssize_t n;
        do {
            n = read(report[0], &err, sizeof err);
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(sizeof err))
            err = 0;
        else
            waitpid(*pid, NULL, 0);
    }
    for (int fd : {report[0], report[1], null_fd})
        if (fd >= 0)
            close(fd);
    free(envp);
    return err;
}

/* Kills the slave's process group (and the slave, should it have left the
 * group). Only before it is reaped: until then its ids cannot be reused. */
void kill_group(pid_t pid)
{
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

int reap(pid_t pid)
{
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    return r == pid ? status : -1;
}

enum class wait_end { exited, client_gone, stopping };

wait_end wait_slave(const agent_conn *c, int pidfd)
{
    /* A failed send has closed the connection already. */
    if (c->fd < 0)
        return wait_end::client_gone;
    for (;;) {
        struct pollfd p[3] = {{pidfd, POLLIN, 0}, {c->fd, POLLIN | POLLRDHUP, 0}, {c->st->stop_fd, POLLIN, 0}};
        int r = poll(p, 3, -1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            /* Cannot watch anything: treat as a stop of this session. */
            return wait_end::stopping;
        }
        if (p[0].revents != 0)
            return wait_end::exited;
        if (p[2].revents != 0)
            return wait_end::stopping;
        if (p[1].revents & (POLLHUP | POLLERR | POLLRDHUP))
            return wait_end::client_gone;
        if (p[1].revents & POLLIN) {
            /* The client has nothing more to say: what it sends is dropped. */
            char junk[256];
            ssize_t n = recv(c->fd, junk, sizeof junk, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return wait_end::client_gone;
        }
    }
}

/* The result of a slave that ended with status (from waitpid, -1 when it
 * could not be waited for), from its slot. */
void make_result(const agent_conn *c, pid_t pid, int status, const kel_res_slot_t *slot,
                 kel__proc_result_fields *res)
{
    memset(res, 0, sizeof *res);
    kel__agent_hdr_init(&res->hdr, KEL_AGENT_MSG_PROC_RESULT, c->local, static_cast<uint32_t>(pid));
    kel_res_slot_t child;
    if (status == -1) {
        res->status = RES_SLAVE_FAILED;
        snprintf(res->error, sizeof res->error, AGENT_FMT_SLAVE_WAIT, strerror(ECHILD));
    } else if (WIFSIGNALED(status)) {
        res->status = RES_SLAVE_FAILED;
        snprintf(res->error, sizeof res->error, AGENT_FMT_SLAVE_SIGNAL, WTERMSIG(status));
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        res->status = RES_SLAVE_FAILED;
        snprintf(res->error, sizeof res->error, AGENT_FMT_SLAVE_EXIT, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    } else if (!kel__slot_read(slot, &child)) {
        res->status = RES_SLAVE_FAILED;
        snprintf(res->error, sizeof res->error, "%s", AGENT_MSG_SLAVE_NO_SLOT);
    } else {
        res->status = RES_RAN;
        res->executed = child.executed;
        res->failed = child.failed;
        res->checkpoints = child.checkpoints;
        res->elapsed_ms = child.elapsed_ms;
        res->summary_len = child.summary_len;
        memcpy(res->summary, child.summary, sizeof res->summary);
    }
}

void send_result(agent_conn *c, const kel__proc_result_fields *res)
{
    kel_proc_result_t msg;
    kel__proc_result_pack(res, &msg);
    send_msg(c, &msg, sizeof msg, "result");
}

/* From a running slave to its result; the slot's segment is open. Returns
 * how the wait ended; the slave is reaped in every case. */
wait_end supervise(agent_conn *c, pid_t pid, int pidfd, const kel_res_slot_t *slot)
{
    kel__proc_result_fields res;
    wait_end end = wait_slave(c, pidfd);
    switch (end) {
    case wait_end::exited: {
        kill_group(pid); /* what the slave left in its group */
        int status = reap(pid);
        make_result(c, pid, status, slot, &res);
        if (res.status == RES_RAN)
            agent_log(c->st, AGENT_FMT_LOG_ENDED, c->id, static_cast<int>(pid), res.executed, res.failed,
                      res.checkpoints);
        else
            agent_log(c->st, AGENT_FMT_LOG_FAILED, c->id, static_cast<int>(pid), res.error);
        send_result(c, &res);
        break;
    }
    case wait_end::client_gone:
        kill_group(pid);
        reap(pid);
        break;
    case wait_end::stopping:
        kill_group(pid);
        reap(pid);
        memset(&res, 0, sizeof res);
        kel__agent_hdr_init(&res.hdr, KEL_AGENT_MSG_PROC_RESULT, c->local, static_cast<uint32_t>(pid));
        res.status = RES_STOPPED;
        snprintf(res.error, sizeof res.error, "%s", AGENT_MSG_SLAVE_STOPPED);
        agent_log(c->st, AGENT_FMT_LOG_FAILED, c->id, static_cast<int>(pid), res.error);
        send_result(c, &res);
        break;
    }
    return end;
}

/* An accepted request, with its place taken: segment, slave, result. */
void run(agent_conn *c, const agent_request *req)
{
    agent_state *st = c->st;
    char name[64];
    uint32_t n = __atomic_fetch_add(&st->segments, 1, __ATOMIC_RELAXED);
    snprintf(name, sizeof name, "kel_agent.%d.%u", static_cast<int>(st->pid), n);
    orv_shm_unlink(name);
    orv_shm_t shm;
    memset(&shm, 0, sizeof shm);
    uint32_t rc = orv_shm_open(name, sizeof(kel_res_slot_t), &shm, NULL);
    if (rc != 0) {
        char reason[AGENT_REASON_SIZE];
        snprintf(reason, sizeof reason, AGENT_FMT_NO_SEGMENT, name, strerror(static_cast<int>(rc)));
        reject(c, RSP_CANNOT_START, reason);
        return;
    }
    kel_res_slot_t *slot = static_cast<kel_res_slot_t *>(shm.addr);
    kel__slot_arm(slot);

    agent_argv args;
    agent_build_argv(req, name, &args);
    pid_t pid = -1;
    int err = start_slave(&args, req->program_fd, &pid);
    int pidfd = -1;
    if (err == 0) {
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0) {
            err = errno;
            kill_group(pid);
            reap(pid);
        }
    }
    if (err != 0) {
        char reason[AGENT_REASON_SIZE];
        snprintf(reason, sizeof reason, AGENT_FMT_NO_SPAWN, req->program, strerror(err));
        reject(c, RSP_CANNOT_START, reason);
    } else {
        agent_log(st, AGENT_FMT_LOG_STARTED, c->id, static_cast<int>(pid));
        send_reply(c, RSP_ACCEPTED, "");
        /* When the reply could not be sent, the client is gone already. */
        wait_end end = supervise(c, pid, pidfd, slot);
        close(pidfd);
        orv_shm_close(&shm);
        orv_shm_unlink(name);
        /* Logged once nothing of the slave is left. */
        if (end == wait_end::client_gone)
            agent_log(st, AGENT_FMT_LOG_CLIENT_GONE, c->id, static_cast<int>(pid));
        return;
    }
    orv_shm_close(&shm);
    orv_shm_unlink(name);
}

} // namespace

void agent_make_reply(const agent_state *st, kel_node_id_t local, uint8_t status, const char *reason,
                      kel_spawn_rsp_t *msg)
{
    kel__spawn_rsp_fields f;
    memset(&f, 0, sizeof f);
    kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_SPAWN_RSP, local, static_cast<uint32_t>(st->pid));
    f.status = status;
    snprintf(f.reason, sizeof f.reason, "%s", reason);
    kel__spawn_rsp_pack(&f, msg);
}

void agent_log(const agent_state *st, const char *format, ...)
{
    if (!st->cfg->verbose)
        return;
    va_list ap;
    va_start(ap, format);
    flockfile(stderr);
    vfprintf(stderr, format, ap);
    fflush(stderr);
    funlockfile(stderr);
    va_end(ap);
}

void agent_serve(agent_conn *c)
{
    agent_state *st = c->st;
    struct timeval tv = {SEND_TIMEOUT_S, 0};
    setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    uint8_t msg[KEL_SPAWN_REQ_SIZE];
    const char *dropped = NULL;
    switch (read_request(c, msg, sizeof msg)) {
    case read_end::whole: break;
    case read_end::closed: dropped = AGENT_MSG_DROP_INCOMPLETE; break;
    case read_end::timed_out: dropped = AGENT_MSG_DROP_TIMEOUT; break;
    case read_end::stopping: dropped = AGENT_MSG_DROP_STOPPING; break;
    }
    if (dropped) {
        agent_log(st, AGENT_FMT_LOG_DROPPED, c->id, c->peer, dropped);
    } else {
        agent_request req;
        char reason[AGENT_REASON_SIZE];
        unsigned running = 0;
        if (!agent_check_request(msg, sizeof msg, &st->cfg->allowed, &req, reason, sizeof reason)) {
            reject(c, RSP_REFUSED, reason);
        } else {
            if (!take_place(st, &running)) {
                snprintf(reason, sizeof reason, AGENT_FMT_TOO_MANY, running, st->cfg->max_procs);
                reject(c, RSP_TOO_MANY, reason);
            } else {
                agent_log(st, AGENT_FMT_LOG_REQUEST, c->id, c->peer, req.program, req.f.task, req.f.seq,
                          req.f.node_num, req.f.verbosity, req.f.flags, req.f.test_case);
                run(c, &req);
                give_place(st);
            }
            close(req.program_fd);
        }
    }
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
}

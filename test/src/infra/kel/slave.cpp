/*
 * slave.cpp - running a test case in a slave process.
 *
 * A multi_process folder (or the folder named with -P) runs each task of its
 * children in a slave: a new execution of the same test program, started
 * with fork and execvpe, whose command line names the one test case and the
 * result slot it must fill (slave_proto.h), and whose environment carries
 * the slave mark: a slave never starts slaves of its own. The folder owns one POSIX
 * shared-memory results segment, "kel_res.<pid>.<n>", with one slot per
 * local task. Running a slave is start, wait, fold: arm the slot and fork,
 * wait for the slave and decode how it ended, then fold the slot's counts
 * and packed failure list into the instance (failure.h). A remote child
 * takes the agent's way instead (remote.h).
 *
 * A slave leads a process group of its own, registered with the run's
 * guard (guard.h) from its fork to its end: past its test case's time limit
 * the guard kills the group and the slave is reported as timed out; when
 * the master is interrupted the guard kills every group. Without a limit
 * the master waits as long as the slave runs. A slave also dies with the
 * thread that forked it (PR_SET_PDEATHSIG), which waits for it to the end:
 * a master killed by SIGKILL leaves no slave behind.
 *
 * Between fork and execvpe the child runs in a copy of a multithreaded
 * process in which other threads may have held the malloc or stdio locks at
 * the moment of the fork: it calls nothing but prctl, getppid, setpgid,
 * execvpe, write and _exit, all system calls. Its argument vector and
 * environment are built before the fork.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "failure.h"
#include "guard.h"
#include "messages.h"
#include "run_records.h"
#include "slave.h"
#include "tree.h"

extern char **environ;

namespace {

/* Names the results segments of this process; concurrent folders never
 * share a number. */
volatile uint32_t kel_res_counter;

/* Only one thread of the master forks at a time. */
pthread_mutex_t kel_fork_mutex = PTHREAD_MUTEX_INITIALIZER;

/* The names of the open results segments, for a process that dies before
 * their folders close them: a fixed table that a signal handler can read.
 * An entry is claimed (busy), filled, then published (named); a reader
 * takes only named entries. A segment that finds no free entry is still
 * used, only not unlinked then. */
enum : uint32_t { entry_free, entry_busy, entry_named };
struct open_entry {
    uint32_t state;
    char name[sizeof(kel_res_shm_t::name)];
};
open_entry open_table[64];

void note_open(const kel_res_shm_t *res)
{
    for (open_entry &e : open_table) {
        uint32_t expected = entry_free;
        if (__atomic_compare_exchange_n(&e.state, &expected, entry_busy, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            memcpy(e.name, res->name, sizeof e.name);
            __atomic_store_n(&e.state, entry_named, __ATOMIC_RELEASE);
            return;
        }
    }
}

void note_closed(const kel_res_shm_t *res)
{
    for (open_entry &e : open_table) {
        if (__atomic_load_n(&e.state, __ATOMIC_ACQUIRE) == entry_named &&
            strncmp(e.name, res->name, sizeof e.name) == 0) {
            __atomic_store_n(&e.state, entry_free, __ATOMIC_RELEASE);
            return;
        }
    }
}

/* The slot of the record, or NULL when its folder has none to give: the
 * segment is not open or is smaller than the slot number says. */
kel_res_slot_t *slot_of(const spawn_info *info)
{
    const kel_res_shm_t *res = info->res;
    return res ? kel__slot_at(res->base, res->shm.size, info->slot) : NULL;
}

/* Decimal text of a non-negative number without any library call, for the
 * forked child. Returns the length written into buf (at least 12 bytes). */
size_t format_decimal(unsigned value, char *buf)
{
    char tmp[12];
    size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < sizeof tmp);
    for (size_t i = 0; i < n; i++)
        buf[i] = tmp[n - 1 - i];
    return n;
}

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

/* The forked child. _exit rather than exit: exit would flush a copy of the
 * master's stdio buffers (printing their lines twice) and run the master's
 * exit handlers; the exit status, errno, is the same. */
[[noreturn]] void exec_child(char *const *argv, char *const *envp, pid_t master)
{
    /* The master may have died before the death signal was asked for. */
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != master)
        _exit(EXIT_FAILURE);
    setpgid(0, 0);
    execvpe(argv[0], argv, envp);
    int err = errno;
    char num[12];
    size_t n = format_decimal(static_cast<unsigned>(err), num);
    write_all(STDOUT_FILENO, KEL_MSG_CHILD_EXECVP_FAILED, sizeof KEL_MSG_CHILD_EXECVP_FAILED - 1);
    write_all(STDOUT_FILENO, num, n);
    _exit(err);
}

/* The slave's command line (slave_proto.h) in one heap block that also
 * holds the path names; the number texts live in nums. Returns NULL when
 * memory runs out. */
char **build_argv(const spawn_info *info, kel_slave_numbers_t *nums)
{
    const kel_tc_t *tc = info->tc;
    const kel_t *kel = tc->instance;
    size_t depth = 0;
    for (const kel_tc_t *n = tc; n && n->parent; n = n->parent)
        depth++;
    size_t count = KEL_SLAVE_OPTION_ARGS + depth + 1;
    char **argv = static_cast<char **>(calloc(count + depth, sizeof *argv));
    if (!argv)
        return NULL;
    char **names = argv + count;
    kel_tc_path_args(tc, names, 0);

    kel_slave_order_t order;
    memset(&order, 0, sizeof order);
    /* Without a program name the exec fails like any other and says so. */
    order.program = kel->cfg.argv0 ? kel->cfg.argv0 : "";
    order.task = info->task;
    order.segment = info->res->name;
    order.slot = info->slot;
    order.vars = kel->run.vars_text;
    order.verbosity = kel->cfg.verbosity;
    order.strict = kel->cfg.strict != 0;
    order.seq_given = tc->seq_count > 1;
    order.seq = info->seq;
    order.path = names;
    order.path_len = depth;
    kel__slave_argv(&order, nums, argv);
    return argv;
}

void trace_exec(char *const *argv)
{
    flockfile(stdout);
    printf(KEL_MSG_SLAVE_EXEC_TRACE);
    for (char *const *a = argv; *a; a++)
        printf(KEL_FMT_WORD, *a);
    printf("\n");
    funlockfile(stdout);
}

/* Waits for the slave; a signal handler of the test program interrupting
 * the wait does not end it. The guard's record is taken back between the
 * slave's end and its reaping, so that the guard never kills a reused pid.
 * Returns waitpid's result; errno tells why when it is not pid; *timed_out
 * tells that the guard killed the slave at its limit. */
pid_t wait_slave(pid_t pid, int *status, kel_child_watch_t *watch, bool *timed_out)
{
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    *timed_out = kel__child_unwatch(watch);
    pid_t r;
    do {
        errno = 0;
        r = waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

/* How a slave ended when it left no valid slot. */
enum class lost_slave { wait_error, core_dumped, signalled, stopped, exited, timed_out };

/* The run's record of a slave that is not folded; pid 0 before it exists. */
kel_fault_t slave_fault(const spawn_info *info, kel_rec_kind_t kind, pid_t pid, int code)
{
    return {kind, info->tc, info->task, info->seq, static_cast<int32_t>(pid), 0, code, NULL};
}

/* Its line, if any, then FAILED, as one block among the lines of
 * concurrent slaves; counted as one executed and failed test case. code is
 * the exit status, the signal or errno, by how. */
void report_lost_slave(const spawn_info *info, lost_slave how, pid_t pid, int code)
{
    int p = static_cast<int>(pid);
    kel_fault_t fault = slave_fault(info, KEL_REC_SLAVE_SIGNALLED, pid, code);
    flockfile(stdout);
    switch (how) {
    case lost_slave::wait_error: fault.kind = KEL_REC_SLAVE_SILENT; break;
    case lost_slave::core_dumped: printf(KEL_FMT_SLAVE_CORE_DUMPED, p); fault.reason = KEL_REC_CORE_DUMPED; break;
    case lost_slave::signalled: printf(KEL_FMT_SLAVE_SIGNALLED, p); break;
    case lost_slave::stopped: printf(KEL_FMT_SLAVE_TERMINATED, p); fault.kind = KEL_REC_SLAVE_STOPPED; break;
    case lost_slave::exited: printf(KEL_FMT_SLAVE_DIRECT_EXIT, p, code); fault.kind = KEL_REC_SLAVE_EXITED; break;
    case lost_slave::timed_out: printf(KEL_FMT_SLAVE_TIMED_OUT, p, static_cast<unsigned>(code)); fault.kind = KEL_REC_TIMED_OUT; break;
    }
    printf(KEL_MSG_SLAVE_FAILED);
    funlockfile(stdout);
    kel__count_lost_child(info->tc->instance, fault);
}

} // namespace

void kel__res_open(kel_res_shm_t *res, kel_tctx_t *folder_ctx)
{
    if (!res || !folder_ctx || res->base)
        return;
    kel_tc_t *folder = folder_ctx->tc;
    kel_t *kel = folder->instance;

    uint32_t c;
    do {
        c = orv_atomic_get(&kel_res_counter);
    } while (!orv_atomic_cas(&kel_res_counter, c, c + 1));
    snprintf(res->name, sizeof res->name, KEL_FMT_RES_NAME, kel->run.pid, static_cast<int>(c));
    /* A segment of a process that had our pid before us and was killed. */
    orv_shm_unlink(res->name);

    size_t local = 0;
    size_t remote = 0;
    for (kel_tc_t *child = kel__tc_first_child(folder); child; child = kel__tc_next_sibling(child)) {
        if (!(child->flags & KEL_TCF_SELECTED))
            continue;
        if (child->flags & KEL_TCF_REMOTE)
            remote++;
        else
            local += kel__child_threads(child);
    }

    /* A slave starts no slaves: a segment would only be left behind when
     * the slave is killed. */
    bool slave = kel->cfg.fork_id != 0 || kel->run.slave_mark;
    if (local > 0 && !slave) {
        size_t size = local * sizeof(kel_res_slot_t);
        uint32_t rc = orv_shm_open(res->name, size, &res->shm, NULL);
        if (rc != 0) {
            printf(KEL_FMT_RES_OPEN_ERROR, res->name, static_cast<ssize_t>(size), static_cast<int>(rc),
                   strerror(static_cast<int>(rc)));
            res->base = NULL;
        } else {
            res->base = static_cast<kel_res_slot_t *>(res->shm.addr);
            note_open(res);
            kel__segment_watch(res->name);
        }
    }
    if (local == 0 && remote == 0)
        printf(KEL_MSG_RES_NO_PROCESSES);
}

void kel__res_close(kel_res_shm_t *res)
{
    if (!res || !res->base)
        return;
    note_closed(res);
    kel__segment_unwatch(res->name);
    orv_shm_close(&res->shm);
    orv_shm_unlink(res->name);
    res->base = NULL;
}

void kel__res_unlink_open(void)
{
    static const char dir[] = "/dev/shm/";
    for (open_entry &e : open_table) {
        if (__atomic_load_n(&e.state, __ATOMIC_ACQUIRE) != entry_named)
            continue;
        char path[sizeof dir + sizeof e.name];
        memcpy(path, dir, sizeof dir - 1);
        memcpy(path + sizeof dir - 1, e.name, sizeof e.name);
        path[sizeof path - 1] = '\0';
        unlink(path);
    }
}

void kel_fork_exec_tc(spawn_info *info)
{
    kel_t *kel = info->tc->instance;
    kel_res_slot_t *slot = slot_of(info);
    if (!slot) {
        printf(KEL_MSG_SLAVE_NO_SLOT);
        kel__count_lost_child(kel, slave_fault(info, KEL_REC_SLAVE_NOT_STARTED, 0, 0));
        return;
    }

    kel_slave_numbers_t nums;
    char **argv = build_argv(info, &nums);
    if (!argv) {
        printf(KEL_FMT_SLAVE_NO_ARGV, "kel_fork_exec_tc");
        printf(KEL_MSG_SLAVE_FAILED);
        kel__count_lost_child(kel, slave_fault(info, KEL_REC_SLAVE_NOT_STARTED, 0, ENOMEM));
        return;
    }
    char **envp = kel__slave_env(environ);
    if (!envp) {
        free(argv);
        printf(KEL_FMT_SLAVE_NO_ENV, "kel_fork_exec_tc");
        printf(KEL_MSG_SLAVE_FAILED);
        kel__count_lost_child(kel, slave_fault(info, KEL_REC_SLAVE_NOT_STARTED, 0, ENOMEM));
        return;
    }
    if (kel->cfg.trace_forks)
        trace_exec(argv);

    kel__slot_arm(slot);

    uint32_t limit = kel__limit_of(info->tc);
    pid_t master = getpid();
    pthread_mutex_lock(&kel_fork_mutex);
    /* The slave shares our standard output: what we printed so far must be
     * out before its first line. */
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(argv, envp, master);
    int fork_errno = errno;
    kel_child_watch_t watch;
    if (pid > 0) {
        /* Either side may come first; the group exists before it is watched. */
        setpgid(pid, pid);
        kel__child_watch(&watch, pid, -1, limit);
    }
    pthread_mutex_unlock(&kel_fork_mutex);
    free(argv);
    free(envp);

    if (pid < 0) {
        flockfile(stdout);
        printf(KEL_FMT_SLAVE_SPAWN_ERROR, fork_errno);
        fflush(stdout);
        errno = fork_errno;
        perror(KEL_MSG_SLAVE_SPAWN_PERROR);
        printf(KEL_MSG_SLAVE_FAILED);
        funlockfile(stdout);
        kel__count_lost_child(kel, slave_fault(info, KEL_REC_SLAVE_NOT_STARTED, 0, fork_errno));
        return;
    }

    int status = 0;
    bool timed_out = false;
    if (wait_slave(pid, &status, &watch, &timed_out) != pid) {
        if (errno != 0) {
            report_lost_slave(info, lost_slave::wait_error, pid, errno);
            return;
        }
    } else if (timed_out && WIFSIGNALED(status)) {
        report_lost_slave(info, lost_slave::timed_out, pid, static_cast<int>(limit));
        return;
    } else if (WIFSIGNALED(status)) {
        report_lost_slave(info, WCOREDUMP(status) ? lost_slave::core_dumped : lost_slave::signalled, pid,
                          WTERMSIG(status));
        return;
    } else if (!WIFEXITED(status)) {
        report_lost_slave(info, lost_slave::stopped, pid, 0);
        return;
    } else if (WEXITSTATUS(status) != 0) {
        report_lost_slave(info, lost_slave::exited, pid, WEXITSTATUS(status));
        return;
    }

    kel_res_slot_t result;
    if (!kel__slot_read(slot, &result)) {
        printf(KEL_FMT_SLAVE_CALLED_EXIT0, static_cast<int>(pid));
        kel__count_lost_child(kel, slave_fault(info, KEL_REC_SLAVE_SILENT, pid, 0));
        return;
    }
    kel__fold_child(kel, info, static_cast<int32_t>(pid), 0, &result);
}

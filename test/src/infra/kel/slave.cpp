/*
 * slave.cpp - running a test case in a slave process.
 *
 * A multi_process folder (or the folder named with -P) runs each task of its
 * children in a slave: a new execution of the same test program, started
 * with fork and execvp, whose command line names the one test case and the
 * result slot it must fill. The folder owns one POSIX shared-memory results
 * segment, "kel_res.<pid>.<n>", with one 1056-byte slot per local task. The
 * master presets the slot's executed count to all ones, forks, waits for the
 * slave, decodes how it ended, and folds the slot's counts and its packed
 * failure list back into the instance. A remote child takes the agent's way
 * instead (remote.h).
 *
 * The master waits for each slave without a time limit: a slave that hangs
 * keeps its folder, and so the run, waiting. The user stops it by killing
 * the slave (its pid is on the slave's own lines, or from ps; -trace-forks
 * shows its command line); the master then reports it as terminated by a
 * signal and goes on.
 *
 * Between fork and execvp the child runs in a copy of a multithreaded
 * process in which other threads may have held the malloc or stdio locks at
 * the moment of the fork: it calls nothing but execvp, write and _exit.
 */
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "failure.h"
#include "messages.h"
#include "remote.h"
#include "slave.h"
#include "threads.h"
#include "tree.h"

/* The slot is shared with slaves and mirrored in the agent's result. */
static_assert(sizeof(kel_res_slot_t) == KEL_RES_SLOT_SIZE, "result slot is 1056 bytes");
static_assert(offsetof(kel_res_slot_t, executed) == 0, "slot layout");
static_assert(offsetof(kel_res_slot_t, failed) == 4, "slot layout");
static_assert(offsetof(kel_res_slot_t, checkpoints) == 8, "slot layout");
static_assert(offsetof(kel_res_slot_t, unused) == 12, "slot layout");
static_assert(offsetof(kel_res_slot_t, elapsed_ms) == 16, "slot layout");
static_assert(offsetof(kel_res_slot_t, summary_len) == 24, "slot layout");
static_assert(offsetof(kel_res_slot_t, summary) == 28, "slot layout");
static_assert(sizeof(kel_res_slot_t::summary) == KEL_RES_SUMMARY_SIZE, "slot layout");

namespace {

/* Names the results segments of this process; concurrent folders never
 * share a number. */
volatile uint32_t kel_res_counter;

/* Only one thread of the master forks at a time. */
pthread_mutex_t kel_fork_mutex = PTHREAD_MUTEX_INITIALIZER;

/* Options of the slave protocol, read back by the slave's command line. */
const char OPT_FORK_ID[] = "-fork_id";
const char OPT_SHM_RES[] = "-shm_res";
const char OPT_SLOT[] = "-shm_results_slot_id";
const char OPT_VARS[] = "-D";
const char OPT_DEBUG[] = "-d";
const char OPT_QUIET[] = "-q";
const char OPT_STRICT[] = "-s";
const char OPT_SEQ[] = "-seq";

void count_failed(kel_t *kel)
{
    orv_atomic_incr(&kel->executed);
    orv_atomic_incr(&kel->failed);
}

/* The slot of the record, or NULL when its folder has none to give: the
 * segment is not open or is smaller than the slot number says. */
kel_res_slot_t *slot_of(const spawn_info *info)
{
    const kel_res_shm_t *res = info->res;
    if (!res || !res->base)
        return NULL;
    size_t slots = res->shm.size / sizeof(kel_res_slot_t);
    if (info->slot >= slots)
        return NULL;
    return res->base + info->slot;
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
[[noreturn]] void exec_child(char *const *argv)
{
    execvp(argv[0], argv);
    int err = errno;
    char num[12];
    size_t n = format_decimal(static_cast<unsigned>(err), num);
    write_all(STDOUT_FILENO, KEL_MSG_CHILD_EXECVP_FAILED, sizeof KEL_MSG_CHILD_EXECVP_FAILED - 1);
    write_all(STDOUT_FILENO, num, n);
    _exit(err);
}

/* The number texts of a slave's command line. */
struct slave_numbers {
    char task[12];
    char slot[12];
    char seq[12];
};

/* The slave's command line: fixed options, the optional ones the run was
 * given, then one argument per path name. The number texts live in the
 * caller's buffers. Returns a heap vector ending with NULL, or NULL. */

char **build_argv(const spawn_info *info, const kel_res_shm_t *res, slave_numbers *nums)
{
    const kel_tc_t *tc = info->tc;
    const kel_t *kel = tc->instance;
    size_t depth = 0;
    for (const kel_tc_t *n = tc; n && n->parent; n = n->parent)
        depth++;
    size_t count = 7 + 2 + 1 + 1 + 2 + depth + 1;
    char **argv = static_cast<char **>(calloc(count, sizeof *argv));
    if (!argv)
        return NULL;

    snprintf(nums->task, sizeof nums->task, "%u", info->task);
    snprintf(nums->slot, sizeof nums->slot, "%u", info->slot);
    snprintf(nums->seq, sizeof nums->seq, "%u", info->seq);

    int i = 0;
    /* Without a program name the exec fails like any other and says so. */
    argv[i++] = kel->argv0 ? kel->argv0 : const_cast<char *>("");
    argv[i++] = const_cast<char *>(OPT_FORK_ID);
    argv[i++] = nums->task;
    argv[i++] = const_cast<char *>(OPT_SHM_RES);
    argv[i++] = const_cast<char *>(res->name);
    argv[i++] = const_cast<char *>(OPT_SLOT);
    argv[i++] = nums->slot;
    if (kel->vars_text) {
        argv[i++] = const_cast<char *>(OPT_VARS);
        argv[i++] = kel->vars_text;
    }
    if (kel->verbosity == 2)
        argv[i++] = const_cast<char *>(OPT_DEBUG);
    if (kel->verbosity == 0)
        argv[i++] = const_cast<char *>(OPT_QUIET);
    if (kel->strict)
        argv[i++] = const_cast<char *>(OPT_STRICT);
    if (tc->seq_count > 1) {
        argv[i++] = const_cast<char *>(OPT_SEQ);
        argv[i++] = nums->seq;
    }
    i = kel_tc_path_args(tc, argv, i);
    argv[i] = NULL;
    return argv;
}

void trace_exec(char *const *argv)
{
    flockfile(stdout);
    printf(KEL_MSG_SLAVE_EXEC_TRACE);
    for (char *const *a = argv; *a; a++)
        printf(KEL_FMT_SLAVE_EXEC_ARG, *a);
    printf("\n");
    funlockfile(stdout);
}

/* Waits for the slave; a signal handler of the test program interrupting
 * the wait does not end it. Returns waitpid's result; errno tells why when
 * it is not pid. */
pid_t wait_slave(pid_t pid, int *status)
{
    pid_t r;
    do {
        errno = 0;
        r = waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

/* How a slave ended when it left no valid slot. */
enum class lost_slave { wait_error, core_dumped, signalled, stopped, exited };

/* Its line, if any, then FAILED, as one block among the lines of
 * concurrent slaves; counted as one executed and failed test case. */
void report_lost_slave(kel_t *kel, lost_slave how, pid_t pid, int rc)
{
    int p = static_cast<int>(pid);
    flockfile(stdout);
    switch (how) {
    case lost_slave::wait_error: break;
    case lost_slave::core_dumped: printf(KEL_FMT_SLAVE_CORE_DUMPED, p); break;
    case lost_slave::signalled: printf(KEL_FMT_SLAVE_SIGNALLED, p); break;
    case lost_slave::stopped: printf(KEL_FMT_SLAVE_TERMINATED, p); break;
    case lost_slave::exited: printf(KEL_FMT_SLAVE_DIRECT_EXIT, p, rc); break;
    }
    printf(KEL_MSG_SLAVE_FAILED);
    funlockfile(stdout);
    count_failed(kel);
}

/* Folds a slot the slave has written into the instance. The slave is gone,
 * but its bytes are not trusted: the failure list is copied only within the
 * slot's area. */
void fold_slot(kel_t *kel, const spawn_info *info, const kel_res_slot_t *slot, pid_t pid)
{
    uint32_t executed = slot->executed;
    uint32_t failed = slot->failed;
    uint32_t checkpoints = slot->checkpoints;
    orv_atomic_add(&kel->executed, static_cast<int32_t>(executed));
    orv_atomic_add(&kel->failed, static_cast<int32_t>(failed));
    orv_atomic_add(&kel->checkpoints, static_cast<int32_t>(checkpoints));
    if (failed == 0)
        return;

    uint32_t len = slot->summary_len;
    if (len > KEL_RES_SUMMARY_SIZE)
        len = KEL_RES_SUMMARY_SIZE;
    char *summary = static_cast<char *>(malloc(len ? len : 1));
    if (!summary) {
        printf(KEL_FMT_CANNOT_ALLOC_FAILED, "kel_fork_exec_tc");
        return;
    }
    memcpy(summary, slot->summary, len);
    keep_failed_test_info_forked(kel, info->task, static_cast<int32_t>(pid), 0, summary, len);
}

void fork_exec_local(spawn_info *info)
{
    kel_t *kel = info->tc->instance;
    kel_res_slot_t *slot = slot_of(info);
    if (!slot) {
        printf(KEL_MSG_SLAVE_NO_SLOT);
        count_failed(kel);
        return;
    }

    slave_numbers nums;
    char **argv = build_argv(info, info->res, &nums);
    if (!argv) {
        printf(KEL_FMT_SLAVE_NO_ARGV, "kel_fork_exec_tc");
        printf(KEL_MSG_SLAVE_FAILED);
        count_failed(kel);
        return;
    }
    if (kel->trace_forks)
        trace_exec(argv);

    __atomic_store_n(&slot->executed, KEL_RES_NOT_WRITTEN, __ATOMIC_RELAXED);

    pthread_mutex_lock(&kel_fork_mutex);
    /* The slave shares our standard output: what we printed so far must be
     * out before its first line. */
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(argv);
    int fork_errno = errno;
    pthread_mutex_unlock(&kel_fork_mutex);
    free(argv);

    if (pid < 0) {
        flockfile(stdout);
        printf(KEL_FMT_SLAVE_SPAWN_ERROR, fork_errno);
        fflush(stdout);
        errno = fork_errno;
        perror(KEL_MSG_SLAVE_SPAWN_PERROR);
        printf(KEL_MSG_SLAVE_FAILED);
        funlockfile(stdout);
        count_failed(kel);
        return;
    }

    int status = 0;
    if (wait_slave(pid, &status) != pid) {
        if (errno != 0) {
            report_lost_slave(kel, lost_slave::wait_error, pid, 0);
            return;
        }
    } else if (WIFSIGNALED(status)) {
        report_lost_slave(kel, WCOREDUMP(status) ? lost_slave::core_dumped : lost_slave::signalled, pid, 0);
        return;
    } else if (!WIFEXITED(status)) {
        report_lost_slave(kel, lost_slave::stopped, pid, 0);
        return;
    } else if (WEXITSTATUS(status) != 0) {
        report_lost_slave(kel, lost_slave::exited, pid, WEXITSTATUS(status));
        return;
    }

    if (__atomic_load_n(&slot->executed, __ATOMIC_ACQUIRE) == KEL_RES_NOT_WRITTEN) {
        printf(KEL_FMT_SLAVE_CALLED_EXIT0, static_cast<int>(pid));
        count_failed(kel);
        return;
    }
    fold_slot(kel, info, slot, pid);
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
    snprintf(res->name, sizeof res->name, KEL_FMT_RES_NAME, kel->pid, static_cast<int>(c));
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

    if (local > 0) {
        size_t size = local * sizeof(kel_res_slot_t);
        uint32_t rc = orv_shm_open(res->name, size, &res->shm, NULL);
        if (rc != 0) {
            printf(KEL_FMT_RES_OPEN_ERROR, res->name, static_cast<ssize_t>(size), static_cast<int>(rc),
                   strerror(static_cast<int>(rc)));
            res->base = NULL;
        } else {
            res->base = static_cast<kel_res_slot_t *>(res->shm.addr);
        }
    }
    if (local == 0 && remote == 0)
        printf(KEL_MSG_RES_NO_PROCESSES);
}

void kel__res_close(kel_res_shm_t *res)
{
    if (!res || !res->base)
        return;
    orv_shm_close(&res->shm);
    orv_shm_unlink(res->name);
    res->base = NULL;
}

void keep_failed_test_info_forked(kel_t *kel, uint32_t proc, int32_t pid, kel_node_id_t node, char *summary,
                                  uint32_t summary_len)
{
    kel_failed_info_t *rec = static_cast<kel_failed_info_t *>(calloc(1, sizeof *rec));
    if (!rec) {
        printf(KEL_FMT_CANNOT_ALLOC_FAILED, "keep_failed_test_info_forked");
        free(summary);
        return;
    }
    rec->local = 0;
    rec->proc = static_cast<uint16_t>(proc);
    rec->pid = pid;
    rec->node = node;
    rec->summary = summary;
    rec->summary_len = summary_len;
    enqueue_failed_test_info(kel, rec);
}

void kel_fork_exec_tc(spawn_info *info)
{
    kel_t *kel = info->tc->instance;
    if (kel->fork_id != 0) {
        printf(KEL_MSG_SLAVE_NESTED);
        return;
    }
    if (info->tc->flags & KEL_TCF_REMOTE) {
        kel__remote_exec_tc(info);
        return;
    }
    fork_exec_local(info);
}

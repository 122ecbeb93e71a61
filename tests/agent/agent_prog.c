/*
 * agent_prog.c - master and slave of the remote-execution tests: children
 * bound to the nodes in AGENT_PROG_NODE (fake, fakeseq), AGENT_PROG_NODE_A
 * (mp:ra, jf, hold, crash) and AGENT_PROG_NODE_B (mp:rb); jf and hold read
 * the fifo named by the variable gate until it is released; fds:list (node A)
 * fails unless its descriptors are exactly 0, 1, 2 and its result segment. A master writes
 * "master pid=<pid>" to standard error. With AGENT_PROG_FIXED_ARGV set, main
 * passes kel_run the command line "crash" instead of its own.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "kel.h"

static void pass_one(void) { kel_check(1); }
static void remote_a(void)
{
    unsigned task = kel_get_fork_task_number();
    kel_check(task >= 1);
    kel_check(task != 2, "task %u fails on node A", task);
}
static void remote_b(void)
{
    kel_check(kel_get_node_num() == 7, "node number %u", kel_get_node_num());
    kel_check(0 > 1, "fails on node B");
}
static void wait_gate(void)
{
    const char *gate = kel_get_str_var("gate", "fifo to wait on", NULL);
    kel_assert(gate != NULL, "no gate given");
    int fd = open(gate, O_RDONLY | O_NONBLOCK); /* a released gate lets it through */
    kel_assert(fd >= 0, "cannot open %s", gate);
    fcntl(fd, F_SETFL, 0);
    char c;
    while (read(fd, &c, 1) > 0)
        ;
    close(fd);
    kel_check(1);
}
static void segv(void)
{
    kel_check(1);
    raise(SIGSEGV);
}
static void list_fds(void)
{
    char bad[512] = "", path[64], target[256];
    int seen = 0;
    DIR *d = opendir("/proc/self/fd");
    kel_assert(d != NULL, "cannot list descriptors");
    for (struct dirent *e; (e = readdir(d)) != NULL;) {
        int fd = atoi(e->d_name);
        ssize_t n = -1;
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        if (e->d_name[0] == '.' || fd == dirfd(d) || (n = readlink(path, target, sizeof target - 1)) < 0)
            continue;
        target[n] = '\0';
        if (fd <= 2)
            seen |= 1 << fd;
        else if (strncmp(target, "/dev/shm/", 9) != 0)
            snprintf(bad + strlen(bad), sizeof bad - strlen(bad), " %d=%s", fd, target);
    }
    closedir(d);
    kel_check(seen == 7 && bad[0] == '\0', "0-2 open: %d; others:%s", seen, bad);
}
static kel_tc_t *folder(kel_t *kel, const char *name)
{
    kel_tc_t *f = kel_create_test_folder(kel, NULL, name, name);
    kel_multi_process_enable(f);
    return f;
}
/* A child test case, bound to the node that node_var names. */
static kel_tc_t *child(kel_t *kel, kel_tc_t *f, const char *name, void (*body)(void), const char *node_var)
{
    kel_tc_t *tc = kel_create_test_case(kel, f, name, name, body, KEL_TC_BASIC);
    const char *node = node_var ? getenv(node_var) : NULL;
    if (node != NULL && kel_set_node(tc, node) != 0)
        fprintf(stderr, "bad node %s=%s\n", node_var, node);
    return tc;
}

int main(int argc, char **argv)
{
    kel_t *kel = NULL;
    if (kel_create(&kel) != 0)
        return 1;
    kel_set_node_num(child(kel, folder(kel, "fake"), "r", pass_one, "AGENT_PROG_NODE"), 5);
    kel_seq_set_count(child(kel, folder(kel, "fakeseq"), "r", pass_one, "AGENT_PROG_NODE"), 2);
    kel_tc_t *mp = folder(kel, "mp");
    kel_multi_task_set_count(child(kel, mp, "ra", remote_a, "AGENT_PROG_NODE_A"), 2);
    kel_set_node_num(child(kel, mp, "rb", remote_b, "AGENT_PROG_NODE_B"), 7);
    kel_multi_task_set_count(child(kel, mp, "local", pass_one, NULL), 2);
    kel_multi_task_set_count(child(kel, folder(kel, "jf"), "block", wait_gate, "AGENT_PROG_NODE_A"), 2);
    child(kel, folder(kel, "hold"), "wait", wait_gate, "AGENT_PROG_NODE_A");
    child(kel, folder(kel, "crash"), "segv", segv, "AGENT_PROG_NODE_A");
    child(kel, folder(kel, "fds"), "list", list_fds, "AGENT_PROG_NODE_A");
    static char crash[] = "crash";
    char *fixed[] = {argv[0], crash, NULL};
    kel_run_code_t rc = getenv("AGENT_PROG_FIXED_ARGV") ? kel_run(2, fixed, kel) : kel_run(argc, argv, kel);
    int slave = 0;
    for (int i = 1; i < argc; i++)
        slave = slave || strcmp(argv[i], "-fork_id") == 0;
    if (!slave)
        fprintf(stderr, "master pid=%d\n", (int)getpid());
    kel_destroy(&kel);
    return rc;
}

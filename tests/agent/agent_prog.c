/*
 * agent_prog.c - the test program of the remote-execution tests. Its
 * multi_process folders have children bound to nodes given in the
 * environment; the same program is what the agents start as slaves.
 *
 * Environment (read by the master only; a slave started by an agent runs its
 * one test case whatever its tree says about nodes):
 *   AGENT_PROG_NODE    node of fake:r, fakeseq:r and big:r (a fake agent);
 *   AGENT_PROG_NODE_A  node of mp:ra, jf:block, hold:wait and crash:segv;
 *   AGENT_PROG_NODE_B  node of mp:rb.
 * Run variables:
 *   gate=PATH     a fifo: jf:block and hold:wait read from it until every
 *                 writer closed it.
 * A master run writes "master pid=<pid>" to standard error after kel_run.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kel.h"

static void pass_one(void) { kel_check(1); }

/* Task 2 of mp:ra fails: the failure list names its node. */
static void remote_a(void)
{
    unsigned task = kel_get_fork_task_number();
    kel_check(task >= 1);
    kel_check(task != 2, "task %u fails on node A", task);
}

/* mp:rb has node number 7; it fails on purpose after checking it. */
static void remote_b(void)
{
    kel_check(kel_get_node_num() == 7, "node number %u", kel_get_node_num());
    kel_check(0 > 1, "fails on node B");
}

/* Waits until the gate fifo has no writer left. Opened without blocking, so
 * a gate already released lets it through at once. */
static void wait_gate(void)
{
    const char *gate = kel_get_str_var("gate", "fifo to wait on", NULL);
    kel_assert(gate != NULL, "no gate given");
    int fd = open(gate, O_RDONLY | O_NONBLOCK);
    kel_assert(fd >= 0, "cannot open %s", gate);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char c;
    while (read(fd, &c, 1) > 0)
        ;
    close(fd);
    kel_check(1);
}

static void block(void) { wait_gate(); }

static void segv(void)
{
    kel_check(1);
    raise(SIGSEGV);
}

static void show_node_num(void)
{
    printf("node_num=%u\n", kel_get_node_num());
    kel_check(1);
}

static void bind_node(kel_tc_t *tc, const char *variable)
{
    const char *node = getenv(variable);
    if (node != NULL && kel_set_node(tc, node) != 0)
        fprintf(stderr, "bad node %s=%s\n", variable, node);
}

int main(int argc, char **argv)
{
    kel_t *kel = NULL;
    if (kel_create(&kel) != 0)
        return 1;

    kel_tc_t *fake = kel_create_test_folder(kel, NULL, "fake", "One child on a fake agent");
    kel_multi_process_enable(fake);
    kel_tc_t *r = kel_create_test_case(kel, fake, "r", "Remote", pass_one, KEL_TC_BASIC);
    bind_node(r, "AGENT_PROG_NODE");
    kel_set_node_num(r, 5);

    kel_tc_t *fakeseq = kel_create_test_folder(kel, NULL, "fakeseq", "Two iterations on a fake agent");
    kel_multi_process_enable(fakeseq);
    kel_tc_t *rs = kel_create_test_case(kel, fakeseq, "r", "Remote, sequenced", pass_one, KEL_TC_BASIC);
    bind_node(rs, "AGENT_PROG_NODE");
    kel_seq_set_count(rs, 2);

    /* A path of 300 bytes cannot travel in a request. */
    char long_name[300];
    memset(long_name, 'n', sizeof long_name - 1);
    long_name[sizeof long_name - 1] = '\0';
    kel_tc_t *big = kel_create_test_folder(kel, NULL, "big", "A child whose path is too long");
    kel_multi_process_enable(big);
    kel_tc_t *rl = kel_create_test_case(kel, big, long_name, "Remote", pass_one, KEL_TC_BASIC);
    bind_node(rl, "AGENT_PROG_NODE");
    kel_set_node_num(rl, 70000);

    kel_tc_t *mp = kel_create_test_folder(kel, NULL, "mp", "Remote children on two nodes, local ones");
    kel_multi_process_enable(mp);
    kel_tc_t *ra = kel_create_test_case(kel, mp, "ra", "Two tasks on node A", remote_a, KEL_TC_BASIC);
    bind_node(ra, "AGENT_PROG_NODE_A");
    kel_multi_task_set_count(ra, 2);
    kel_tc_t *rb = kel_create_test_case(kel, mp, "rb", "One task on node B", remote_b, KEL_TC_BASIC);
    bind_node(rb, "AGENT_PROG_NODE_B");
    kel_set_node_num(rb, 7);
    kel_tc_t *local = kel_create_test_case(kel, mp, "local", "Two local slaves", pass_one, KEL_TC_BASIC);
    kel_multi_task_set_count(local, 2);

    kel_tc_t *jf = kel_create_test_folder(kel, NULL, "jf", "Two tasks that wait for the gate");
    kel_multi_process_enable(jf);
    kel_tc_t *blk = kel_create_test_case(kel, jf, "block", "Waits for the gate", block, KEL_TC_BASIC);
    bind_node(blk, "AGENT_PROG_NODE_A");
    kel_multi_task_set_count(blk, 2);

    kel_tc_t *hf = kel_create_test_folder(kel, NULL, "hold", "One task that never ends by itself");
    kel_multi_process_enable(hf);
    kel_tc_t *hw = kel_create_test_case(kel, hf, "wait", "Waits for the gate", block, KEL_TC_BASIC);
    bind_node(hw, "AGENT_PROG_NODE_A");

    kel_tc_t *cf = kel_create_test_folder(kel, NULL, "crash", "A remote slave that crashes");
    kel_multi_process_enable(cf);
    kel_tc_t *cs = kel_create_test_case(kel, cf, "segv", "Raises SIGSEGV", segv, KEL_TC_BASIC);
    bind_node(cs, "AGENT_PROG_NODE_A");

    kel_tc_t *nn = kel_create_test_folder(kel, NULL, "nodenum", "The node number of -node_num");
    kel_create_test_case(kel, nn, "show", "Prints it", show_node_num, KEL_TC_BASIC);

    kel_run_code_t rc = kel_run(argc, argv, kel);
    bool slave = false;
    for (int i = 1; i < argc; i++)
        slave = slave || strcmp(argv[i], "-fork_id") == 0;
    if (!slave)
        fprintf(stderr, "master pid=%d\n", (int)getpid());
    kel_destroy(&kel);
    return rc;
}

/*
 * faults.c - the fault-matrix test program: test cases that hang (in a
 * slave or in the master), a master that is signalled while its slaves
 * hang, a master whose output loses its reader, results segments left by a
 * killed master. Nothing here sleeps: hanging bodies block in pause(), and
 * the master is signalled once its slaves have said, through a pipe, that
 * they run. Environment:
 *   FAULTS_SIGNAL  INT|TERM|HUP: "stop" signals its own master with it;
 *   FAULTS_HEAD    standard output goes through a child that passes its
 *                  first line on and exits, as `| head -1` does;
 *   FAULTS_STALE   segments of a dead and of a live owner, and one of
 *                  another name, exist before the run; which are left after,
 *                  and whether the program's SIGTERM handler is back.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kel.h"

static int ready_fd = -1; /* the master reads what its slaves write */

static void block(void)
{
    for (;;)
        pause();
}

/* A slave: its lines are out, then it says it runs, and hangs. */
static void hang(void)
{
    kel_check(1);
    fflush(stdout);
    const char *fd = getenv("FAULTS_READY_FD");
    if (fd && write(atoi(fd), "r", 1) != 1)
        kel_fail();
    block();
}

static void wait_for_slaves(int n)
{
    char c;
    for (int i = 0; i < n; i++)
        if (read(ready_fd, &c, 1) != 1)
            kel_fail();
}

static void send_signal(void)
{
    static const struct { const char *name; int sig; } sigs[] = {{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
    wait_for_slaves(2);
    const char *name = getenv("FAULTS_SIGNAL");
    for (size_t i = 0; name && i < sizeof sigs / sizeof sigs[0]; i++)
        if (strcmp(name, sigs[i].name) == 0)
            kill(getpid(), sigs[i].sig);
    block();
}

/* Writes until its output has no reader any more. */
static void talk(void)
{
    wait_for_slaves(1);
    for (int i = 1; printf("talk %d\n", i) > 0 && fflush(stdout) == 0; i++) {
    }
    block();
}

static void pass(void) { kel_check(1); }

/* The first line of what the program prints, as `| head -1` shows it. */
static void through_head(void)
{
    int p[2];
    if (pipe(p) != 0)
        exit(2);
    if (fork() == 0) {
        close(p[1]);
        char c;
        while (read(p[0], &c, 1) == 1 && write(STDOUT_FILENO, &c, 1) == 1 && c != '\n') {
        }
        _exit(0);
    }
    close(p[0]);
    dup2(p[1], STDOUT_FILENO);
    close(p[1]);
}

static const char *stale_names[3];
static const char *stale_texts[3] = {"dead owner's segment", "live owner's segment", "another name"};

static void make_stale_segments(void)
{
    static char names[3][48];
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, NULL, 0);
    snprintf(names[0], sizeof names[0], "/kel_res.%d.7", (int)dead);
    snprintf(names[1], sizeof names[1], "/kel_res.%d.7", (int)getppid());
    snprintf(names[2], sizeof names[2], "/kel_res.%d.7.x", (int)dead);
    for (int i = 0; i < 3; i++) {
        stale_names[i] = names[i];
        int fd = shm_open(names[i], O_CREAT | O_RDWR, 0600);
        if (fd >= 0)
            close(fd);
    }
}

static void on_term(int sig) { (void)sig; }

static void report_stale_segments(void)
{
    struct sigaction sa;
    sigaction(SIGTERM, NULL, &sa);
    printf("SIGTERM handler: %s\n", sa.sa_handler == on_term ? "the program's" : "another");
    for (int i = 0; i < 3; i++) {
        int fd = shm_open(stale_names[i], O_RDONLY, 0);
        printf("%s: %s\n", stale_texts[i], fd >= 0 ? "kept" : "removed");
        if (fd >= 0) {
            close(fd);
            shm_unlink(stale_names[i]);
        }
    }
}

int main(int argc, char **argv)
{
    kel_t *kel;
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *hung = kel_create_test_folder(kel, NULL, "hang", "A slave that hangs");
    kel_multi_process_enable(hung);
    kel_create_test_case(kel, hung, "wait", "wait", hang, KEL_TC_BASIC);
    kel_tc_t *limited = kel_create_test_folder(kel, NULL, "limited", "A slave that hangs past 200 ms");
    kel_multi_process_enable(limited);
    kel_set_timeout(limited, 200);
    kel_create_test_case(kel, limited, "wait", "wait", hang, KEL_TC_BASIC);
    kel_tc_t *in = kel_create_test_folder(kel, NULL, "inproc", "A test case of the master that hangs");
    kel_create_test_case(kel, in, "pass", "pass", pass, KEL_TC_BASIC);
    kel_create_test_case(kel, in, "wait", "wait", block, KEL_TC_BASIC);
    kel_tc_t *quick = kel_create_test_folder(kel, NULL, "quick", "Passes in the master and in slaves");
    kel_create_test_case(kel, quick, "pass", "pass", pass, KEL_TC_BASIC);
    kel_tc_t *mp = kel_create_test_folder(kel, quick, "mp", "mp");
    kel_multi_process_enable(mp);
    kel_create_test_case(kel, mp, "pass", "pass", pass, KEL_TC_BASIC);
    kel_tc_t *stop = kel_create_test_folder(kel, NULL, "stop", "Signalled while two slaves hang");
    kel_multi_task_enable(stop);
    kel_tc_t *sl = kel_create_test_folder(kel, stop, "slaves", "slaves");
    kel_multi_process_enable(sl);
    kel_multi_task_set_count(kel_create_test_case(kel, sl, "wait", "wait", hang, KEL_TC_BASIC), 2);
    kel_create_test_case(kel, stop, "signal", "signal", send_signal, KEL_TC_BASIC);
    kel_tc_t *pipe_f = kel_create_test_folder(kel, NULL, "pipe", "Output loses its reader while a slave hangs");
    kel_multi_task_enable(pipe_f);
    kel_tc_t *one = kel_create_test_folder(kel, pipe_f, "slave", "slave");
    kel_multi_process_enable(one);
    kel_create_test_case(kel, one, "wait", "wait", hang, KEL_TC_BASIC);
    kel_create_test_case(kel, pipe_f, "talk", "talk", talk, KEL_TC_BASIC);

    /* A shell starts background jobs with SIGINT ignored; a terminal would
     * deliver it. */
    signal(SIGINT, SIG_DFL);
    if (!getenv("FAULTS_READY_FD")) {
        int p[2];
        char text[16];
        if (pipe(p) != 0)
            return 2;
        ready_fd = p[0];
        snprintf(text, sizeof text, "%d", p[1]);
        setenv("FAULTS_READY_FD", text, 1);
        if (getenv("FAULTS_HEAD"))
            through_head();
        if (getenv("FAULTS_STALE")) {
            make_stale_segments();
            signal(SIGTERM, on_term);
        }
    }
    int rc = kel_run(argc, argv, kel);
    if (stale_names[0])
        report_stale_segments();
    kel_destroy(&kel);
    return rc;
}

/*
 * slave_prog.c - a test program for the multi-process golden tests. Its
 * multi_process folders run their leaves in slaves, which are this same
 * program started again with the slave options; the leaves pass, fail,
 * crash, call exit, or print what their slave was told. The path on the
 * command line picks the case.
 *
 * A master run writes "master pid=<pid>" to standard error after kel_run,
 * so that a test can look for results segments the run left behind.
 * Environment, for the tests that need a broken slave:
 *   SLAVE_PROG_ARGV0    replaces argv[0], so that the slaves cannot be started;
 *   SLAVE_PROG_HOSTILE  makes a slave overwrite its slot, after kel_run has
 *                       filled it, with a failure list that runs past the
 *                       slot's end and a summary_len of all ones.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kel.h"

static void pass_two(void)
{
    kel_check(1);
    kel_check(2 > 1);
}

static void fail_one(void)
{
    int got = 5;
    kel_check(1);
    kel_check(got == 6, "got %d", got);
}

static void crash(void)
{
    kel_check(1);
    raise(SIGSEGV);
}

static void exit_zero(void) { exit(0); }

static void exit_three(void) { exit(3); }

static void print_info(void)
{
    printf("info fork=%u seq=%u color=%s debug=%d\n", kel_get_fork_task_number(), kel_get_seq_number(),
           kel_get_str_var("color", NULL, "none"), kel_debug() ? 1 : 0);
    kel_check(1);
}

static void twice(void)
{
    printf("w fork=%u\n", kel_get_fork_task_number());
    kel_check(1);
}

static void sequenced(void)
{
    printf("s fork=%u seq=%u\n", kel_get_fork_task_number(), kel_get_seq_number());
    kel_check(1);
}

/* load: what each of the 16 slaves does, by its process number. */
static void worker(void)
{
    unsigned id = kel_get_fork_task_number();
    if (id >= 9 && id <= 11) {
        kel_check(1);
        kel_check(id == 0, "worker %u fails", id);
    } else if (id == 12 || id == 13) {
        raise(SIGSEGV);
    } else if (id == 14) {
        exit(0);
    } else if (id == 15) {
        exit(3);
    }
    kel_check(1);
    kel_check(id != 0);
}

static void boom(void) { kel_assert(0 > 1, "stop the run"); }

static const char *arg_after(int argc, char **argv, const char *option)
{
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], option) == 0)
            return argv[i + 1];
    return NULL;
}

/* The slot layout as the slave protocol has it: counts, elapsed time, the
 * used size and the 1028-byte failure area, 1056 bytes in all. */
static void corrupt_slot(const char *name, long slot)
{
    char path[256];
    snprintf(path, sizeof path, "/%s", name);
    int fd = shm_open(path, O_RDWR, 0);
    if (fd < 0)
        return;
    size_t size = (size_t)(slot + 1) * 1056;
    unsigned char *base = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED)
        return;
    unsigned char *s = base + (size_t)slot * 1056;
    uint32_t failed = 1;
    uint32_t len = 0xFFFFFFFFu;
    memcpy(s + 4, &failed, sizeof failed);
    memcpy(s + 24, &len, sizeof len);
    unsigned char *area = s + 28;
    /* One whole entry, one of the longest texts, then lengths that run
     * past the area's end. */
    static const unsigned char first[] = {4, 'p', 'a', 't', 'h', 3, 'l', 'o', 'c', 0};
    memcpy(area, first, sizeof first);
    memset(area + sizeof first, 'z', 1028 - sizeof first);
    area[sizeof first] = 253;
    munmap(base, size);
}

int main(int argc, char **argv)
{
    kel_t *kel = NULL;
    if (kel_create(&kel) != 0)
        return 1;

    kel_tc_t *mp = kel_create_test_folder(kel, NULL, "mp", "Single slaves");
    kel_multi_process_enable(mp);
    kel_create_test_case(kel, mp, "pass", "Passes", pass_two, KEL_TC_BASIC);
    kel_create_test_case(kel, mp, "fail", "Fails a check", fail_one, KEL_TC_BASIC);
    kel_create_test_case(kel, mp, "segv", "Crashes", crash, KEL_TC_BASIC);
    kel_create_test_case(kel, mp, "exit0", "Calls exit(0)", exit_zero, KEL_TC_BASIC);
    kel_create_test_case(kel, mp, "exit3", "Calls exit(3)", exit_three, KEL_TC_BASIC);
    kel_create_test_case(kel, mp, "info", "Prints what the slave was told", print_info, KEL_TC_BASIC);

    kel_tc_t *tw = kel_create_test_folder(kel, NULL, "twice", "Two slaves of one child");
    kel_multi_process_enable(tw);
    kel_tc_t *w = kel_create_test_case(kel, tw, "w", "Prints its process number", twice, KEL_TC_BASIC);
    kel_multi_task_set_count(w, 2);

    kel_tc_t *seqf = kel_create_test_folder(kel, NULL, "seqf", "A sequenced child");
    kel_multi_process_enable(seqf);
    kel_tc_t *s = kel_create_test_case(kel, seqf, "s", "Prints its sequence number", sequenced, KEL_TC_BASIC);
    kel_seq_set_count(s, 2);

    kel_tc_t *nested = kel_create_test_folder(kel, NULL, "nested", "Slaves do not fork");
    kel_multi_process_enable(nested);
    kel_tc_t *inner = kel_create_test_folder(kel, nested, "inner", "Multi-process inside a slave");
    kel_multi_process_enable(inner);
    kel_tc_t *leaf = kel_create_test_case(kel, inner, "leaf", "Never runs", pass_two, KEL_TC_BASIC);
    kel_multi_task_set_count(leaf, 2);

    kel_tc_t *load = kel_create_test_folder(kel, NULL, "load", "Sixteen slaves");
    kel_multi_process_enable(load);
    kel_tc_t *wk = kel_create_test_case(kel, load, "worker", "Behaves by process number", worker, KEL_TC_BASIC);
    kel_multi_task_set_count(wk, 16);

    kel_tc_t *ab = kel_create_test_folder(kel, NULL, "abort", "An assert while slaves run");
    kel_multi_task_enable(ab);
    kel_tc_t *mpx = kel_create_test_folder(kel, ab, "mpx", "Slaves");
    kel_multi_process_enable(mpx);
    kel_tc_t *slow = kel_create_test_case(kel, mpx, "pass", "Passes", pass_two, KEL_TC_BASIC);
    kel_multi_task_set_count(slow, 3);
    kel_create_test_case(kel, ab, "boom", "Asserts", boom, KEL_TC_BASIC);

    char *argv0 = getenv("SLAVE_PROG_ARGV0");
    if (argv0)
        argv[0] = argv0;

    int rc = kel_run(argc, argv, kel);

    const char *res = arg_after(argc, argv, "-shm_res");
    const char *slot = arg_after(argc, argv, "-shm_results_slot_id");
    if (!arg_after(argc, argv, "-fork_id"))
        fprintf(stderr, "master pid=%d\n", (int)getpid());
    else if (getenv("SLAVE_PROG_HOSTILE") && res && slot)
        corrupt_slot(res, strtol(slot, NULL, 10));

    kel_destroy(&kel);
    return rc;
}

/*
 * slaves.c - the multi-process test program of the golden scenarios: its
 * multi_process folders run their leaves in slaves (this same program run
 * again with the slave options); the leaves pass, fail, crash, call exit, or
 * print what their slave was told. The path picks the case. Environment:
 *   SLAVES_ARGV0    replaces argv[0], so that the slaves cannot be started;
 *   SLAVES_HOSTILE  list|failed|wrap: a slave overwrites its filled slot (a list
 *                   past its end, failed > executed, a count past a total);
 *   SLAVES_NO_FORK, SLAVES_NO_SHM  make fork and shm_open (which the library
 *                   calls through this program's own definitions) fail;
 *   SLAVES_FIXED_ARGV  main passes kel_run "mp pass", not its own argv;
 *   SLAVES_LEAVE    the master leaves a process behind, waiting for ever.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kel.h"

__attribute__((visibility("default"))) pid_t fork(void)
{
    static pid_t (*real)(void);
    if (getenv("SLAVES_NO_FORK")) {
        errno = EAGAIN;
        return -1;
    }
    if (!real)
        *(void **)&real = dlsym(RTLD_NEXT, "fork");
    return real();
}

__attribute__((visibility("default"))) int shm_open(const char *name, int flags, mode_t mode)
{
    static int (*real)(const char *, int, mode_t);
    if (getenv("SLAVES_NO_SHM")) {
        errno = EMFILE;
        return -1;
    }
    if (!real)
        *(void **)&real = dlsym(RTLD_NEXT, "shm_open");
    return real(name, flags, mode);
}

static void pass_two(void) { kel_check(1); kel_check(2 > 1); }
static void fail_one(void) { int got = 5; kel_check(1); kel_check(got == 6, "got %d", got); }
/* More failures than the slot's list holds; the last, shorter record would
 * still fit after the cut, which must end the list. The function's name
 * (64 characters) sizes the records so that it would. */
static void errors_from_a_function_whose_long_name_fills_the_slot_right_away(void)
{
    for (int i = 0; i < 14; i++)
        kel_log_error("error %d", i);
}
static void e(void) { kel_fail(); }
static void overflow(void) { errors_from_a_function_whose_long_name_fills_the_slot_right_away(); e(); }
static void crash(void) { printf("printed before the crash\n"); kel_check(1); raise(SIGSEGV); }
static void exit_zero(void) { exit(0); }
static void exit_three(void) { exit(3); }
/* abort: boom asserts once the multi-process sibling has ended, so the
 * counts are exact. */
static kel_syncvar_t *mpx_done;
static void mpx_end(void) { kel_syncvar_add(mpx_done, 1); }
static void boom(void)
{
    kel_syncvar_wait(mpx_done, 60000);
    kel_assert(0 > 1, "stop the run");
}

static void info(void)
{
    printf("info fork=%u seq=%u color=%s debug=%d\n", kel_get_fork_task_number(), kel_get_seq_number(),
           kel_get_str_var("color", NULL, "none"), kel_debug() ? 1 : 0);
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

static const char *arg_after(int argc, char **argv, const char *option)
{
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], option) == 0)
            return argv[i + 1];
    return NULL;
}

/* The slot as a slave writes it: counts, elapsed time, the used size and
 * the 1028-byte failure list, 1056 bytes in all. */
static void corrupt_slot(const char *name, long slot, const char *how)
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
    if (strcmp(how, "list") != 0) {
        uint32_t counts[2] = {1, 2}; /* executed, failed */
        if (strcmp(how, "wrap") == 0)
            counts[0] = 0x80000000u, counts[1] = 0;
        memcpy(s, counts, sizeof counts);
        munmap(base, size);
        return;
    }
    uint32_t failed = 1, len = 0xFFFFFFFFu;
    memcpy(s + 4, &failed, sizeof failed);
    memcpy(s + 24, &len, sizeof len);
    /* One whole entry, one of the longest texts, then lengths that run
     * past the list's end. */
    static const unsigned char first[] = {4, 'p', 'a', 't', 'h', 3, 'l', 'o', 'c', 0};
    memcpy(s + 28, first, sizeof first);
    memset(s + 28 + sizeof first, 'z', 1028 - sizeof first);
    s[28 + sizeof first] = 253;
    munmap(base, size);
}

static kel_t *kel;

static kel_tc_t *mp_folder(kel_tc_t *parent, const char *name)
{
    kel_tc_t *f = kel_create_test_folder(kel, parent, name, name);
    kel_multi_process_enable(f);
    return f;
}

static kel_tc_t *leaf(kel_tc_t *parent, const char *name, kel_fn_t fn, int tasks, int seqs)
{
    kel_tc_t *c = kel_create_test_case(kel, parent, name, name, fn, KEL_TC_BASIC);
    if (tasks)
        kel_multi_task_set_count(c, tasks);
    if (seqs)
        kel_seq_set_count(c, seqs);
    return c;
}

int main(int argc, char **argv)
{
    if (kel_create(&kel) != 0)
        return 1;
    kel_tc_t *mp = mp_folder(NULL, "mp");
    leaf(mp, "pass", pass_two, 0, 0);
    leaf(mp, "fail", fail_one, 0, 0);
    leaf(mp, "segv", crash, 0, 0);
    leaf(mp, "exit0", exit_zero, 0, 0);
    leaf(mp, "exit3", exit_three, 0, 0);
    leaf(mp, "info", info, 0, 0);
    leaf(mp, "overflow", overflow, 0, 0);
    leaf(mp_folder(NULL, "twice"), "w", info, 2, 0);
    leaf(mp_folder(NULL, "seqf"), "s", info, 0, 2);
    leaf(mp_folder(mp_folder(NULL, "nested"), "inner"), "leaf", pass_two, 2, 0);
    leaf(mp_folder(NULL, "load"), "worker", worker, 16, 0);
    kel_tc_t *ab = kel_create_test_folder(kel, NULL, "abort", "An assert while slaves run");
    kel_multi_task_enable(ab);
    kel_tc_t *mpx = mp_folder(ab, "mpx");
    kel_add_fixture(mpx, NULL, mpx_end);
    leaf(mpx, "pass", pass_two, 3, 0);
    mpx_done = kel_syncvar_alloc(0, 1);
    leaf(ab, "boom", boom, 0, 0);
    kel_tc_t *mt = kel_create_test_folder(kel, NULL, "mt", "Threads, or slaves with -P");
    kel_multi_task_enable(mt);
    leaf(mt, "c", info, 2, 2);

    char *argv0 = getenv("SLAVES_ARGV0");
    if (argv0)
        argv[0] = argv0;
    static char mp_name[] = "mp", pass_name[] = "pass";
    char *fixed[] = {argv[0], mp_name, pass_name, NULL};
    if (getenv("SLAVES_FIXED_ARGV")) {
        argc = 3;
        argv = fixed;
    }
    int rc = kel_run(argc, argv, kel);
    const char *res = arg_after(argc, argv, "-shm_res");
    const char *slot = arg_after(argc, argv, "-shm_results_slot_id");
    if (getenv("SLAVES_HOSTILE") && res && slot)
        corrupt_slot(res, strtol(slot, NULL, 10), getenv("SLAVES_HOSTILE"));
    int leave = !arg_after(argc, argv, "-fork_id") && getenv("SLAVES_LEAVE");
    if (leave && fork() == 0)
        for (;;)
            pause();
    kel_destroy(&kel);
    kel_syncvar_free(mpx_done);
    return rc;
}

/*
 * records_test.cpp - the run's records of faults: one run per row of a table
 * of faults, on one instance, each leaving exactly its record. The master is
 * this test, through the library's internals; its slaves are the program
 * "slaves", whose tree has the same "mp" folder. fork, shm_open and
 * pthread_create are interposed here to fail once on demand.
 */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <string>

#include "run_records.h"

namespace {
const char *failing; /* the call that fails next */
int passes;          /* calls of it that succeed first (the run's guard thread) */
bool fails(const char *fn)
{
    return failing != nullptr && strcmp(fn, failing) == 0 && passes-- == 0 && (failing = nullptr, true);
}
template <typename F> F real(const char *fn) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, fn)); }
} // namespace

extern "C" __attribute__((visibility("default"))) pid_t fork(void)
{
    return fails("fork") ? (errno = EAGAIN, -1) : real<pid_t (*)()>("fork")();
}
extern "C" __attribute__((visibility("default"))) int shm_open(const char *n, int f, mode_t m)
{
    return fails("shm_open") ? (errno = EMFILE, -1) : real<int (*)(const char *, int, mode_t)>("shm_open")(n, f, m);
}
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t *t, const pthread_attr_t *a,
                                                                     void *(*fn)(void *), void *arg)
{
    using create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    return fails("pthread_create") ? EAGAIN : real<create>("pthread_create")(t, a, fn, arg);
}

TEST(RunRecords, EachFaultLeavesItsRecord)
{
    for (const char *var : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) { /* a crash stays a signal */
        const char *old = getenv(var);
        setenv(var, ((old ? std::string(old) + ":" : "") + "handle_segv=0").c_str(), 1);
    }
    kel_t *kel = nullptr;
    ASSERT_EQ(kel_create(&kel), 0u);
    kel_tc_t *mp = kel_create_test_folder(kel, nullptr, "mp", "");
    kel_multi_process_enable(mp);
    for (const char *name : {"pass", "fail", "segv", "exit0", "exit3"})
        kel_create_test_case(kel, mp, name, "", [] {}, KEL_TC_BASIC);
    kel_tc_t *mt = kel_create_test_folder(kel, nullptr, "mt", ""), *ms = kel_create_test_folder(kel, nullptr, "ms", "");
    kel_multi_task_enable(mt), kel_multi_task_enable(ms);
    kel_multi_task_set_count(kel_create_test_case(kel, mt, "c", "", [] {}, KEL_TC_BASIC), 2);
    kel_seq_set_count(kel_create_test_case(kel, ms, "s", "", [] {}, KEL_TC_BASIC), 2);
    kel_tc_t *rem = kel_create_test_folder(kel, nullptr, "rem", "");
    kel_multi_process_enable(rem);
    /* A loopback port bound but not listening: the agent cannot be reached. */
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), len), 0);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    kel_set_node(kel_create_test_case(kel, rem, "r", "", [] {}, KEL_TC_BASIC),
                 ("127.0.0.1:" + std::to_string(ntohs(a.sin_port))).c_str());
    struct {
        const char *path, *fault, *hostile; /* fault: the call that fails */
        kel_rec_kind_t kind;                /* 0: no record */
        const char *tc;
        int code;
        const char *reason;
    } const rows[] = {
        {"mp segv", nullptr, nullptr, KEL_REC_SLAVE_SIGNALLED, "segv", SIGSEGV, nullptr},
        {"mp exit3", nullptr, nullptr, KEL_REC_SLAVE_EXITED, "exit3", 3, nullptr},
        {"mp exit0", nullptr, nullptr, KEL_REC_SLAVE_SILENT, "exit0", 0, nullptr},
        {"mp pass", nullptr, "failed", KEL_REC_MALFORMED, "pass", 0, nullptr},
        {"mp pass", "fork", nullptr, KEL_REC_SLAVE_NOT_STARTED, "pass", EAGAIN, nullptr},
        {"mp pass", "shm_open", nullptr, KEL_REC_SLAVE_NOT_STARTED, "pass", 0, nullptr},
        {"mt c", "pthread_create", nullptr, KEL_REC_NOT_STARTED, "c", EAGAIN, "thread"},
        {"ms", "pthread_create", nullptr, KEL_REC_NOT_STARTED, "s", EAGAIN, "sequencer"},
        {"rem r", nullptr, nullptr, KEL_REC_REMOTE_REFUSED, "r", ECONNREFUSED, nullptr},
        {"mp fail", nullptr, nullptr, kel_rec_kind_t(0), nullptr, 0, nullptr}, /* its failure record names it */
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.path) + " " + (row.fault ? row.fault : ""));
        failing = row.fault;
        passes = row.fault && strcmp(row.fault, "pthread_create") == 0;
        if (row.hostile)
            setenv("SLAVES_HOSTILE", row.hostile, 1);
        std::string args = std::string(SLAVES_PATH " -q ") + row.path;
        std::vector<char *> argv;
        for (char *w = strtok(args.data(), " "); w; w = strtok(nullptr, " "))
            argv.push_back(w);
        testing::internal::CaptureStdout();
        kel_run(static_cast<int>(argv.size()), argv.data(), kel);
        testing::internal::GetCapturedStdout();
        unsetenv("SLAVES_HOSTILE");
        ASSERT_EQ(orv_queue_size(&kel->run.records), row.kind ? 1u : 0u);
        if (!row.kind)
            continue;
        const kel_fault_t &got = static_cast<const kel_run_record_t *>(orv_queue_peek_head(&kel->run.records))->fault;
        EXPECT_EQ(got.kind, row.kind);
        EXPECT_STREQ(got.tc->name, row.tc);
        EXPECT_EQ(got.code, row.code);
        EXPECT_STREQ(got.reason, row.reason);
        EXPECT_EQ(got.pid > 0, strncmp(row.path, "mp", 2) == 0 && row.kind != KEL_REC_SLAVE_NOT_STARTED);
        EXPECT_EQ(got.node != 0, row.path[0] == 'r');
        EXPECT_EQ(kel__rec_counted(got.kind), orv_atomic_get(&kel->run.failed) == 1u);
    }
    close(fd);
    kel_destroy(&kel);
}

/*
 * slave_test.cpp - the master's side of slave processes, driven directly:
 * the results segment's name, size and life, the slave's command line, and
 * every way a slave can end (started or not, killed, exiting with or without
 * writing its slot, writing a slot that lies about its failure list).
 *
 * The slaves here are small shell scripts standing in for a test program:
 * they record the arguments they were given and write their slot's executed
 * count with dd, so each case controls exactly what the master finds. The
 * real test program as its own slave is exercised by the golden tests.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kel.h"
#include "orv.h"
#include "failure.h"
#include "slave.h"

namespace {

/* An instance ready for what kel_run would have set up: pid, failure queue
 * and its mutex. */
struct Instance {
    kel_t *kel = nullptr;
    Instance()
    {
        EXPECT_EQ(kel_create(&kel), 0u);
        kel->run.pid = static_cast<int32_t>(getpid());
        orv_queue_init(&kel->run.failed_queue, ORV_QUEUE_FIFO);
        pthread_mutex_init(&kel->run.failed_mutex, nullptr);
        kel->run.failed_mutex_ok = 1;
    }
    ~Instance()
    {
        kel_failed_info_t *rec;
        while ((rec = static_cast<kel_failed_info_t *>(orv_queue_dequeue(&kel->run.failed_queue))) != nullptr)
            kel__failed_info_free(rec);
        pthread_mutex_destroy(&kel->run.failed_mutex);
        free(kel->run.vars_text);
        kel->run.vars_text = nullptr;
        kel_destroy(&kel);
    }
    void set_argv0(const std::string &path)
    {
        free(kel->cfg.argv0);
        kel->cfg.argv0 = strdup(path.c_str());
    }
    uint32_t executed() const { return orv_atomic_get(&kel->run.executed); }
    uint32_t failed() const { return orv_atomic_get(&kel->run.failed); }
    uint32_t checkpoints() const { return orv_atomic_get(&kel->run.checkpoints); }
};

kel_tc_t *leaf(kel_t *kel, kel_tc_t *parent, const char *name, int count)
{
    kel_tc_t *tc = kel_create_test_case(kel, parent, name, name, [] {}, KEL_TC_BASIC);
    if (count)
        kel_multi_task_set_count(tc, count);
    tc->flags |= KEL_TCF_SELECTED;
    return tc;
}

kel_tctx_t folder_ctx(kel_tc_t *folder)
{
    kel_tctx_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.tc = folder;
    return ctx;
}

bool shm_exists(const std::string &name, off_t *size = nullptr)
{
    struct stat st;
    if (stat(("/dev/shm/" + name).c_str(), &st) != 0)
        return false;
    if (size)
        *size = st.st_size;
    return true;
}

/* Runs fn with standard output captured (into a file, as gtest does it). */
template <typename Fn> std::string captured(Fn fn)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string mask_pids(const std::string &text)
{
    static const std::regex process(R"(([Pp]rocess )\d+ )");
    static const std::regex segment(R"(kel_res\.\d+\.\d+)");
    return std::regex_replace(std::regex_replace(text, process, "$1<PID> "), segment, "kel_res.<PID>.<N>");
}

/* A folder of the instance with one selected child and an open segment of
 * `slots` slots; the spawn record of task `task` in slot `slot`. */
struct Fixture {
    Instance inst;
    kel_tc_t *folder;
    kel_tc_t *child;
    kel_res_shm_t res;
    spawn_info info;

    Fixture(int slots, uint32_t task, uint32_t slot)
    {
        folder = kel_create_test_folder(inst.kel, nullptr, "F", "folder");
        kel_multi_process_enable(folder);
        child = leaf(inst.kel, folder, "child", slots);
        memset(&res, 0, sizeof res);
        kel_tctx_t ctx = folder_ctx(folder);
        kel__res_open(&res, &ctx);
        EXPECT_NE(res.base, nullptr);
        memset(&info, 0, sizeof info);
        info.tc = child;
        info.task = task;
        info.slot = slot;
        info.res = &res;
    }
    ~Fixture() { kel__res_close(&res); }
};

/* A scratch folder for the stand-in slaves, removed with its files. */
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char tmpl[] = "/tmp/kel_slave_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~ScratchDir()
    {
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlink((path + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path.c_str());
    }
    /* An executable shell script; its arguments are those of a slave:
     * $2 task, $4 segment, $6 slot. */
    std::string script(const std::string &name, const std::string &body) const
    {
        std::string file = path + "/" + name;
        std::ofstream(file) << "#!/bin/sh\n" << body;
        chmod(file.c_str(), 0755);
        return file;
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(path + "/" + name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

/* Shell text that stores the 32-bit value in octal bytes (little endian) as
 * the slot's executed count. */
std::string write_executed(const char *octal_bytes)
{
    return std::string("printf '") + octal_bytes +
           "' | dd of=/dev/shm/$4 bs=1 seek=$(($6 * 1056)) conv=notrunc status=none\n";
}

} // namespace

TEST(SlaveSegment, NamedSizedOpenedOnceAndUnlinked)
{
    Instance inst;
    kel_t *kel = inst.kel;
    kel_tc_t *f = kel_create_test_folder(kel, nullptr, "F", "folder");
    kel_multi_process_enable(f);
    leaf(kel, f, "a", 3);
    kel_tc_t *b = leaf(kel, f, "b", 0);
    b->threads = 5; /* -T 5 wins over the multi count */
    kel_tc_t *r = leaf(kel, f, "r", 4);
    r->flags |= KEL_TCF_REMOTE; /* no slot */
    kel_tc_t *u = leaf(kel, f, "u", 7);
    u->flags = static_cast<uint8_t>(u->flags & ~KEL_TCF_SELECTED); /* no slot */
    kel_tctx_t ctx = folder_ctx(f);

    kel_res_shm_t res;
    memset(&res, 0, sizeof res);
    std::string out = captured([&] { kel__res_open(&res, &ctx); });
    EXPECT_EQ(out, "");
    ASSERT_NE(res.base, nullptr);
    std::smatch m;
    std::string name = res.name;
    ASSERT_TRUE(std::regex_match(name, m, std::regex(R"(kel_res\.(\d+)\.(\d+))"))) << name;
    EXPECT_EQ(std::stoi(m[1]), getpid());
    off_t size = 0;
    ASSERT_TRUE(shm_exists(name, &size));
    EXPECT_EQ(size, 8 * 1056);
    EXPECT_EQ(res.base, res.shm.addr);

    /* Opened at most once per folder execution. */
    kel_res_slot_t *base = res.base;
    kel__res_open(&res, &ctx);
    EXPECT_EQ(res.base, base);
    EXPECT_EQ(std::string(res.name), name);

    kel__res_close(&res);
    EXPECT_EQ(res.base, nullptr);
    EXPECT_FALSE(shm_exists(name));
    kel__res_close(&res); /* nothing left to close */

    /* A segment left under the next name (by a killed process that had our
     * pid) is replaced, not reused. */
    std::string next = "kel_res." + std::to_string(getpid()) + "." + std::to_string(std::stoul(m[2]) + 1);
    orv_shm_t stale{};
    ASSERT_EQ(orv_shm_open(next.c_str(), 3 * 1056, &stale, nullptr), 0u);
    memset(stale.addr, 0xAB, 3 * 1056);
    orv_shm_close(&stale);
    kel__res_open(&res, &ctx);
    ASSERT_EQ(std::string(res.name), next);
    ASSERT_TRUE(shm_exists(next, &size));
    EXPECT_EQ(size, 8 * 1056);
    EXPECT_EQ(res.base[0].executed, 0u);
    EXPECT_EQ(res.base[2].summary_len, 0u);
    kel__res_close(&res);
    EXPECT_FALSE(shm_exists(next));
}

TEST(SlaveSegment, FoldersWithoutLocalTasks)
{
    Instance inst;
    kel_t *kel = inst.kel;
    kel_tc_t *empty = kel_create_test_folder(kel, nullptr, "E", "nothing selected");
    kel_multi_process_enable(empty);
    kel_tc_t *u = leaf(kel, empty, "u", 2);
    u->flags = static_cast<uint8_t>(u->flags & ~KEL_TCF_SELECTED);
    kel_tc_t *remote_only = kel_create_test_folder(kel, nullptr, "R", "remote children only");
    kel_multi_process_enable(remote_only);
    leaf(kel, remote_only, "r", 2)->flags |= KEL_TCF_REMOTE;

    kel_res_shm_t res;
    memset(&res, 0, sizeof res);
    kel_tctx_t ctx = folder_ctx(empty);
    EXPECT_EQ(captured([&] { kel__res_open(&res, &ctx); }), "KEL: error no processes to run\n");
    EXPECT_EQ(res.base, nullptr);
    EXPECT_FALSE(shm_exists(res.name));

    memset(&res, 0, sizeof res);
    ctx = folder_ctx(remote_only);
    EXPECT_EQ(captured([&] { kel__res_open(&res, &ctx); }), "");
    EXPECT_EQ(res.base, nullptr);
    EXPECT_FALSE(shm_exists(res.name));
    kel__res_close(&res);
}

TEST(SlaveSegment, ConcurrentFoldersNeverShareAName)
{
    Instance inst;
    kel_tc_t *f = kel_create_test_folder(inst.kel, nullptr, "F", "folder");
    kel_multi_process_enable(f);
    leaf(inst.kel, f, "a", 1);

    constexpr int threads = 4;
    constexpr int rounds = 50;
    std::vector<std::vector<std::string>> names(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < rounds; i++) {
                kel_tctx_t ctx = folder_ctx(f);
                kel_res_shm_t res;
                memset(&res, 0, sizeof res);
                kel__res_open(&res, &ctx);
                if (res.base)
                    names[t].push_back(res.name);
                kel__res_close(&res);
            }
        });
    }
    for (auto &th : pool)
        th.join();
    std::set<std::string> all;
    for (auto &v : names)
        for (auto &n : v) {
            all.insert(n);
            EXPECT_FALSE(shm_exists(n)) << n;
        }
    EXPECT_EQ(all.size(), static_cast<size_t>(threads * rounds));
}

TEST(SlaveFork, RefusedWithoutSlot)
{
    Fixture fx(2, 1, 0);
    kel_t *kel = fx.inst.kel;

    /* No slot to preset and read: counted as failed, nothing forked (the
     * argv0 would fail loudly if it were started). */
    fx.inst.set_argv0("/nonexistent/slave");
    fx.info.slot = 2; /* one past the last slot */
    EXPECT_EQ(captured([&] { kel_fork_exec_tc(&fx.info); }), "FAILED: no result slot for this process\n");
    kel_res_shm_t closed;
    memset(&closed, 0, sizeof closed);
    fx.info.res = &closed;
    fx.info.slot = 0;
    EXPECT_EQ(captured([&] { kel_fork_exec_tc(&fx.info); }), "FAILED: no result slot for this process\n");
    fx.info.res = nullptr;
    EXPECT_EQ(captured([&] { kel_fork_exec_tc(&fx.info); }), "FAILED: no result slot for this process\n");
    EXPECT_EQ(fx.inst.executed(), 3u);
    EXPECT_EQ(fx.inst.failed(), 3u);
    EXPECT_EQ(fx.inst.checkpoints(), 0u);
    EXPECT_TRUE(orv_queue_empty(&kel->run.failed_queue));
}

TEST(SlaveFork, SlavesThatLeaveNoSlot)
{
    Fixture fx(2, 2, 1);
    ScratchDir dir;

    /* execvp fails: the child says so on the shared output and ends with
     * errno. What the master had buffered comes out once, before it. */
    fx.inst.set_argv0(dir.path + "/missing");
    std::string out = captured([&] {
        printf("buffered before the fork|");
        kel_fork_exec_tc(&fx.info);
    });
    EXPECT_EQ(mask_pids(out), "buffered before the fork|child execvp failed errno=2"
                              "     ##### Process <PID> direct exit() rc=2\nFAILED\n");

    fx.inst.set_argv0(dir.script("exit7", "exit 7\n"));
    EXPECT_EQ(mask_pids(captured([&] { kel_fork_exec_tc(&fx.info); })),
              "     ##### Process <PID> direct exit() rc=7\nFAILED\n");

    fx.inst.set_argv0(dir.script("killed", "kill -KILL $$\n"));
    EXPECT_EQ(mask_pids(captured([&] { kel_fork_exec_tc(&fx.info); })),
              "     ##### Process <PID> terminated by signal\nFAILED\n");

    /* Exit status 0 but the slot still holds the master's preset. */
    fx.res.base[1].executed = 5;
    fx.inst.set_argv0(dir.script("exit0", "exit 0\n"));
    out = captured([&] { kel_fork_exec_tc(&fx.info); });
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(FAILED:  ##### Did a test case in process \d+ call exit\(0\)\?\n)")))
        << out;
    EXPECT_EQ(fx.res.base[1].executed, 0xFFFFFFFFu);

    EXPECT_EQ(fx.inst.executed(), 4u);
    EXPECT_EQ(fx.inst.failed(), 4u);
    EXPECT_EQ(fx.inst.checkpoints(), 0u);
    EXPECT_TRUE(orv_queue_empty(&fx.inst.kel->run.failed_queue));
}

TEST(SlaveFork, CommandLineAndTrace)
{
    Fixture fx(3, 2, 1);
    ScratchDir dir;
    kel_t *kel = fx.inst.kel;
    std::string slave = dir.script("args", "printf '%s\\n' \"$0\" \"$@\" > " + dir.path + "/args.txt\n" +
                                               write_executed("\\001\\000\\000\\000"));
    fx.inst.set_argv0(slave);
    const std::string seg = fx.res.name;

    /* The smallest command line: process number, segment, slot, path. */
    EXPECT_EQ(captured([&] { kel_fork_exec_tc(&fx.info); }), "");
    EXPECT_EQ(dir.read("args.txt"),
              slave + "\n-fork_id\n2\n-shm_res\n" + seg + "\n-shm_results_slot_id\n1\nF\nchild\n");
    EXPECT_EQ(fx.inst.executed(), 1u);
    EXPECT_EQ(fx.inst.failed(), 0u);

    /* Every optional part, in order, and the trace line naming them all. */
    kel->run.vars_text = strdup("color=red:days=31");
    kel->cfg.verbosity = 2;
    kel->cfg.strict = 1;
    kel->cfg.trace_forks = 1;
    kel_seq_set_count(fx.child, 3);
    fx.info.seq = 2;
    std::string out = captured([&] { kel_fork_exec_tc(&fx.info); });
    EXPECT_EQ(out, "----> EXEC:" + slave + " -fork_id 2 -shm_res " + seg +
                       " -shm_results_slot_id 1 -D color=red:days=31 -d -s -seq 2 F child \n");
    EXPECT_EQ(dir.read("args.txt"), slave + "\n-fork_id\n2\n-shm_res\n" + seg +
                                        "\n-shm_results_slot_id\n1\n-D\ncolor=red:days=31\n-d\n-s\n-seq\n2\nF\nchild\n");

    /* Quiet runs pass -q; -trace-forks and -x are not passed on. */
    kel->cfg.verbosity = 0;
    kel->cfg.trace_forks = 0;
    kel->cfg.strict = 0;
    kel->cfg.repeat_times = 3;
    free(kel->run.vars_text);
    kel->run.vars_text = nullptr;
    kel_seq_set_count(fx.child, 1);
    EXPECT_EQ(captured([&] { kel_fork_exec_tc(&fx.info); }), "");
    EXPECT_EQ(dir.read("args.txt"),
              slave + "\n-fork_id\n2\n-shm_res\n" + seg + "\n-shm_results_slot_id\n1\n-q\nF\nchild\n");
    EXPECT_EQ(fx.inst.executed(), 3u);
}

TEST(SlaveFork, FoldsTheSlotAndDistrustsItsFailureList)
{
    Fixture fx(2, 2, 1);
    ScratchDir dir;
    kel_t *kel = fx.inst.kel;
    /* The slave writes executed = 3; the rest of its slot is set here. */
    fx.inst.set_argv0(dir.script("slot", write_executed("\\003\\000\\000\\000")));

    kel_res_slot_t *slot = &fx.res.base[1];
    slot->failed = 2;
    slot->checkpoints = 5;
    const unsigned char list[] = {3, 'F', ':', 'c', 2, 'x', 'y', 0, 0xFE};
    memcpy(slot->summary, list, sizeof list);
    slot->summary_len = sizeof list;
    EXPECT_EQ(captured([&] { kel_fork_exec_tc(&fx.info); }), "");
    EXPECT_EQ(fx.inst.executed(), 3u);
    EXPECT_EQ(fx.inst.failed(), 2u);
    EXPECT_EQ(fx.inst.checkpoints(), 5u);

    auto *rec = static_cast<kel_failed_info_t *>(orv_queue_dequeue(&kel->run.failed_queue));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->is_local, 0);
    EXPECT_EQ(rec->reported.proc, 2);
    EXPECT_GT(rec->reported.pid, 0);
    EXPECT_NE(rec->reported.pid, getpid());
    EXPECT_EQ(rec->reported.node, 0u);
    ASSERT_EQ(rec->reported.summary_len, sizeof list);
    EXPECT_EQ(memcmp(rec->reported.summary, list, sizeof list), 0);
    EXPECT_NE(rec->reported.summary, reinterpret_cast<char *>(slot->summary));
    kel__failed_info_free(rec);

    /* A used size beyond the area is cut to the area: nothing past the slot
     * is read (the sanitizer builds would see it). */
    slot->summary_len = 0xFFFFFFFFu;
    memset(slot->summary, 'z', sizeof slot->summary);
    captured([&] { kel_fork_exec_tc(&fx.info); });
    rec = static_cast<kel_failed_info_t *>(orv_queue_dequeue(&kel->run.failed_queue));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->reported.summary_len, 1028u);
    EXPECT_EQ(rec->reported.summary[1027], 'z');
    kel__failed_info_free(rec);

    /* A slave without failures adds its counts and no record. */
    slot->failed = 0;
    slot->checkpoints = 1;
    captured([&] { kel_fork_exec_tc(&fx.info); });
    EXPECT_EQ(fx.inst.executed(), 9u);
    EXPECT_EQ(fx.inst.failed(), 4u);
    EXPECT_EQ(fx.inst.checkpoints(), 11u);
    EXPECT_TRUE(orv_queue_empty(&kel->run.failed_queue));
}

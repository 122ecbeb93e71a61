/*
 * threads_test.cpp - children of multi folders on spawned test threads and
 * sequencers, run through kel_run in this process: task, sequence and
 * repeat numbers, a folder that waits for all its threads before its
 * teardown, iterations that never overlap, -p and -T, hundreds of threads
 * at once, and an assert on a spawned thread that ends the run without a
 * hang.
 *
 * Test lines of concurrent test cases interleave between their blocks, so
 * those parts of the output are compared as sorted sets of lines; the
 * summary, printed after every thread has ended, is compared exactly.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "expected_text.h"
#include "kel_run_helper.h"
#include "orv.h"

namespace {

/* What the test bodies saw, in the order they noted it. Nothing may fail a
 * check while holding the lock: a failed check leaves by longjmp. */
std::mutex events_mutex;
std::vector<std::string> events;

void note(const std::string &what)
{
    std::lock_guard<std::mutex> lock(events_mutex);
    events.push_back(what);
}

std::vector<std::string> noted()
{
    std::lock_guard<std::mutex> lock(events_mutex);
    return events;
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        out.push_back(text.substr(from, nl - from));
    out.push_back(text.substr(from));
    return sorted(out);
}

/* Splits a run's output into the test lines and the summary block. */
struct Output {
    std::string tests, summary;
};

Output split(const std::string &out)
{
    size_t at = out.find("\n---- SUMMARY OF FAILED TESTS:");
    if (at == std::string::npos)
        at = out.find("\n\nSUMMARY: ");
    if (at == std::string::npos)
        return {out, ""};
    return {out.substr(0, at), out.substr(at)};
}

std::string passed_summary(int executed, int checkpoints)
{
    return kel_summary_text("PASSED", executed, 0, checkpoints);
}

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

/* True while a thread named like a sequencer lives in this process (the
 * kernel keeps 15 bytes of the name). */
bool sequencer_thread_alive()
{
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return false;
    bool found = false;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "KEL Test Sequen")
            found = true;
    }
    closedir(dir);
    return found;
}

std::string thread_name()
{
    char name[ORV_THREAD_NAME_MAX + 1];
    orv_thread_get_name(name, sizeof name);
    return name;
}

/* ---- bodies and fixtures ----------------------------------------------- */

kel_syncvar_t *barrier[8];
std::atomic<int> running_tasks, overlaps, started, finished;
std::atomic<uint32_t> running_seq;
std::atomic<bool> sequencer_seen;
int line_assert;

void su_folder() { note("setup"); }
void td_folder() { note("teardown"); }

/* Four tasks meet before any may end: they really run at once. */
void body_task()
{
    note("task " + std::to_string(kel_get_task_number()) + " parent " + std::to_string(kel_get_parent_task_number()) +
         " seq " + std::to_string(kel_get_seq_number()) + " on " + thread_name());
    kel_syncvar_add(barrier[0], 1);
    uint32_t rc = kel_syncvar_wait(barrier[0], 60000);
    kel_check(rc == 0);
}

void body_task_one() { kel_check(kel_get_task_number() == 1); }

void body_nested() { note(std::to_string(kel_get_parent_task_number()) + "." + std::to_string(kel_get_task_number())); }

/* Tasks of one iteration meet; a task of another iteration never starts
 * while one of this iteration still runs. */
void body_seq()
{
    uint32_t seq = kel_get_seq_number();
    note("seq " + std::to_string(seq));
    running_tasks++;
    uint32_t idle = 0;
    if (!running_seq.compare_exchange_strong(idle, seq) && idle != seq)
        overlaps++;
    if (sequencer_thread_alive())
        sequencer_seen = true;
    kel_syncvar_add(barrier[seq], 1);
    uint32_t rc = kel_syncvar_wait(barrier[seq], 60000);
    if (--running_tasks == 0)
        running_seq = 0;
    kel_check(rc == 0);
}

void body_note_name() { note(kel_get_test_case_name()); }

void body_repeat()
{
    note("run " + std::to_string(kel_get_repeat_run()) + " of " + std::to_string(kel_get_repeat_times()));
}

void body_count()
{
    note(std::string(kel_get_test_case_name()) + " " + std::to_string(kel_get_seq_number()) + " " +
         std::to_string(kel_get_task_number()));
    kel_check(kel_get_task_number() != 0);
}

void *token_helper(void *token)
{
    kel_set_thread_token(token);
    for (int i = 0; i < 50; i++)
        kel_check(i < 50);
    return nullptr;
}

void body_token()
{
    pthread_t t[2];
    for (auto &th : t)
        pthread_create(&th, nullptr, token_helper, kel_get_thread_token());
    for (auto &th : t)
        pthread_join(th, nullptr);
    kel_check(kel_get_thread_token() != nullptr);
}

/* Task 3 asserts; the others are let go only once it is about to. */
void body_abort()
{
    started++;
    uint32_t t = kel_get_task_number();
    if (t == 3) {
        kel_syncvar_notify(barrier[0], 1);
        line_assert = __LINE__ + 1;
        kel_assert(t != 3);
    }
    uint32_t rc = kel_syncvar_wait(barrier[0], 60000);
    kel_check(rc == 1);
    finished++;
}

void body_abort_first_seq()
{
    note("seq " + std::to_string(kel_get_seq_number()));
    kel_assert(kel_get_seq_number() != 1);
}

void body_nested_abort()
{
    started++;
    if (kel_get_parent_task_number() == 1 && kel_get_task_number() == 2)
        kel_assert(0);
    finished++;
}

class Threads : public ::testing::Test {
protected:
    kel_t *kel = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(kel_create(&kel), 0u);
        events.clear();
        for (auto &b : barrier)
            b = nullptr;
        running_tasks = overlaps = started = finished = 0;
        running_seq = 0;
        sequencer_seen = false;
    }
    void TearDown() override
    {
        kel_destroy(&kel);
        for (auto &b : barrier)
            kel_syncvar_free(b);
    }
    /* A folder running its children on spawned threads. */
    kel_tc_t *multi(const char *name, kel_tc_t *parent = NULL)
    {
        kel_tc_t *f = kel_create_test_folder(kel, parent, name, "");
        kel_multi_task_enable(f);
        return f;
    }
    /* A test case run in that many tasks (and sequenced iterations). */
    kel_tc_t *tasks(kel_tc_t *parent, const char *name, void (*body)(), uint16_t count, uint16_t seqs = 0)
    {
        kel_tc_t *c = kel_create_test_case(kel, parent, name, "", body, KEL_TC_BASIC);
        kel_multi_task_set_count(c, count);
        if (seqs != 0)
            kel_seq_set_count(c, seqs);
        return c;
    }
};

/* ---- fan-out ------------------------------------------------------------ */

TEST_F(Threads, FourTasksRunAtOnceAndTheFolderTeardownWaitsForAll)
{
    kel_tc_t *mt = multi("mt");
    kel_add_fixture(mt, su_folder, td_folder);
    tasks(mt, "c", body_task, 4);
    barrier[0] = kel_syncvar_alloc(0, 4);

    KelRunResult r = kel_run_captured(kel, {"prog", "mt"});
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
    Output o = split(r.out);
    std::string expected;
    for (int t = 1; t <= 4; t++)
        expected += "\n---- mt:c:[THREAD " + std::to_string(t) + "] \n     PASSED\n";
    EXPECT_EQ(lines(o.tests), lines(expected)) << r.out;
    EXPECT_EQ(o.summary, passed_summary(4, 4));

    std::vector<std::string> ev = noted();
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(ev.front(), "setup");
    EXPECT_EQ(ev.back(), "teardown");
    std::vector<std::string> seen(ev.begin() + 1, ev.end() - 1);
    std::vector<std::string> want;
    for (int t = 1; t <= 4; t++)
        want.push_back("task " + std::to_string(t) + " parent 0 seq 0 on KEL Spawned Test");
    EXPECT_EQ(sorted(seen), want);
}

TEST_F(Threads, NoMultiCountIsOneThreadAndNestedFoldersNumberTheirOwnTasks)
{
    kel_tc_t *one = multi("one");
    kel_create_test_case(kel, one, "c", "", body_task_one, KEL_TC_BASIC);
    KelRunResult r = kel_run_captured(kel, {"prog", "one"});
    EXPECT_EQ(r.out, "\n---- one:c:[THREAD 1] \n     PASSED\n" + passed_summary(1, 1));
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);

    /* A multi folder run in two tasks starts its own child in three tasks
     * from each of them; the inner tasks see the task of the folder
     * execution that started them. */
    kel_tc_t *outer = multi("outer");
    kel_tc_t *inner = multi("inner", outer);
    kel_multi_task_set_count(inner, 2);
    tasks(inner, "leaf", body_nested, 3);
    r = kel_run_captured(kel, {"prog", "outer"});
    EXPECT_EQ(sorted(noted()), (std::vector<std::string>{"1.1", "1.2", "1.3", "2.1", "2.2", "2.3"}));
    EXPECT_EQ(split(r.out).summary, passed_summary(6, 0));
}

TEST_F(Threads, SequencedIterationsRunOneAfterAnotherOnlyInsideTheSelectedSubtree)
{
    kel_tc_t *outer = kel_create_test_folder(kel, NULL, "outer", "");
    kel_tc_t *sq = multi("sq", outer);
    tasks(sq, "c", body_seq, 2, 3);
    for (int s = 0; s <= 3; s++)
        barrier[s] = kel_syncvar_alloc(0, 2);

    /* Named below the multi folder: sq is on the path only, not inside the
     * selected subtree, so c runs once in two threads without sequence. */
    KelRunResult r = kel_run_captured(kel, {"prog", "outer", "sq", "c"});
    EXPECT_EQ(noted(), (std::vector<std::string>{"seq 0", "seq 0"}));
    EXPECT_FALSE(sequencer_seen);
    EXPECT_EQ(lines(split(r.out).tests),
              lines("\n---- outer:sq:c:[SEQ 0][THREAD 1] \n     PASSED\n"
                    "\n---- outer:sq:c:[SEQ 0][THREAD 2] \n     PASSED\n"))
        << r.out;

    events.clear();
    r = kel_run_captured(kel, {"prog", "outer"});
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
    EXPECT_EQ(noted(), (std::vector<std::string>{"seq 1", "seq 1", "seq 2", "seq 2", "seq 3", "seq 3"}));
    EXPECT_EQ(overlaps, 0);
    EXPECT_TRUE(sequencer_seen);
    std::string expected;
    for (int s = 1; s <= 3; s++)
        for (int t = 1; t <= 2; t++)
            expected += "\n---- outer:sq:c:[SEQ " + std::to_string(s) + "][THREAD " + std::to_string(t) +
                        "] \n     PASSED\n";
    Output o = split(r.out);
    EXPECT_EQ(lines(o.tests), lines(expected)) << r.out;
    EXPECT_EQ(o.summary, passed_summary(6, 6));
}

TEST_F(Threads, PerformanceOnlyRunsSkipChildrenOfMultiFolders)
{
    kel_tc_t *p = kel_create_test_folder(kel, NULL, "p", "");
    kel_create_test_case(kel, p, "perf", "", body_note_name, KEL_TC_PERF);
    kel_tc_t *mt = multi("mt", p);
    kel_create_test_case(kel, mt, "both", "", body_note_name, KEL_TC_BASIC | KEL_TC_PERF);

    KelRunResult r = kel_run_captured(kel, {"prog", "-p", "p"});
    EXPECT_EQ(r.out, "\n---- p:perf:\n     PASSED\n" + passed_summary(1, 0));
    EXPECT_EQ(noted(), std::vector<std::string>{"perf"});

    events.clear();
    r = kel_run_captured(kel, {"prog", "p"});
    EXPECT_EQ(sorted(noted()), (std::vector<std::string>{"both", "perf"}));
    EXPECT_EQ(split(r.out).summary, passed_summary(2, 0));
}

TEST_F(Threads, RepeatNumbersOnSpawnedThreads)
{
    kel_tc_t *mt = multi("mt");
    tasks(mt, "c", body_repeat, 2);
    KelRunResult r = kel_run_captured(kel, {"prog", "-x", "3", "mt"});
    EXPECT_EQ(sorted(noted()), (std::vector<std::string>{"run 1 of 3", "run 1 of 3", "run 2 of 3", "run 2 of 3",
                                                         "run 3 of 3", "run 3 of 3"}));
    EXPECT_EQ(split(r.out).summary, passed_summary(6, 0));
}

TEST_F(Threads, SchedOptionOnTheChildOrItsFolderStillRunsEveryTask)
{
    /* Where real-time scheduling is not allowed the threads are made with
     * default scheduling; either way every task runs. */
    kel_tc_t *f = kel_create_test_folder(kel, NULL, "f", "");
    kel_tc_t *a = multi("a", f);
    kel_set_option(tasks(a, "c", body_count, 3), 1);
    kel_tc_t *b = multi("b", f);
    kel_set_option(b, 1);
    tasks(b, "d", body_count, 3);

    KelRunResult r = kel_run_captured(kel, {"prog", "f"});
    EXPECT_EQ(sorted(noted()), (std::vector<std::string>{"c 0 1", "c 0 2", "c 0 3", "d 0 1", "d 0 2", "d 0 3"}));
    EXPECT_EQ(split(r.out).summary, passed_summary(6, 6));
}

TEST_F(Threads, TokenGivenToTheTestsOwnThreadsInsideASpawnedTest)
{
    kel_tc_t *mt = multi("mt");
    tasks(mt, "c", body_token, 3);
    KelRunResult r = kel_run_captured(kel, {"prog", "mt"});
    Output o = split(r.out);
    std::string expected;
    for (int t = 1; t <= 3; t++)
        expected += "\n---- mt:c:[THREAD " + std::to_string(t) + "] \n     PASSED (101 checkpoints)\n";
    EXPECT_EQ(lines(o.tests), lines(expected)) << r.out;
    EXPECT_EQ(o.summary, passed_summary(3, 303));
}

/* ---- in a slave process --------------------------------------------------- */

pthread_t run_thread;

void body_where()
{
    note("task " + std::to_string(kel_get_task_number()) + " seq " + std::to_string(kel_get_seq_number()) +
         (pthread_equal(pthread_self(), run_thread) ? " on the run's thread" : " on a spawned thread"));
}

TEST_F(Threads, SlaveRunsItsTargetDirectlyAndHandsNothingToAnotherSlave)
{
    run_thread = pthread_self();
    kel_tc_t *mt = multi("mt");
    tasks(mt, "c", body_where, 2, 4);
    kel_tc_t *mp = kel_create_test_folder(kel, NULL, "mp", "");
    kel_multi_process_enable(mp);
    tasks(mp, "d", body_where, 2);
    const std::string nested = "   Cannot fork test case from a forked KEL process (not supported)\n";

    /* The one test case a slave was started for: on the slave's own thread,
     * with the sequence number it was given and no task. */
    KelRunResult r = kel_run_captured(kel, {"prog", "-fork_id", "2", "-seq", "3", "mt", "c"});
    EXPECT_EQ(noted(), std::vector<std::string>{"task 0 seq 3 on the run's thread"}) << r.out;

    /* Below a multi-process folder, or below the target under -P, a slave's
     * spawned threads would start slaves of their own: refused. */
    events.clear();
    r = kel_run_captured(kel, {"prog", "-fork_id", "1", "mp"});
    EXPECT_EQ(occurrences(r.out, nested), 2u) << r.out;
    events.clear();
    r = kel_run_captured(kel, {"prog", "-fork_id", "1", "-P", "mt"});
    EXPECT_EQ(occurrences(r.out, nested), 8u) << r.out;
    EXPECT_TRUE(noted().empty());

    /* Without -P a multi-task folder runs its tasks on spawned threads, in a
     * slave as anywhere. */
    r = kel_run_captured(kel, {"prog", "-fork_id", "1", "mt"});
    EXPECT_EQ(occurrences(r.out, nested), 0u) << r.out;
    std::vector<std::string> want;
    for (int s = 1; s <= 4; s++)
        for (int t = 1; t <= 2; t++)
            want.push_back("task " + std::to_string(t) + " seq " + std::to_string(s) + " on a spawned thread");
    EXPECT_EQ(sorted(noted()), sorted(want));
}

/* ---- load --------------------------------------------------------------- */

TEST_F(Threads, LoadsRunEveryTaskOfEveryIterationOnce)
{
    /* 64 tasks in 5 iterations of a multi folder's child. */
    kel_tc_t *load = multi("load");
    tasks(load, "c", body_count, 64, 5);
    KelRunResult r = kel_run_captured(kel, {"prog", "load"});
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
    std::vector<std::string> want;
    for (int s = 1; s <= 5; s++)
        for (int t = 1; t <= 64; t++)
            want.push_back("c " + std::to_string(s) + " " + std::to_string(t));
    EXPECT_EQ(sorted(noted()), sorted(want));
    Output o = split(r.out);
    EXPECT_EQ(occurrences(o.tests, "     PASSED\n"), 320u);
    EXPECT_EQ(occurrences(o.tests, "[SEQ 5][THREAD 64] \n"), 1u);
    EXPECT_EQ(o.summary, passed_summary(320, 320));

    /* -T 32 on a normal folder of eight children: 32 threads each. */
    kel_tc_t *tf = kel_create_test_folder(kel, NULL, "tf", "");
    for (int i = 0; i < 8; i++)
        kel_create_test_case(kel, tf, ("l" + std::to_string(i)).c_str(), "", body_count, KEL_TC_BASIC);
    events.clear();
    r = kel_run_captured(kel, {"prog", "-T", "32", "tf"});
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
    want.clear();
    for (int i = 0; i < 8; i++)
        for (int t = 1; t <= 32; t++)
            want.push_back("l" + std::to_string(i) + " 0 " + std::to_string(t));
    EXPECT_EQ(sorted(noted()), sorted(want));
    o = split(r.out);
    EXPECT_EQ(occurrences(o.tests, "     PASSED\n"), 256u);
    EXPECT_EQ(occurrences(o.tests, "\n---- tf:l7:[THREAD 32] \n"), 1u);
    EXPECT_EQ(o.summary, passed_summary(256, 256));
}

/* ---- an assert on a spawned thread -------------------------------------- */

TEST_F(Threads, AssertOnASpawnedThreadEndsTheRunOnceRunningSiblingsFinish)
{
    kel_tc_t *ab = multi("ab");
    kel_add_fixture(ab, su_folder, td_folder);
    tasks(ab, "c", body_abort, 8);
    kel_tc_t *after = kel_create_test_folder(kel, NULL, "after", "");
    kel_create_test_case(kel, after, "never", "", body_note_name, KEL_TC_BASIC);
    barrier[0] = kel_syncvar_alloc(0, 1);

    KelRunResult r = kel_run_captured(kel, {"prog", "all"});
    EXPECT_EQ(r.rc, KEL_RC_FAILED);
    /* Neither the folder's teardown nor anything after the folder ran. */
    EXPECT_EQ(noted(), std::vector<std::string>{"setup"});
    /* Every task that started was let finish; the failing one is the only
     * failed test case besides the abandoned folder and the run's own node. */
    int n = started;
    EXPECT_GE(n, 1);
    EXPECT_EQ(finished, n - 1);
    std::string loc = std::string("     ") + __FILE__ + ":" + std::to_string(line_assert) + ":body_abort()";
    EXPECT_NE(r.out.find("---> ##### ASSERT FAILED\n     \n" + loc + "\n     condition(t != 3)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n---- SUMMARY OF FAILED TESTS:\n\n---- ab:c:\n" + loc + "\n     condition(t != 3)\n\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(kel_counts_text(n + 2, 3, n - 1)), std::string::npos) << r.out;
    EXPECT_EQ(occurrences(r.out, "     PASSED\n"), static_cast<size_t>(n - 1)) << r.out;
}

TEST_F(Threads, AssertStopsASequencerAndANestedFan_outWithoutAHang)
{
    kel_tc_t *sa = multi("sa");
    kel_tc_t *c = kel_create_test_case(kel, sa, "c", "", body_abort_first_seq, KEL_TC_BASIC);
    kel_seq_set_count(c, 3);
    KelRunResult r = kel_run_captured(kel, {"prog", "sa"});
    EXPECT_EQ(r.rc, KEL_RC_FAILED);
    EXPECT_EQ(noted(), std::vector<std::string>{"seq 1"});
    EXPECT_NE(r.out.find(kel_counts_text(3, 3, 0)), std::string::npos) << r.out;

    /* The failing test runs two multi folders deep: the inner folder's
     * thread leaves its folder, the outer folder waits, the run ends. */
    kel_tc_t *n = kel_create_test_folder(kel, NULL, "n", "");
    kel_tc_t *outer = multi("outer", n);
    kel_tc_t *inner = multi("inner", outer);
    kel_multi_task_set_count(inner, 2);
    tasks(inner, "leaf", body_nested_abort, 4);
    kel_create_test_case(kel, n, "never", "", body_note_name, KEL_TC_BASIC);
    events.clear();
    r = kel_run_captured(kel, {"prog", "n"});
    EXPECT_EQ(r.rc, KEL_RC_FAILED);
    EXPECT_EQ(finished, started - 1);
    EXPECT_TRUE(noted().empty());
    EXPECT_EQ(occurrences(r.out, "---> ##### ASSERT FAILED\n"), 1u) << r.out;
    EXPECT_EQ(occurrences(r.out, "\n---- n:outer:inner:leaf:\n     "), 1u) << r.out;
}

} // namespace

/*
 * harness_test.cpp - the golden harness's own tests.
 *
 * The diff and the normaliser are checked on fixed texts; running, time-out,
 * crash and stream handling on the demo program.
 */
#include "golden.h"

#include <csignal>
#include <cstdlib>
#include <string>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace kel_golden;

namespace {

/* True when process pid ends (or has ended) within limit_ms; pidfds work for
 * processes that are not our children. */
bool process_gone(pid_t pid, int limit_ms)
{
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    struct pollfd p = {fd, POLLIN, 0};
    const int n = poll(&p, 1, limit_ms);
    close(fd);
    return n == 1;
}

} // namespace

TEST(GoldenDiff, ShowsChangesWithContextAndVisibleBlanks)
{
    /* One changed line in the middle: three lines of context each side,
     * lines further away left out. */
    const std::string expected = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n";
    const std::string actual = "1\n2\n3\n4\n5 changed\n6\n7\n8\n9\n10\n";
    EXPECT_EQ(unified_diff(expected, actual),
              "@@ -2,7 +2,7 @@\n"
              " 2\n 3\n 4\n"
              "-5\n"
              "+5 changed\n"
              " 6\n 7\n 8\n");

    /* Changes far apart get hunks of their own; close ones share a hunk. */
    const std::string long_a = "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\n";
    const std::string long_b = "A\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nL\n";
    EXPECT_EQ(unified_diff(long_a, long_b, 2),
              "@@ -1,3 +1,3 @@\n-a\n+A\n b\n c\n"
              "@@ -10,3 +10,3 @@\n j\n k\n-l\n+L\n");
    EXPECT_EQ(unified_diff("a\nb\nc\n", "A\nb\nC\n", 1), "@@ -1,3 +1,3 @@\n-a\n+A\n b\n-c\n+C\n");

    /* A lost trailing blank and a missing final line feed are visible:
     * the framework prints lines in pieces, so these are the usual faults. */
    EXPECT_EQ(unified_diff("Test case one ... PASSED\n", "Test case one ...  PASSED\n"),
              "@@ -1,1 +1,1 @@\n-Test case one ... PASSED\n+Test case one ...  PASSED\n");
    EXPECT_EQ(unified_diff("head \nend\n", "head\nend"),
              "@@ -1,2 +1,2 @@\n-head\xc2\xb7\n-end\n+head\n+end\n\\ No newline at end of file\n");
    EXPECT_EQ(unified_diff("tab\there\r\n", "tab here\n"), "@@ -1,1 +1,1 @@\n-tab\\there\\r\n+tab here\n");

    /* Insertions at the start, into an empty text and deletions at the end. */
    EXPECT_EQ(unified_diff("b\n", "a\nb\n"), "@@ -1,1 +1,2 @@\n+a\n b\n");
    EXPECT_EQ(unified_diff("", "x\n"), "@@ -0,0 +1,1 @@\n+x\n");
    EXPECT_EQ(unified_diff("a\nb\n", "a\n"), "@@ -1,2 +1,1 @@\n a\n-b\n");
    EXPECT_EQ(unified_diff("same\n", "same\n"), "");
}

TEST(GoldenNormaliser, MasksOnlyWhatVaries)
{
    const normaliser n = default_normaliser();
    EXPECT_EQ(normalise(n, "\nElapsed time = 1234 ms\n\n"), "\nElapsed time = <T> ms\n\n");
    EXPECT_EQ(normalise(n, "---- all:[PROC 2 pid=4711]\n"), "---- all:[PROC 2 pid=<PID>]\n");
    EXPECT_EQ(normalise(n, "     ##### Process 4711 core dumped\n"), "     ##### Process <PID> core dumped\n");
    EXPECT_EQ(normalise(n, "[evc] created, with passed ODM 0x55d0c0ffee10"),
              "[evc] created, with passed ODM <PTR>");
    EXPECT_EQ(normalise(n, "shm kel_res.4711.3 gone\n"), "shm kel_res.<PID>.<N> gone\n");
    /* Numbers that are part of the contract stay. */
    const std::string fixed = "[PROC 2 Test case(s) executed:    3\nTotal checkpoints(s):    12\nrc=0x16\n"
                              "500 ops in 250 ms (2000/sec, 500 usec/op)\n";
    EXPECT_EQ(normalise(n, fixed), fixed);

    /* Throughput numbers only when asked for; both forms read the same. */
    normaliser t = default_normaliser();
    add_throughput_rules(t);
    EXPECT_EQ(normalise(t, "500 ops in 250 ms (2000/sec, 500 usec/op)\n"
                           "500 ops in less than 1 ms (over 500000/sec, 2 usec/op)"),
              "500 ops in <T> ms (<N>/sec, <N> usec/op)\n500 ops in <T> ms (<N>/sec, <N> usec/op)");

    /* Rules are named: a test can replace, add or drop one. Anchors work per
     * line. */
    normaliser custom = default_normaliser();
    EXPECT_TRUE(remove_rule(custom, "pointer"));
    EXPECT_FALSE(remove_rule(custom, "pointer"));
    add_rule(custom, "line-start", "^x", "y");
    add_rule(custom, "pid", R"(pid=\d+)", "pid=P");
    EXPECT_EQ(normalise(custom, "x1 0x1234567 pid=9\nx2\n"), "y1 0x1234567 pid=P\ny2\n");
}

TEST(GoldenRun, MissingProgramIsReportedNotStarted)
{
    const run_result r = run_program(program_path("no_such_program"), {});
    EXPECT_EQ(r.status.kind, end_kind::not_started);
    EXPECT_EQ(r.status.value, ENOENT);
    EXPECT_EQ(describe(r.status), "not started: No such file or directory");
}

namespace {

const char *const DEMO = "harness_demo";

} // namespace

TEST(GoldenDemo, MatchesAfterNormalisation)
{
    EXPECT_TRUE(run_golden({"The report masks its pid, pointer, segment name and elapsed time.",
                            DEMO,
                            {"print", "exit", "3"},
                            "Harness demo pid=<PID>\n"
                            "object at <PTR>\n"
                            "     ##### Process <PID> terminated by signal\n"
                            "segment kel_res.<PID>.<N>\n"
                            "Elapsed time = <T> ms\n",
                            exited_with(3)}));

    EXPECT_TRUE(run_golden({"Arguments arrive unchanged; text without a final line feed is kept as is.",
                            DEMO,
                            {"echo", "two  words 'quoted'", "nonl"},
                            "two  words 'quoted'\nTest case one ... PASSED\nno line feed at the end",
                            exited_with(0)}));
}

TEST(GoldenDemo, MismatchNamesEveryDifference)
{
    const run_result r = run_program(program_path(DEMO), {"print", "exit", "3"});
    const ::testing::AssertionResult verdict = output_matches("Harness demo pid=<PID>\n"
                                                              "object at <PTR>\n"
                                                              "     ##### Process <PID> core dumped\n"
                                                              "segment kel_res.<PID>.<N>\n"
                                                              "Elapsed time = <T> ms\n",
                                                              exited_with(0), r);
    ASSERT_FALSE(verdict);
    const std::string msg = verdict.message();
    EXPECT_NE(msg.find("@@ -1,5 +1,5 @@\n"
                       " Harness demo pid=<PID>\n"
                       " object at <PTR>\n"
                       "-     ##### Process <PID> core dumped\n"
                       "+     ##### Process <PID> terminated by signal\n"
                       " segment kel_res.<PID>.<N>\n"),
              std::string::npos)
        << msg;
    EXPECT_NE(msg.find("exit status: expected exit code 0, got exit code 3\n"), std::string::npos) << msg;

    /* A transcript failure starts with its title and command line; a blank
     * lost at a line end shows, and so does the missing line feed. */
    const ::testing::AssertionResult nonl = run_golden(
        {"Pieces of a line.", DEMO, {"nonl"}, "Test case one ... \nPASSED\nno line feed at the end\n",
         exited_with(0)});
    ASSERT_FALSE(nonl);
    const std::string nonl_msg = nonl.message();
    EXPECT_EQ(nonl_msg.rfind("Pieces of a line.\n$ " + program_path(DEMO) + " nonl\n", 0), 0u) << nonl_msg;
    EXPECT_NE(nonl_msg.find("-Test case one ...\xc2\xb7\n"
                            "-PASSED\n"
                            "-no line feed at the end\n"
                            "+Test case one ... PASSED\n"
                            "+no line feed at the end\n"
                            "\\ No newline at end of file\n"),
              std::string::npos)
        << nonl_msg;
    EXPECT_EQ(nonl_msg.find("exit status"), std::string::npos) << nonl_msg;
}

TEST(GoldenDemo, CrashIsReportedWithItsSignal)
{
    const run_result r = run_program(program_path(DEMO), {"echo", "before the crash", "segv"});
    EXPECT_TRUE(output_matches("before the crash\n", killed_by(SIGSEGV), r));
    EXPECT_EQ(describe(r.status), "signal 11 (Segmentation fault)");
}

TEST(GoldenDemo, HangIsKilledWithItsGrandchildAtTheLimit)
{
    constexpr unsigned limit_ms = 3000;
    run_options options;
    options.time_limit_ms = limit_ms;
    const run_result r = run_program(program_path(DEMO), {"echo", "started", "hang"}, options);
    EXPECT_EQ(r.status.kind, end_kind::timed_out);
    EXPECT_EQ(describe(r.status), "time-out after 3000 ms");
    EXPECT_GE(r.elapsed_ms, limit_ms);
    /* Killing is immediate; the slack only covers a loaded machine. */
    EXPECT_LT(r.elapsed_ms, limit_ms + 5000u);

    /* What the program printed before the limit is kept. */
    int child = 0;
    int grandchild = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "started\nhanging pid=%d grandchild=%d\n", &child, &grandchild), 2)
        << r.out;
    EXPECT_TRUE(output_matches("started\nhanging pid=<PID> grandchild=" + std::to_string(grandchild) + "\n",
                               {end_kind::timed_out, static_cast<int>(limit_ms)}, r));
    EXPECT_TRUE(process_gone(grandchild, 10000)) << "grandchild " << grandchild << " survived";
}

TEST(GoldenDemo, StreamsAreSeparateAndNeitherBlocks)
{
    /* Far more than a pipe holds, on standard error first: a harness that
     * read only standard output until its end would wait forever. */
    constexpr long bytes = 1 << 20;
    const run_result r =
        run_program(program_path(DEMO), {"flood", std::to_string(bytes), "stderr", "to stderr", "echo", "end"});
    ASSERT_EQ(r.status, exited_with(0)) << describe(r.status);
    EXPECT_EQ(r.out.size(), static_cast<size_t>(bytes) + 4u);
    EXPECT_EQ(r.out.find_first_not_of("o\n"), r.out.size() - 4u);
    EXPECT_EQ(r.out.substr(r.out.size() - 4u), "end\n");
    EXPECT_EQ(r.err.size(), static_cast<size_t>(bytes) + 10u);
    EXPECT_EQ(r.err.find_first_not_of("e\n"), r.err.size() - 10u);
    EXPECT_EQ(r.err.substr(r.err.size() - 10u), "to stderr\n");
}

TEST(GoldenDemo, ExtraEnvironmentIsAddedOrReplaced)
{
    run_options options;
    options.env = {"KEL_GOLDEN_DEMO=42", "HOME=/nowhere"};
    const run_result r = run_program(program_path(DEMO),
                                     {"env", "KEL_GOLDEN_DEMO", "env", "HOME", "env", "KEL_GOLDEN_UNSET"}, options);
    EXPECT_TRUE(output_matches("KEL_GOLDEN_DEMO=42\nHOME=/nowhere\nKEL_GOLDEN_UNSET=<unset>\n", exited_with(0), r));
}

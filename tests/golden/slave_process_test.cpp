/*
 * slave_process_test.cpp - multi_process folders seen from the command line:
 * slaves that pass, fail, crash, call exit, are refused or cannot be
 * started, the slave command line traced with -trace-forks, sequenced and
 * multiple slaves, a slave that lies in its slot, and a load of sixteen
 * slaves ending in every way at once.
 *
 * A single slave gives a fixed output, compared whole. Several slaves run at
 * once and print in any order, so those runs are compared as the multiset
 * of their lines, and the list of failed tests with its records sorted.
 * After every run no results segment of the master or of a slave may be
 * left in /dev/shm.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "expected_text.h"
#include "golden.h"

using namespace kel_golden;

namespace {

const std::string PROG = "<SRC>/tests/programs/slave_prog";
const std::string LOC = "<SRC>/tests/programs/slave_prog.c:<L>:";

normaliser rules()
{
    normaliser n = default_normaliser();
    add_rule(n, "source-dir", "/[^ :]*/tests/programs/", "<SRC>/tests/programs/");
    add_rule(n, "source-line", R"(slave_prog\.c:\d+:)", "slave_prog.c:<L>:");
    return n;
}

/* Results segments in /dev/shm that any process of the run named by pid
 * (the master's line on standard error, the slaves' lines on standard
 * output) still has. */
std::vector<std::string> leftover_segments(const run_result &r)
{
    std::vector<std::string> pids;
    static const std::regex pid_re(R"((?:pid=|[Pp]rocess )(\d+))");
    const std::string all = r.out + r.err;
    for (std::sregex_iterator it(all.begin(), all.end(), pid_re), end; it != end; ++it)
        pids.push_back((*it)[1]);
    std::vector<std::string> left;
    if (DIR *d = opendir("/dev/shm")) {
        while (struct dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            for (const std::string &pid : pids)
                if (name.rfind("kel_res." + pid + ".", 0) == 0)
                    left.push_back(name);
        }
        closedir(d);
    }
    return left;
}

::testing::AssertionResult no_leftovers(const run_result &r)
{
    if (r.err.find("master pid=") == std::string::npos)
        return ::testing::AssertionFailure() << "the master did not report its pid:\n" << r.err;
    std::vector<std::string> left = leftover_segments(r);
    if (left.empty())
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult f = ::testing::AssertionFailure();
    f << "results segments left behind:";
    for (auto &s : left)
        f << " " << s;
    return f;
}

run_result run(const std::vector<std::string> &args, const run_options &options = {})
{
    return run_program(program_path("slave_prog"), args, options);
}

/* One slave: the whole output and the exit status, then no segment left. */
void expect_golden(const std::string &title, const std::vector<std::string> &args, const std::string &expected,
                   const exit_status &status, const run_options &options = {})
{
    SCOPED_TRACE(title + "\n$ " + command_line(program_path("slave_prog"), args));
    const run_result r = run(args, options);
    EXPECT_TRUE(output_matches(expected, status, r, rules()));
    EXPECT_TRUE(no_leftovers(r));
}

/* The master's summary when every slave passed or every slave failed. */
std::string summary(int executed, int failed, int checkpoints)
{
    return kel_summary_text(failed ? "FAILED (pass rate=0%)" : "PASSED", executed, failed, checkpoints);
}

/* A slave's own summary: quiet counts after its header. */
std::string slave_summary(const std::string &path, int proc, int failed, int checkpoints)
{
    return "\n---- " + path + ":[PROC " + std::to_string(proc) + " pid=<PID>]\n" +
           (failed ? "     SUMMARY: FAILED (pass rate=0%)\n" : "     SUMMARY: PASSED\n") +
           kel_counts_text(1, failed, checkpoints) + "Elapsed time = <T> ms\n";
}

std::string header(const std::string &path, int proc)
{
    return "\n---- " + path + ":[PROC " + std::to_string(proc) + " pid=<PID>]\n";
}

std::multiset<std::string> lines_of(const std::string &text)
{
    std::multiset<std::string> lines;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        lines.insert(line);
    return lines;
}

std::string show(const std::multiset<std::string> &only)
{
    std::string s;
    for (const std::string &l : only)
        s += "  [" + l + "]\n";
    return s;
}

/* Lines printed by concurrent slaves, in any order but each exactly as
 * often as expected. */
::testing::AssertionResult same_lines(const std::string &expected, const std::string &actual)
{
    std::multiset<std::string> e = lines_of(expected), a = lines_of(actual);
    if (e == a)
        return ::testing::AssertionSuccess();
    std::multiset<std::string> missing, extra;
    std::set_difference(e.begin(), e.end(), a.begin(), a.end(), std::inserter(missing, missing.begin()));
    std::set_difference(a.begin(), a.end(), e.begin(), e.end(), std::inserter(extra, extra.begin()));
    return ::testing::AssertionFailure() << "missing lines:\n" << show(missing) << "unexpected lines:\n"
                                         << show(extra) << "whole output:\n" << actual;
}

/* The list of failed tests with its records (one per slave, each ending
 * with an empty line) in order of their process numbers. */
std::string sort_failed_records(const std::string &tail)
{
    static const std::regex record(R"(---- [^\n]*\[PROC (\d+) [^\n]*\n(?:     [^\n]*\n)*\n)");
    std::map<int, std::string> by_proc;
    std::string rest;
    size_t last = 0;
    for (std::sregex_iterator it(tail.begin(), tail.end(), record), end; it != end; ++it) {
        rest += tail.substr(last, static_cast<size_t>(it->position()) - last);
        by_proc[std::stoi((*it)[1])] = it->str();
        last = static_cast<size_t>(it->position() + it->length());
    }
    std::string records;
    for (auto &p : by_proc)
        records += p.second;
    const std::string head = "\n---- SUMMARY OF FAILED TESTS:\n\n";
    if (rest.rfind(head, 0) != 0)
        return tail;
    return head + records + rest.substr(head.size()) + tail.substr(last);
}

/* Splits a normalised output at the list of failed tests (or at the final
 * SUMMARY when there is none). */
void split_at_summary(const std::string &out, std::string *lines, std::string *tail)
{
    size_t pos = out.find("\n---- SUMMARY OF FAILED TESTS:\n");
    if (pos == std::string::npos)
        pos = out.find("\n\nSUMMARY: ");
    if (pos == std::string::npos)
        pos = out.size();
    *lines = out.substr(0, pos);
    *tail = out.substr(pos);
}

/* -trace-forks seqf: two iterations of one slave each. */
std::string seqf_expected()
{
    std::string out;
    for (int seq = 1; seq <= 2; seq++) {
        const std::string n = std::to_string(seq);
        out += "----> EXEC:" + PROG + " -fork_id 1 -shm_res kel_res.<PID>.<N> -shm_results_slot_id 0 -seq " + n +
               " seqf s \n" + "\n---- seqf:s:[SEQ " + n + "][PROC 1 pid=<PID>]\ns fork=1 seq=" + n +
               "\n     PASSED\n" + "\n---- seqf:s:[SEQ " + n +
               "][PROC 1 pid=<PID>]\n     SUMMARY: PASSED\nTest case(s) executed:    1\n"
               "Test case(s) failed:      0\nTotal checkpoints(s):     1\nElapsed time = <T> ms\n";
    }
    return out + summary(2, 0, 2);
}

/* load: 1-8 and 16 pass with two checkpoints, 9-11 fail one of two, 12 and
 * 13 crash, 14 calls exit(0), 15 exit(3). The lines in any order; the list
 * of failed tests exactly, its records sorted. */
void check_load(const run_result &r)
{
    EXPECT_EQ(r.status, exited_with(3)) << describe(r.status);
    std::string out = normalise(rules(), r.out), lines, tail;
    split_at_summary(out, &lines, &tail);

    std::string expected, records;
    for (int id = 1; id <= 16; id++) {
        const std::string n = std::to_string(id);
        if (id <= 8 || id == 16) {
            expected += header("load:worker", id) + "     PASSED (2 checkpoints)\n" +
                        slave_summary("load:worker", id, 0, 2);
        } else if (id <= 11) {
            expected += header("load:worker", id) + "---> ##### CHECKPOINT FAILED\n     worker " + n +
                        " fails\n     " + LOC + "worker()\n     condition(id == 0)\n" +
                        slave_summary("load:worker", id, 1, 1);
            records += "---- load:worker:[PROC " + n + " pid=<PID>]\n     " + LOC +
                       "worker()\n     condition(id == 0)\n\n";
        } else if (id <= 13) {
            expected += "     ##### Process <PID> terminated by signal\nFAILED\n";
        } else if (id == 14) {
            expected += header("load:worker", id) + "FAILED:  ##### Did a test case in process <PID> call exit(0)?\n";
        } else {
            expected += header("load:worker", id) + "     ##### Process <PID> direct exit() rc=3\nFAILED\n";
        }
    }
    EXPECT_TRUE(same_lines(expected, lines));
    /* executed 16, failed 3 + 2 + 1 + 1, checkpoints 9 * 2 + 3 * 1. */
    EXPECT_EQ(sort_failed_records(tail), "\n---- SUMMARY OF FAILED TESTS:\n\n" + records + kel_summary_text("FAILED (pass rate=56%)", 16, 7, 21));
    EXPECT_TRUE(no_leftovers(r));
}

} // namespace

TEST(SlaveProcess, OneSlaveEndingInEveryWay)
{
    expect_golden("a passing slave prints its own lines and summary; the master adds its counts",
                  {"mp", "pass"},
                  header("mp:pass", 1) + "     PASSED (2 checkpoints)\n" + slave_summary("mp:pass", 1, 0, 2) +
                      summary(1, 0, 2),
                  exited_with(0));
    expect_golden("a quiet run passes -q on: a passing slave prints nothing", {"-q", "mp", "pass"}, "",
                  exited_with(0));
    expect_golden("a failing slave's failures reach the master's list of failed tests", {"mp", "fail"},
                  header("mp:fail", 1) +
                      "---> ##### CHECKPOINT FAILED\n     got 5\n     " + LOC + "fail_one()\n"
                      "     condition(got == 6)\n" +
                      slave_summary("mp:fail", 1, 1, 1) +
                      "\n---- SUMMARY OF FAILED TESTS:\n\n"
                      "---- mp:fail:[PROC 1 pid=<PID>]\n     " + LOC + "fail_one()\n     condition(got == 6)\n\n" +
                      summary(1, 1, 1),
                  exited_with(3));
    /* The slave's header was still in its buffer when the signal came. */
    expect_golden("a slave killed by a signal", {"mp", "segv"},
                  "     ##### Process <PID> terminated by signal\nFAILED\n" + summary(1, 1, 0), exited_with(3));
    expect_golden("a test case that calls exit(0) leaves its slot unwritten", {"mp", "exit0"},
                  header("mp:exit0", 1) + "FAILED:  ##### Did a test case in process <PID> call exit(0)?\n" +
                      summary(1, 1, 0),
                  exited_with(3));
    expect_golden("a test case that calls exit(3)", {"mp", "exit3"},
                  header("mp:exit3", 1) + "     ##### Process <PID> direct exit() rc=3\nFAILED\n" + summary(1, 1, 0),
                  exited_with(3));
}

TEST(SlaveProcess, CommandLineOfTheSlave)
{
    expect_golden("-trace-forks shows the slave's command line; -D, -d and -s are passed on, -trace-forks is not",
                  {"-trace-forks", "-D", "color=red", "-d", "-s", "mp", "info"},
                  "----> EXEC:" + PROG +
                      " -fork_id 1 -shm_res kel_res.<PID>.<N> -shm_results_slot_id 0 -D color=red -d -s mp info \n" +
                      header("mp:info", 1) + "info fork=1 seq=0 color=red debug=1\n     PASSED\n" +
                      slave_summary("mp:info", 1, 0, 1) + summary(1, 0, 1),
                  exited_with(0));
    expect_golden("a sequenced child: one slave per iteration, one after the other, each told its number",
                  {"-trace-forks", "seqf"}, seqf_expected(), exited_with(0));
    expect_golden("a multi_process folder inside a slave: its children are refused and not counted; the slave "
                  "ran nothing and says so",
                  {"nested"},
                  "   Cannot fork test case from a forked KEL process (not supported)\n"
                  "   Cannot fork test case from a forked KEL process (not supported)\n"
                  "There is no test case matching the test type\n"
                  "     ##### Process <PID> direct exit() rc=2\nFAILED\n" +
                      summary(1, 1, 0),
                  exited_with(3));

    run_options missing;
    missing.env = {"SLAVE_PROG_ARGV0=/nonexistent/slave_prog"};
    expect_golden("a slave that cannot be started: the child's own line, then its exit status errno",
                  {"-trace-forks", "mp", "pass"},
                  "----> EXEC:/nonexistent/slave_prog -fork_id 1 -shm_res kel_res.<PID>.<N> "
                  "-shm_results_slot_id 0 mp pass \n"
                  "child execvp failed errno=2     ##### Process <PID> direct exit() rc=2\nFAILED\n" +
                      summary(1, 1, 0),
                  exited_with(3), missing);
}

TEST(SlaveProcess, TwoSlavesOfOneChild)
{
    const run_result r = run({"-trace-forks", "twice"});
    EXPECT_EQ(r.status, exited_with(0)) << describe(r.status);
    std::string out = normalise(rules(), r.out), lines, tail;
    split_at_summary(out, &lines, &tail);
    std::string expected;
    for (int proc = 1; proc <= 2; proc++)
        expected += "----> EXEC:" + PROG + " -fork_id " + std::to_string(proc) +
                    " -shm_res kel_res.<PID>.<N> -shm_results_slot_id " + std::to_string(proc - 1) + " twice w \n" +
                    header("twice:w", proc) + "w fork=" + std::to_string(proc) + "\n     PASSED\n" +
                    slave_summary("twice:w", proc, 0, 1);
    EXPECT_TRUE(same_lines(expected, lines));
    EXPECT_EQ(tail, summary(2, 0, 2));

    /* Both slaves were given the same segment, the master's. */
    static const std::regex seg(R"(-shm_res (kel_res\.(\d+)\.\d+) )");
    std::vector<std::string> names;
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), seg), end; it != end; ++it) {
        names.push_back((*it)[1]);
        EXPECT_NE(r.err.find("master pid=" + std::string((*it)[2]) + "\n"), std::string::npos) << r.err;
    }
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], names[1]);
    EXPECT_TRUE(no_leftovers(r));
}

TEST(SlaveProcess, SlotThatLiesAboutItsFailureList)
{
    /* The slave's slot claims one failure and a used size of all ones; its
     * list holds one whole entry, then lengths that run past the area. The
     * master reads no byte beyond the slot's area. */
    run_options hostile;
    hostile.env = {"SLAVE_PROG_HOSTILE=1"};
    const std::string z122(122, 'z'), z253(253, 'z');
    expect_golden("a slot that lies", {"mp", "pass"},
                  header("mp:pass", 1) + "     PASSED (2 checkpoints)\n" + slave_summary("mp:pass", 1, 0, 2) +
                      "\n---- SUMMARY OF FAILED TESTS:\n\n"
                      "---- path:[PROC 1 pid=<PID>]\n     loc()\n"
                      "---- " + z253 + ":[PROC 1 pid=<PID>]\n     " + z122 + "()\n     condition(" + z122 + ")\n" +
                      "---- " + z122 + ":[PROC 1 pid=<PID>]\n     " + z122 + "()\n     condition(" + z122 + ")\n" +
                      "     <malformed summary from pid=<PID>>\n\n" + summary(1, 1, 2),
                  exited_with(3), hostile);
}

TEST(SlaveProcess, LoadOfSixteenSlaves)
{
    check_load(run({"load"}));
}

TEST(SlaveProcess, OutputToAFileHasEveryLineOnce)
{
    /* Standard output is a file: fully buffered in master and slaves alike,
     * and shared by all of them. Nothing buffered before a fork may come out
     * twice, and the master's lines stay before its slaves' lines. */
    char tmpl[] = "/tmp/kel_slave_out.XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string file = tmpl;
    auto run_to_file = [&](const std::vector<std::string> &args, const run_options &options = {}) {
        std::string cmd = "exec \"$0\"";
        for (size_t i = 0; i < args.size(); i++)
            cmd += " '" + args[i] + "'";
        cmd += " > '" + file + "'";
        std::vector<std::string> sh_args = {"-c", cmd, program_path("slave_prog")};
        run_result r = run_program("/bin/sh", sh_args, options);
        std::ifstream in(file);
        std::stringstream ss;
        ss << in.rdbuf();
        r.out = ss.str();
        return r;
    };

    run_result r = run_to_file({"-trace-forks", "seqf"});
    EXPECT_TRUE(output_matches(seqf_expected(), exited_with(0), r, rules()));
    EXPECT_TRUE(no_leftovers(r));

    run_options missing;
    missing.env = {"SLAVE_PROG_ARGV0=/nonexistent/slave_prog"};
    r = run_to_file({"-trace-forks", "mp", "pass"}, missing);
    EXPECT_TRUE(output_matches("----> EXEC:/nonexistent/slave_prog -fork_id 1 -shm_res kel_res.<PID>.<N> "
                               "-shm_results_slot_id 0 mp pass \n"
                               "child execvp failed errno=2     ##### Process <PID> direct exit() rc=2\nFAILED\n" +
                                   summary(1, 1, 0),
                               exited_with(3), r, rules()));
    EXPECT_TRUE(no_leftovers(r));

    check_load(run_to_file({"load"}));
    unlink(file.c_str());
}

TEST(SlaveProcess, AssertWhileSlavesRunLeavesNoSegment)
{
    /* A multi-task folder runs a multi_process folder of three slaves and a
     * test case that asserts, at the same time: the run ends early, after
     * the slaves already started have been waited for. */
    for (int i = 0; i < 3; i++) {
        const run_result r = run({"abort"});
        EXPECT_EQ(r.status, exited_with(3)) << describe(r.status) << r.out;
        EXPECT_NE(r.out.find("---> ##### ASSERT FAILED\n     stop the run\n"), std::string::npos) << r.out;
        EXPECT_TRUE(no_leftovers(r));
    }
}

/*
 * agent_test.cpp - masters running test cases on real kel-agent daemons
 * over loopback: two nodes (127.0.0.2 and 127.0.0.3, same port) beside
 * local slaves, the -j limit, programs outside the allowed folders, a
 * crashing remote slave, a client that hangs up while its slave runs, and
 * the agent's own command line and stop.
 *
 * Agents start with -p 0 (or the port of the first one) and are waited for
 * on their listening line; running slaves are observed through the agent's
 * -v log; slaves that must stay running wait on a fifo the test holds.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "agent_msg.h"
#include "golden.h"

using namespace agent_test;
using namespace kel_golden;

namespace {

std::string programs_dir()
{
    return dir_of(program_path("agent_prog"));
}

normaliser rules()
{
    normaliser n = default_normaliser();
    add_rule(n, "source-path", R"(/[^ :]*/tests/agent/agent_prog\.c:\d+:)", "<SRC>/agent_prog.c:<L>:");
    return n;
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

/* The lines of concurrent processes, in any order but each as often as
 * expected. */
::testing::AssertionResult same_lines(const std::string &expected, const std::string &actual)
{
    std::multiset<std::string> e = lines_of(expected), a = lines_of(actual);
    if (e == a)
        return ::testing::AssertionSuccess();
    std::multiset<std::string> missing, extra;
    std::set_difference(e.begin(), e.end(), a.begin(), a.end(), std::inserter(missing, missing.begin()));
    std::set_difference(a.begin(), a.end(), e.begin(), e.end(), std::inserter(extra, extra.begin()));
    ::testing::AssertionResult f = ::testing::AssertionFailure();
    f << "missing lines:\n";
    for (const std::string &l : missing)
        f << "  [" << l << "]\n";
    f << "unexpected lines:\n";
    for (const std::string &l : extra)
        f << "  [" << l << "]\n";
    return f << "whole output:\n" << actual;
}

std::string remote_block(const std::string &path, int task, const std::string &node, int executed, int failed,
                         int checkpoints)
{
    char counts[160];
    snprintf(counts, sizeof counts,
             "Test case(s) executed:%5d\nTest case(s) failed:  %5d\nTotal checkpoints(s): %5d\nElapsed time = <T> ms\n",
             executed, failed, checkpoints);
    return "\n---- " + path + ":[PROC " + std::to_string(task) + " node=" + node + "]\n" +
           (failed ? "     SUMMARY: FAILED (pass rate=" + std::to_string((executed - failed) * 100 / executed) + "%)\n"
                   : std::string("     SUMMARY: PASSED\n")) +
           counts;
}

std::string summary(int executed, int failed, int checkpoints)
{
    char counts[160];
    snprintf(counts, sizeof counts,
             "Test case(s) executed:%5d\nTest case(s) failed:  %5d\nTotal checkpoints(s): %5d\n", executed, failed,
             checkpoints);
    std::string head = failed == 0 ? "\n\nSUMMARY: PASSED\n"
                                   : "\n\nSUMMARY: FAILED (pass rate=" +
                                         std::to_string((executed - failed) * 100 / executed) + "%)\n";
    return head + counts + "\nElapsed time = <T> ms\n\n";
}

/* The output up to the list of failed tests (or the final SUMMARY) and the
 * rest. */
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

/* Records of the list of failed tests in a fixed order (by their first
 * line), since remote processes end in any order. */
std::string sort_records(const std::string &tail)
{
    const std::string head = "\n---- SUMMARY OF FAILED TESTS:\n\n";
    if (tail.rfind(head, 0) != 0)
        return tail;
    size_t end = tail.find("\n\nSUMMARY: ");
    std::string body = tail.substr(head.size(), end - head.size());
    std::vector<std::string> records;
    size_t start = 0;
    while (start < body.size()) {
        size_t blank = body.find("\n\n", start);
        if (blank == std::string::npos) {
            records.push_back(body.substr(start));
            break;
        }
        records.push_back(body.substr(start, blank + 2 - start));
        start = blank + 2;
    }
    std::sort(records.begin(), records.end());
    std::string sorted = head;
    for (const std::string &r : records)
        sorted += r;
    return sorted + tail.substr(end);
}

run_result run_master(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    run_options opt;
    opt.env = env;
    return run_program(program_path("agent_prog"), args, opt);
}

::testing::AssertionResult no_segments_of(const agent_process &agent)
{
    std::vector<std::string> left = shm_entries("kel_agent." + std::to_string(agent.pid()) + ".");
    if (left.empty())
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult f = ::testing::AssertionFailure();
    f << "segments left:";
    for (const std::string &s : left)
        f << " " << s;
    return f;
}

/* A request for one of agent_prog's test cases, as a master would send it. */
kel_spawn_req_t request_for(const std::string &test_case, const std::string &vars)
{
    kel__spawn_req_fields f;
    memset(&f, 0, sizeof f);
    kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_SPAWN_REQ, htonl(0x7F000002), static_cast<uint32_t>(getpid()));
    f.verbosity = 1;
    f.task = 1;
    f.flags = vars.empty() ? 0 : KEL_SPAWN_F_NVP;
    snprintf(f.process_name, sizeof f.process_name, "%s", program_path("agent_prog").c_str());
    snprintf(f.nvp_list, sizeof f.nvp_list, "%s", vars.c_str());
    snprintf(f.test_case, sizeof f.test_case, "%s", test_case.c_str());
    kel_spawn_req_t msg;
    kel__spawn_req_pack(&f, &msg);
    return msg;
}

} // namespace

TEST(Agent, RemoteChildrenOnTwoNodesBesideLocalSlaves)
{
    agent_process a, b;
    std::string why;
    ASSERT_TRUE(start_agent_pair(a, b, {"-a", programs_dir(), "-v"}, &why)) << why;
    ASSERT_EQ(a.port(), b.port());

    run_result r = run_master({"mp"}, {"AGENT_PROG_NODE_A=" + a.node(), "AGENT_PROG_NODE_B=" + b.node()});
    const std::string out = normalise(rules(), r.out);
    std::string lines, tail;
    split_at_summary(out, &lines, &tail);

    /* The local slaves print their own lines; the master prints a block
     * for each remote process. */
    std::string local;
    for (int task = 1; task <= 2; task++) {
        const std::string head = "\n---- mp:local:[PROC " + std::to_string(task) + " pid=<PID>]\n";
        local += head + "     PASSED\n" + head +
                 "     SUMMARY: PASSED\nTest case(s) executed:    1\nTest case(s) failed:      0\n"
                 "Total checkpoints(s):     1\nElapsed time = <T> ms\n";
    }
    const std::string expected_lines = local + remote_block("mp:ra", 1, "127.0.0.2", 1, 0, 2) +
                                       remote_block("mp:ra", 2, "127.0.0.2", 1, 1, 1) +
                                       remote_block("mp:rb", 1, "127.0.0.3", 1, 1, 1);
    EXPECT_TRUE(same_lines(expected_lines, lines));

    /* Each failure names the node that ran it. */
    EXPECT_EQ(sort_records(tail), "\n---- SUMMARY OF FAILED TESTS:\n\n"
                                  "---- mp:ra:[PROC 2 node=127.0.0.2]\n"
                                  "     <SRC>/agent_prog.c:<L>:remote_a()\n"
                                  "     condition(task != 2)\n"
                                  "\n"
                                  "---- mp:rb:[PROC 1 node=127.0.0.3]\n"
                                  "     <SRC>/agent_prog.c:<L>:remote_b()\n"
                                  "     condition(0 > 1)\n"
                                  "\n" +
                                      summary(5, 2, 6));
    EXPECT_EQ(r.status, exited_with(3)) << r.err;

    EXPECT_EQ(WEXITSTATUS(a.stop(SIGTERM)), 0);
    EXPECT_EQ(WEXITSTATUS(b.stop(SIGTERM)), 0);
    /* The remote slaves printed on their agents' output (read whole once
     * the agents have ended). */
    EXPECT_NE(a.out().find("---- mp:ra:[PROC 2 pid="), std::string::npos) << a.out();
    EXPECT_NE(b.out().find("---- mp:rb:[PROC 1 pid="), std::string::npos) << b.out();
    EXPECT_EQ(b.out().find("mp:ra"), std::string::npos) << b.out();
    EXPECT_TRUE(no_segments_of(a));
    EXPECT_TRUE(no_segments_of(b));
}

TEST(Agent, JobLimitRejectsWhatItCannotRunNow)
{
    agent_process agent;
    std::string why;
    ASSERT_TRUE(agent.start({"-l", "127.0.0.2", "-p", "0", "-a", programs_dir(), "-j", "1", "-v"}, &why)) << why;
    temp_dir dir;
    gate g(dir.file("gate"));

    run_result r;
    std::thread master([&] {
        r = run_master({"-D", "gate=" + g.path(), "jf"}, {"AGENT_PROG_NODE_A=" + agent.node()});
    });
    /* One task waits at the gate; the other one is turned away. */
    bool rejected = agent.wait_err("rejected: too many processes: 1 running, at most 1 (-j)\n");
    g.release();
    master.join();
    ASSERT_TRUE(rejected) << agent.err();

    const std::string out = normalise(rules(), r.out);
    std::string lines, tail;
    split_at_summary(out, &lines, &tail);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lines, m, std::regex(R"(\[PROC (\d) node=127\.0\.0\.2\]\n     ERROR)"))) << out;
    const int refused = std::stoi(m[1]);
    const int ran = 3 - refused;
    EXPECT_TRUE(same_lines("FAILED: spawn_remote_process()\n"
                           "\n---- jf:block:[PROC " +
                               std::to_string(refused) +
                               " node=127.0.0.2]\n"
                               "     ERROR: Rejected by agent, too many processes: 1 running, at most 1 (-j)\n" +
                               remote_block("jf:block", ran, "127.0.0.2", 1, 0, 3),
                           lines));
    EXPECT_EQ(tail, summary(2, 1, 3));
    EXPECT_EQ(WEXITSTATUS(agent.stop(SIGTERM)), 0);
    EXPECT_TRUE(no_segments_of(agent));
}

TEST(Agent, ProgramsOutsideTheAllowedFoldersAreRejected)
{
    temp_dir elsewhere;
    agent_process agent;
    std::string why;
    ASSERT_TRUE(agent.start({"-l", "127.0.0.2", "-p", "0", "-a", elsewhere.path()}, &why)) << why;
    run_result r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + agent.node()});
    char real[PATH_MAX];
    ASSERT_NE(realpath(program_path("agent_prog").c_str(), real), nullptr);
    EXPECT_TRUE(output_matches("FAILED: spawn_remote_process()\n"
                               "\n---- crash:segv:[PROC 1 node=127.0.0.2]\n"
                               "     ERROR: Rejected by agent, program not allowed: " +
                                   std::string(real) + " is not under an allowed folder\n" + summary(1, 1, 0),
                               exited_with(3), r));
    EXPECT_EQ(WEXITSTATUS(agent.stop(SIGINT)), 0);

    /* Without -a the agent says so when it starts, and lets nothing in. */
    agent_process closed;
    ASSERT_TRUE(closed.start({"-l", "127.0.0.3", "-p", "0"}, &why)) << why;
    EXPECT_TRUE(closed.wait_err("kel-agent: no -a folder given: every request will be rejected\n"));
    r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + closed.node()});
    EXPECT_NE(r.out.find("     ERROR: Rejected by agent, program not allowed: " + program_path("agent_prog") +
                         " (the agent allows no folder: start it with -a)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(WEXITSTATUS(closed.stop(SIGTERM)), 0);
}

TEST(Agent, ACrashingRemoteSlaveFailsItsTestCase)
{
    agent_process agent;
    std::string why;
    ASSERT_TRUE(agent.start({"-l", "127.0.0.2", "-p", "0", "-a", programs_dir()}, &why)) << why;
    run_result r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + agent.node()});
    EXPECT_TRUE(output_matches("FAILED: remote status not success\n"
                               "\n---- crash:segv:[PROC 1 node=127.0.0.2]\n"
                               "     ERROR: slave terminated by signal 11\n" +
                                   summary(1, 1, 0),
                               exited_with(3), r));
    EXPECT_EQ(WEXITSTATUS(agent.stop(SIGTERM)), 0);
    EXPECT_TRUE(no_segments_of(agent));
}

TEST(Agent, AClientThatHangsUpGetsItsSlaveKilled)
{
    agent_process agent;
    std::string why;
    ASSERT_TRUE(agent.start({"-l", "127.0.0.2", "-p", "0", "-a", programs_dir(), "-v"}, &why)) << why;
    temp_dir dir;
    gate g(dir.file("gate"));

    int fd = connect_to("127.0.0.2", agent.port());
    ASSERT_GE(fd, 0);
    kel_spawn_req_t req = request_for("hold wait", "gate=" + g.path());
    ASSERT_TRUE(send_all(fd, &req, sizeof req));
    kel_spawn_rsp_t rsp;
    ASSERT_TRUE(recv_all(fd, &rsp, sizeof rsp));
    EXPECT_EQ(rsp.status, 0) << rsp.reason;
    pid_t slave = agent.wait_slave_started();
    ASSERT_GT(slave, 0) << agent.err();
    EXPECT_FALSE(process_gone(slave));
    close(fd);

    EXPECT_TRUE(agent.wait_err("client gone: slave " + std::to_string(slave) + " killed\n")) << agent.err();
    EXPECT_TRUE(process_gone(slave));
    EXPECT_TRUE(no_segments_of(agent));

    /* The agent goes on serving: bad bytes get a reason, not a crash. */
    fd = connect_to("127.0.0.2", agent.port());
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> junk(KEL_SPAWN_REQ_SIZE, 0x5A);
    ASSERT_TRUE(send_all(fd, junk.data(), junk.size()));
    ASSERT_TRUE(recv_all(fd, &rsp, sizeof rsp));
    EXPECT_EQ(rsp.status, 1);
    EXPECT_STREQ(rsp.reason, "malformed request: wrong magic 0x5a5a5a5a, expected 0xfeab2c18");
    EXPECT_EQ(kel_check_agent_msg(&rsp), 0u);
    close(fd);
    EXPECT_EQ(WEXITSTATUS(agent.stop(SIGTERM)), 0);
}

TEST(Agent, AClientThatStallsIsDropped)
{
    agent_process agent;
    std::string why;
    ASSERT_TRUE(agent.start({"-l", "127.0.0.2", "-p", "0", "-a", programs_dir(), "-t", "1", "-v"}, &why)) << why;
    int fd = connect_to("127.0.0.2", agent.port());
    ASSERT_GE(fd, 0);
    kel_spawn_req_t req = request_for("mp ra", "");
    ASSERT_TRUE(send_all(fd, &req, sizeof req / 2));
    /* The agent closes the connection without a reply once -t has passed. */
    char c;
    EXPECT_FALSE(recv_all(fd, &c, 1));
    close(fd);
    EXPECT_TRUE(agent.wait_err(": dropped: request not received in time\n")) << agent.err();

    /* Half a request and a hang-up. */
    fd = connect_to("127.0.0.2", agent.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, &req, 100));
    close(fd);
    EXPECT_TRUE(agent.wait_err(": dropped: incomplete request\n")) << agent.err();
    EXPECT_EQ(WEXITSTATUS(agent.stop(SIGTERM)), 0);
}

TEST(Agent, StopsCleanlyOnSigterm)
{
    agent_process agent;
    std::string why;
    ASSERT_TRUE(agent.start({"-l", "127.0.0.2", "-p", "0", "-a", programs_dir(), "-v"}, &why)) << why;
    temp_dir dir;
    gate g(dir.file("gate"));
    run_result r;
    std::thread master([&] {
        r = run_master({"-D", "gate=" + g.path(), "hold"}, {"AGENT_PROG_NODE_A=" + agent.node()});
    });
    pid_t slave = agent.wait_slave_started();
    /* A connection that has not sent anything yet is dropped as well. */
    int idle = connect_to("127.0.0.2", agent.port());
    int status = agent.stop(SIGTERM);
    master.join();
    if (idle >= 0)
        close(idle);
    ASSERT_GT(slave, 0) << agent.err();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(process_gone(slave));
    EXPECT_TRUE(no_segments_of(agent));
    /* The master learns why its test case did not finish. */
    EXPECT_TRUE(output_matches("FAILED: remote status not success\n"
                               "\n---- hold:wait:[PROC 1 node=127.0.0.2]\n"
                               "     ERROR: slave killed: the agent is stopping\n" +
                                   summary(1, 1, 0),
                               exited_with(3), r));
}

TEST(Agent, CommandLine)
{
    struct row {
        std::vector<std::string> args;
        std::string first_line;
    };
    const std::vector<row> bad = {
        {{"-x"}, "kel-agent: -x: unknown option\n"},
        {{"-p"}, "kel-agent: -p: needs a value\n"},
        {{"-p", "65536"}, "kel-agent: -p: not a port number (0..65535)\n"},
        {{"-p", "-1"}, "kel-agent: -p: not a port number (0..65535)\n"},
        {{"-l", "localhost"}, "kel-agent: -l: not an IPv4 address\n"},
        {{"-j", "0"}, "kel-agent: -j: not a number of processes (1..4096)\n"},
        {{"-t", "0"}, "kel-agent: -t: not a number of seconds (1..3600)\n"},
        {{"-a", "/nonexistent/folder"}, "kel-agent: -a /nonexistent/folder: No such file or directory\n"},
        {{"-a", KEL_AGENT_PATH}, std::string("kel-agent: -a ") + KEL_AGENT_PATH + ": not a folder\n"},
        {{"extra"}, "kel-agent: extra: unexpected argument\n"},
    };
    for (const row &b : bad) {
        agent_process agent;
        std::string why;
        EXPECT_FALSE(agent.start(b.args, &why));
        int status = agent.wait_exit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << b.first_line << status;
        std::string err = agent.err();
        EXPECT_EQ(err.substr(0, b.first_line.size()), b.first_line);
        EXPECT_NE(err.find("usage: kel-agent [-l ADDRESS] [-p PORT] [-a DIR]... [-j N]"), std::string::npos) << err;
        EXPECT_EQ(agent.out(), "");
    }

    /* A port that is taken: a reason and exit 1. */
    agent_process first, second;
    std::string why;
    ASSERT_TRUE(first.start({"-l", "127.0.0.2", "-p", "0"}, &why)) << why;
    EXPECT_FALSE(second.start({"-l", "127.0.0.2", "-p", std::to_string(first.port())}, &why));
    int status = second.wait_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(second.err().find("kel-agent: cannot listen on 127.0.0.2:" + std::to_string(first.port()) +
                                ": Address already in use\n"),
              std::string::npos)
        << second.err();
    EXPECT_EQ(WEXITSTATUS(first.stop(SIGINT)), 0);
    /* Exactly one line on standard output. */
    EXPECT_EQ(first.out(), "kel-agent: listening on 127.0.0.2:" + std::to_string(first.port()) + "\n");
}

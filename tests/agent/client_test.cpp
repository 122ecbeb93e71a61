/*
 * client_test.cpp - the master's side of remote execution against scripted
 * fake agents: what it sends, what it prints for every way an exchange can
 * go wrong, and that whatever an agent sends (wrong headers, lying lengths,
 * unterminated texts, a connection cut short) fails the test case and
 * nothing else. The master is the test program agent_prog, run as a child
 * process (so a sanitizer build checks it too); its whole output is
 * compared.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "agent_msg.h"
#include "golden.h"

using namespace agent_test;
using namespace kel_golden;

namespace {

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

/* Elapsed times and pids vary; the magic numbers in the header check's
 * lines are not pointers. */
normaliser rules()
{
    normaliser n = default_normaliser();
    remove_rule(n, "pointer");
    return n;
}

/* The master run against fake, with the expected output and status. */
void expect_run(const fake_agent &fake, const std::vector<std::string> &args, const std::string &expected,
                int status = 3)
{
    run_options opt;
    opt.env.push_back("AGENT_PROG_NODE=" + fake.node());
    run_result r = run_program(program_path("agent_prog"), args, opt);
    EXPECT_TRUE(output_matches(expected, exited_with(status), r, rules())) << command_line("agent_prog", args);
}

const std::string BLOCK = "\n---- fake:r:[PROC 1 node=127.0.0.1]\n";

void send_reply(int fd, uint8_t status, const std::string &reason)
{
    kel_spawn_rsp_t rsp = make_reply(status, reason);
    send_all(fd, &rsp, sizeof rsp);
}

void send_result(int fd, const kel_proc_result_t &res)
{
    send_all(fd, &res, sizeof res);
}

/* A result's image with the summary length and area set by hand. */
kel_proc_result_t raw_result(uint32_t executed, uint32_t failed, uint32_t summary_len, const std::vector<uint8_t> &area)
{
    kel_proc_result_t res = make_result("127.0.0.3", executed, failed, 3, 5, {});
    uint8_t *m = reinterpret_cast<uint8_t *>(&res);
    m[48] = static_cast<uint8_t>(summary_len >> 24);
    m[49] = static_cast<uint8_t>(summary_len >> 16);
    m[50] = static_cast<uint8_t>(summary_len >> 8);
    m[51] = static_cast<uint8_t>(summary_len);
    memset(m + 52, 0, 1028);
    memcpy(m + 52, area.data(), std::min<size_t>(area.size(), 1028));
    return res;
}

} // namespace

TEST(RemoteClient, RequestCarriesTheRunAndTheChildsPath)
{
    fake_agent fake([](int fd, const kel_spawn_req_t &) { send_reply(fd, 3, "just looking"); });
    run_options opt;
    opt.env.push_back("AGENT_PROG_NODE=" + fake.node());
    run_result r = run_program(program_path("agent_prog"), {"-D", "color=red", "-s", "-d", "fake"}, opt);
    std::vector<kel_spawn_req_t> reqs = fake.finish();
    ASSERT_EQ(reqs.size(), 1u) << r.out;

    kel__spawn_req_fields f;
    kel__spawn_req_unpack(&reqs[0], &f);
    EXPECT_EQ(f.hdr.magic, KEL_AGENT_MAGIC);
    EXPECT_EQ(f.hdr.version, 1);
    EXPECT_EQ(f.hdr.type, 1);
    char node[16];
    inet_ntop(AF_INET, &f.hdr.node, node, sizeof node);
    EXPECT_STREQ(node, "127.0.0.1");
    EXPECT_NE(r.err.find("master pid=" + std::to_string(f.hdr.pid) + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(f.verbosity, 2);
    EXPECT_EQ(f.flags, KEL_SPAWN_F_STRICT | KEL_SPAWN_F_NVP);
    EXPECT_EQ(f.task, 1);
    EXPECT_EQ(f.seq, 0);
    EXPECT_EQ(f.node_num, 5);
    EXPECT_EQ(std::string(f.process_name), program_path("agent_prog"));
    EXPECT_STREQ(f.nvp_list, "color=red");
    EXPECT_STREQ(f.test_case, "fake r");
    EXPECT_NE(r.out.find("ERROR: Rejected by agent, just looking\n"), std::string::npos) << r.out;

    /* Quiet, no list, not strict: verbosity 0 and no flags. */
    fake_agent quiet([](int fd, const kel_spawn_req_t &) { send_reply(fd, 1, "no"); });
    opt.env[0] = "AGENT_PROG_NODE=" + quiet.node();
    run_program(program_path("agent_prog"), {"-q", "fake"}, opt);
    reqs = quiet.finish();
    ASSERT_EQ(reqs.size(), 1u);
    kel__spawn_req_unpack(&reqs[0], &f);
    EXPECT_EQ(f.verbosity, 0);
    EXPECT_EQ(f.flags, 0);
    EXPECT_STREQ(f.nvp_list, "");
}

TEST(RemoteClient, FailedExchangesCountOneFailedTestCaseAndSayWhy)
{
    {
        SCOPED_TRACE("a reply with the wrong magic");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            kel_spawn_rsp_t rsp = make_reply(0, "");
            const uint8_t wrong[4] = {0x18, 0x2C, 0xAB, 0xFE};
            memcpy(&rsp, wrong, sizeof wrong);
            send_all(fd, &rsp, sizeof rsp);
        });
        expect_run(fake, {"fake"},
                   "Received message with wrong magic 0x182cabfe, expected 0xfeab2c18\n"
                   "FAILED: spawn_remote_process()\n" +
                       BLOCK + "     ERROR: Communication error, 22 - Invalid argument\n" + summary(1, 1, 0));
    }
    {
        SCOPED_TRACE("a rejecting agent");
        fake_agent fake([](int fd, const kel_spawn_req_t &) { send_reply(fd, 3, "too many processes: 4 running"); });
        expect_run(fake, {"fake"},
                   "FAILED: spawn_remote_process()\n" + BLOCK +
                       "     ERROR: Rejected by agent, too many processes: 4 running\n" + summary(1, 1, 0));
    }
    {
        SCOPED_TRACE("a reason without its NUL is cut at its field's end");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            kel_spawn_rsp_t rsp = make_reply(9, "");
            memset(rsp.reason, 'r', sizeof rsp.reason);
            send_all(fd, &rsp, sizeof rsp);
        });
        expect_run(fake, {"fake"},
                   "FAILED: spawn_remote_process()\n" + BLOCK + "     ERROR: Rejected by agent, " +
                       std::string(259, 'r') + "\n" + summary(1, 1, 0));
    }
    {
        SCOPED_TRACE("an agent that closes before the result");
        fake_agent fake([](int fd, const kel_spawn_req_t &) { send_reply(fd, 0, ""); });
        expect_run(fake, {"fake"},
                   "FAILED: get_remote_process_result()\n" + BLOCK +
                       "     ERROR: Communication error, 104 - Connection reset by peer\n" + summary(1, 1, 0));
    }
    {
        SCOPED_TRACE("an agent that closes in the middle of the result");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            kel_proc_result_t res = make_result("127.0.0.1", 1, 0, 1, 1, {0xFE});
            send_all(fd, &res, 500);
        });
        expect_run(fake, {"fake"},
                   "FAILED: get_remote_process_result()\n" + BLOCK +
                       "     ERROR: Communication error, 104 - Connection reset by peer\n" + summary(1, 1, 0));
    }
    {
        SCOPED_TRACE("a result of an unknown type");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            kel_proc_result_t res = make_result("127.0.0.1", 1, 0, 1, 1, {0xFE});
            reinterpret_cast<uint8_t *>(&res)[12] = 9;
            send_result(fd, res);
        });
        expect_run(fake, {"fake"},
                   "Received message with wrong type 9\n"
                   "FAILED: get_remote_process_result()\n" +
                       BLOCK + "     ERROR: Communication error, 22 - Invalid argument\n" + summary(1, 1, 0));
    }
    {
        SCOPED_TRACE("nothing listens on the node");
        fake_agent fake([](int, const kel_spawn_req_t &) {}, 0);
        std::string node = fake.node();
        fake.finish();
        run_options opt;
        opt.env.push_back("AGENT_PROG_NODE=" + node);
        run_result r = run_program(program_path("agent_prog"), {"fake"}, opt);
        EXPECT_TRUE(output_matches("FAILED: spawn_remote_process()\n" + BLOCK +
                                       "     ERROR: Communication error, 111 - Connection refused\n" +
                                       summary(1, 1, 0),
                                   exited_with(3), r, rules()));
    }
    {
        SCOPED_TRACE("every iteration of a sequence asks again and says which");
        fake_agent fake([](int fd, const kel_spawn_req_t &) { send_reply(fd, 2, "busy"); }, 2);
        expect_run(fake, {"fakeseq"},
                   "FAILED: spawn_remote_process()\n"
                   "\n---- fakeseq:r:[SEQ 1][PROC 1 node=127.0.0.1]\n"
                   "     ERROR: Rejected by agent, busy\n"
                   "FAILED: spawn_remote_process()\n"
                   "\n---- fakeseq:r:[SEQ 2][PROC 1 node=127.0.0.1]\n"
                   "     ERROR: Rejected by agent, busy\n" +
                       summary(2, 2, 0));
        std::vector<kel_spawn_req_t> reqs = fake.finish();
        ASSERT_EQ(reqs.size(), 2u);
        kel__spawn_req_fields f;
        kel__spawn_req_unpack(&reqs[1], &f);
        EXPECT_EQ(f.seq, 2);
    }
}

TEST(RemoteClient, RequestsThatCannotTravelAreNotSent)
{
    /* The child's path is 304 bytes and its node number 70000; started by
     * a name of more than 127 characters with 401 characters of variables. */
    fake_agent fake([](int, const kel_spawn_req_t &) {}, 0);
    temp_dir dir;
    std::string link = dir.path() + "/" + std::string(120, 'l');
    ASSERT_EQ(symlink(program_path("agent_prog").c_str(), link.c_str()), 0);
    run_options opt;
    opt.env.push_back("AGENT_PROG_NODE=" + fake.node());
    run_result r = run_program(link, {"-D", "a=" + std::string(198, 'x'), "-D", "b=" + std::string(198, 'y'), "big"},
                               opt);
    EXPECT_TRUE(output_matches("size of test case name cannot be greater than 255\n"
                               "size of process name cannot be greater than 127\n"
                               "size of name value pairs cannot be greater than 255\n"
                               "node number cannot be greater than 65535\n"
                               "FAILED: Invalid args for agent\n" +
                                   summary(1, 1, 0),
                               exited_with(3), r, rules()));
    EXPECT_TRUE(fake.finish().empty());
}

TEST(RemoteClient, AResultIsFoldedLikeASlotAndNamesItsNode)
{
    const std::vector<uint8_t> entry = list_entry("fake:r", "/src/t.c:12:check_it", "x == 1");
    std::vector<uint8_t> list = entry;
    list.push_back(0xFE);
    auto script = [list](int fd, const kel_spawn_req_t &) {
        send_reply(fd, 0, "");
        send_result(fd, make_result("127.0.0.3", 4, 1, 9, 1234, list));
    };
    const std::string failed_block = BLOCK +
                                     "     SUMMARY: FAILED (pass rate=75%)\n"
                                     "Test case(s) executed:    4\n"
                                     "Test case(s) failed:      1\n"
                                     "Total checkpoints(s):     9\n"
                                     "Elapsed time = <T> ms\n";
    const std::string record = "\n---- SUMMARY OF FAILED TESTS:\n\n"
                               "---- fake:r:[PROC 1 node=127.0.0.3]\n"
                               "     /src/t.c:12:check_it()\n"
                               "     condition(x == 1)\n"
                               "\n";
    {
        fake_agent fake(script);
        run_options opt;
        opt.env.push_back("AGENT_PROG_NODE=" + fake.node());
        run_result r = run_program(program_path("agent_prog"), {"fake"}, opt);
        EXPECT_TRUE(output_matches(failed_block + record + summary(4, 1, 9), exited_with(3), r, rules()));
        EXPECT_NE(r.out.find("Elapsed time = 1234 ms\n"), std::string::npos) << r.out;
    }
    {
        SCOPED_TRACE("quiet: the block and the counts, no list");
        fake_agent fake(script);
        std::string quiet_summary = summary(4, 1, 9);
        quiet_summary.erase(quiet_summary.find("\nElapsed"));
        expect_run(fake, {"-q", "fake"}, failed_block + quiet_summary);
    }
    {
        SCOPED_TRACE("a passing remote process");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            send_result(fd, make_result("127.0.0.3", 2, 0, 6, 7, {0xFE}));
        });
        expect_run(fake, {"fake"},
                   BLOCK +
                       "     SUMMARY: PASSED\n"
                       "Test case(s) executed:    2\n"
                       "Test case(s) failed:      0\n"
                       "Total checkpoints(s):     6\n"
                       "Elapsed time = <T> ms\n" +
                       summary(2, 0, 6),
                   0);
    }
    {
        SCOPED_TRACE("quiet and passing: nothing at all");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            send_result(fd, make_result("127.0.0.3", 2, 0, 6, 7, {0xFE}));
        });
        expect_run(fake, {"-q", "fake"}, "", 0);
    }
    {
        SCOPED_TRACE("a process that did not run: its error, counted as one failure");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            kel__proc_result_fields f;
            memset(&f, 0, sizeof f);
            kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_PROC_RESULT, htonl(0x7F000003), 1);
            f.status = 1;
            snprintf(f.error, sizeof f.error, "slave terminated by signal 11");
            kel_proc_result_t res;
            kel__proc_result_pack(&f, &res);
            send_result(fd, res);
        });
        expect_run(fake, {"-q", "fake"},
                   "FAILED: remote status not success\n" + BLOCK + "     ERROR: slave terminated by signal 11\n" +
                       "\n\nSUMMARY: FAILED (pass rate=0%)\n"
                       "Test case(s) executed:    1\nTest case(s) failed:      1\nTotal checkpoints(s):     0\n");
    }
}

TEST(RemoteClient, AHostileAgentFailsTheTestCaseAndNothingElse)
{
    const std::vector<uint8_t> whole = list_entry("p", "f:1:g", "");
    const std::string whole_lines = "---- p:[PROC 1 node=127.0.0.3]\n     f:1:g()\n";
    const std::string malformed = "     <malformed summary from node=127.0.0.3>\n";
    const std::string list_head = "\n---- SUMMARY OF FAILED TESTS:\n\n";
    const std::string block = BLOCK +
                              "     SUMMARY: FAILED (pass rate=0%)\n"
                              "Test case(s) executed:    1\n"
                              "Test case(s) failed:      1\n"
                              "Total checkpoints(s):     3\n"
                              "Elapsed time = <T> ms\n";
    struct hostile {
        const char *what;
        kel_proc_result_t result;
        std::string list;
    };
    /* A whole entry, one of the longest, then lengths that run past the
     * area's end. */
    const std::string a(253, 'a'), b(253, 'b'), c(253, 'c');
    std::vector<uint8_t> past = whole;
    const std::vector<uint8_t> longest = list_entry(a, b, c);
    past.insert(past.end(), longest.begin(), longest.end());
    past.resize(1028, 253);
    const std::string past_lines = whole_lines + "---- " + a + ":[PROC 1 node=127.0.0.3]\n     " + b +
                                   "()\n     condition(" + c + ")\n";
    /* An area that ends without an end byte. */
    std::vector<uint8_t> open_end = whole;
    std::vector<hostile> cases = {
        {"summary_len 5000, lengths past the area", raw_result(1, 1, 5000, past), past_lines + malformed},
        {"summary_len all ones", raw_result(1, 1, 0xFFFFFFFFu, past), past_lines + malformed},
        {"no end byte within summary_len", raw_result(1, 1, static_cast<uint32_t>(whole.size()), open_end),
         whole_lines + malformed},
        {"summary_len 0", raw_result(1, 1, 0, {0xFE}), malformed},
        {"a mark where a length belongs", raw_result(1, 1, 4, {1, 'a', 0xFE, 0}), malformed},
    };
    for (hostile &h : cases) {
        SCOPED_TRACE(h.what);
        kel_proc_result_t res = h.result;
        fake_agent fake([res](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            send_result(fd, res);
        });
        expect_run(fake, {"fake"}, block + list_head + h.list + "\n" + summary(1, 1, 3));
    }
    {
        SCOPED_TRACE("more failures than test cases: the pass rate is 0");
        kel_proc_result_t res = raw_result(2, 5, 1, {0xFE});
        fake_agent fake([res](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            send_result(fd, res);
        });
        run_options opt;
        opt.env.push_back("AGENT_PROG_NODE=" + fake.node());
        run_result r = run_program(program_path("agent_prog"), {"fake"}, opt);
        EXPECT_NE(r.out.find("     SUMMARY: FAILED (pass rate=0%)\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.status, exited_with(3));
    }
    {
        SCOPED_TRACE("an error text without its NUL");
        fake_agent fake([](int fd, const kel_spawn_req_t &) {
            send_reply(fd, 0, "");
            kel_proc_result_t res = make_result("127.0.0.3", 0, 0, 0, 0, {});
            uint8_t *m = reinterpret_cast<uint8_t *>(&res);
            m[16] = 7;
            memset(m + 28, 'e', KEL_PROC_RESULT_SIZE - 28);
            send_result(fd, res);
        });
        expect_run(fake, {"fake"},
                   "FAILED: remote status not success\n" + BLOCK + "     ERROR: " + std::string(1052, 'e') + "\n" +
                       summary(1, 1, 0));
    }
}

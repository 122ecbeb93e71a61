/*
 * wire_test.cpp - the agent protocol's bytes and the checks made on them:
 * every message packed and read back (with its big-endian numbers at their
 * offsets), the header check the master makes on what it receives, the
 * checks kel-agent makes on a request and the slave command line it builds,
 * and binding nodes to test cases.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "agent_msg.h"
#include "golden.h"
#include "kel_types.h"
#include "request.h"

using namespace agent_test;

namespace {

/* Standard output of fn, through a file (the functions print with printf). */
template <typename F>
std::string captured(F fn)
{
    fflush(stdout);
    char path[] = "/tmp/kel_agent_capture.XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return text;
}

const uint8_t *bytes(const void *p)
{
    return static_cast<const uint8_t *>(p);
}

std::vector<uint8_t> at(const void *msg, size_t offset, size_t n)
{
    return std::vector<uint8_t>(bytes(msg) + offset, bytes(msg) + offset + n);
}

kel_node_id_t ip(const char *text)
{
    kel_node_id_t id = 0;
    inet_pton(AF_INET, text, &id);
    return id;
}

} // namespace

TEST(AgentWire, EveryMessageRoundTripsWithBigEndianNumbersAtTheirOffsets)
{
    /* Header: magic bytes, node as stored, pid big-endian, type, version. */
    kel__agent_hdr_fields h;
    kel__agent_hdr_init(&h, 4, ip("10.0.0.9"), 0x01020304u);
    uint8_t hdr[KEL_AGENT_HDR_SIZE];
    kel__agent_hdr_pack(&h, hdr);
    EXPECT_EQ(at(hdr, 0, 16), (std::vector<uint8_t>{0xFE, 0xAB, 0x2C, 0x18, 10, 0, 0, 9, 1, 2, 3, 4, 4, 1, 0, 0}));
    kel__agent_hdr_fields h2;
    kel__agent_hdr_unpack(hdr, &h2);
    EXPECT_EQ(h2.magic, KEL_AGENT_MAGIC);
    EXPECT_EQ(h2.node, ip("10.0.0.9"));
    EXPECT_EQ(h2.pid, 0x01020304u);
    EXPECT_EQ(h2.type, 4);
    EXPECT_EQ(h2.version, 1);

    /* Spawn request. */
    kel__spawn_req_fields rq;
    memset(&rq, 0, sizeof rq);
    kel__agent_hdr_init(&rq.hdr, KEL_AGENT_MSG_SPAWN_REQ, ip("127.0.0.2"), 0xA1B2C3D4u);
    rq.verbosity = 2;
    rq.flags = 0x0003;
    rq.task = 0x0102;
    rq.seq = 0x0304;
    rq.node_num = 0xFFFE;
    snprintf(rq.process_name, sizeof rq.process_name, "/opt/t/prog");
    snprintf(rq.nvp_list, sizeof rq.nvp_list, "a=1:b=2");
    snprintf(rq.test_case, sizeof rq.test_case, "folder leaf");
    kel_spawn_req_t req;
    memset(&req, 0xAA, sizeof req);
    kel__spawn_req_pack(&rq, &req);
    EXPECT_EQ(at(&req, 12, 4), (std::vector<uint8_t>{1, 1, 0, 0}));
    EXPECT_EQ(at(&req, 16, 12), (std::vector<uint8_t>{2, 0, 0, 3, 1, 2, 3, 4, 0xFF, 0xFE, 0, 0}));
    EXPECT_STREQ(reinterpret_cast<const char *>(&req) + 28, "/opt/t/prog");
    EXPECT_STREQ(reinterpret_cast<const char *>(&req) + 156, "a=1:b=2");
    EXPECT_STREQ(reinterpret_cast<const char *>(&req) + 412, "folder leaf");
    EXPECT_EQ(bytes(&req)[667], 0) << "bytes not listed are 0";
    kel__spawn_req_fields rq2;
    kel__spawn_req_unpack(&req, &rq2);
    EXPECT_EQ(rq2.hdr.pid, 0xA1B2C3D4u);
    EXPECT_EQ(rq2.hdr.node, ip("127.0.0.2"));
    EXPECT_EQ(rq2.verbosity, 2);
    EXPECT_EQ(rq2.flags, 3);
    EXPECT_EQ(rq2.task, 0x0102);
    EXPECT_EQ(rq2.seq, 0x0304);
    EXPECT_EQ(rq2.node_num, 0xFFFE);
    EXPECT_EQ(0, memcmp(rq.process_name, rq2.process_name, sizeof rq.process_name));
    EXPECT_EQ(0, memcmp(rq.nvp_list, rq2.nvp_list, sizeof rq.nvp_list));
    EXPECT_EQ(0, memcmp(rq.test_case, rq2.test_case, sizeof rq.test_case));

    /* A text that fills its field is cut so that a NUL still ends it. */
    memset(rq.process_name, 'p', sizeof rq.process_name);
    kel__spawn_req_pack(&rq, &req);
    EXPECT_EQ(strnlen(req.process_name, sizeof req.process_name), sizeof req.process_name - 1);

    /* Reply. */
    kel__spawn_rsp_fields rs;
    memset(&rs, 0, sizeof rs);
    kel__agent_hdr_init(&rs.hdr, KEL_AGENT_MSG_SPAWN_RSP, ip("127.0.0.3"), 77);
    rs.status = 3;
    snprintf(rs.reason, sizeof rs.reason, "too busy");
    kel_spawn_rsp_t rsp;
    kel__spawn_rsp_pack(&rs, &rsp);
    EXPECT_EQ(at(&rsp, 8, 9), (std::vector<uint8_t>{0, 0, 0, 77, 2, 1, 0, 0, 3}));
    EXPECT_STREQ(reinterpret_cast<const char *>(&rsp) + 17, "too busy");
    kel__spawn_rsp_fields rs2;
    kel__spawn_rsp_unpack(&rsp, &rs2);
    EXPECT_EQ(rs2.status, 3);
    EXPECT_EQ(rs2.hdr.node, ip("127.0.0.3"));
    EXPECT_EQ(0, memcmp(rs.reason, rs2.reason, sizeof rs.reason));

    /* Result of a process that ran: counts, elapsed time, the list. */
    kel__proc_result_fields r;
    memset(&r, 0, sizeof r);
    kel__agent_hdr_init(&r.hdr, KEL_AGENT_MSG_PROC_RESULT, ip("127.0.0.2"), 4242);
    r.executed = 0x11223344u;
    r.failed = 2;
    r.checkpoints = 0x00010000u;
    r.elapsed_ms = 0x0102030405060708ull;
    r.summary_len = 1028;
    for (size_t i = 0; i < sizeof r.summary; i++)
        r.summary[i] = static_cast<uint8_t>(i * 7);
    kel_proc_result_t res;
    kel__proc_result_pack(&r, &res);
    EXPECT_EQ(at(&res, 16, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(at(&res, 24, 28), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0, 0, 0, 2, 0, 1, 0, 0, 0, 0, 0, 0,
                                                      1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 4, 4}));
    EXPECT_EQ(bytes(&res)[52 + 1027], static_cast<uint8_t>(1027 * 7));
    kel__proc_result_fields r2;
    kel__proc_result_unpack(&res, &r2);
    EXPECT_EQ(r2.status, 0);
    EXPECT_EQ(r2.hdr.pid, 4242u);
    EXPECT_EQ(r2.executed, r.executed);
    EXPECT_EQ(r2.failed, r.failed);
    EXPECT_EQ(r2.checkpoints, r.checkpoints);
    EXPECT_EQ(r2.elapsed_ms, r.elapsed_ms);
    EXPECT_EQ(r2.summary_len, r.summary_len);
    EXPECT_EQ(0, memcmp(r.summary, r2.summary, sizeof r.summary));

    /* Result of a process that did not run: the error text at offset 28. */
    memset(&r, 0, sizeof r);
    kel__agent_hdr_init(&r.hdr, KEL_AGENT_MSG_PROC_RESULT, ip("127.0.0.2"), 4243);
    r.status = 1;
    snprintf(r.error, sizeof r.error, "slave terminated by signal 11");
    kel__proc_result_pack(&r, &res);
    EXPECT_EQ(bytes(&res)[16], 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(&res) + 28, "slave terminated by signal 11");
    kel__proc_result_unpack(&res, &r2);
    EXPECT_EQ(r2.status, 1);
    EXPECT_STREQ(r2.error, "slave terminated by signal 11");
    /* An error text as long as the message still ends inside it. */
    memset(r.error, 'e', sizeof r.error);
    kel__proc_result_pack(&r, &res);
    EXPECT_EQ(bytes(&res)[KEL_PROC_RESULT_SIZE - 1], 0);
    EXPECT_EQ(bytes(&res)[KEL_PROC_RESULT_SIZE - 2], 'e');
}

TEST(AgentWire, HeaderCheckPrintsWhatIsWrongInOrder)
{
    kel_spawn_rsp_t rsp = make_reply(0, "");
    uint32_t rc = 0;
    EXPECT_EQ(captured([&] { rc = kel_check_agent_msg(&rsp); }), "");
    EXPECT_EQ(rc, 0u);
    for (uint8_t type = 1; type <= 5; type++) {
        reinterpret_cast<uint8_t *>(&rsp)[12] = type;
        EXPECT_EQ(kel_check_agent_msg(&rsp), 0u) << "type " << int(type);
    }

    uint8_t *m = reinterpret_cast<uint8_t *>(&rsp);
    m[12] = 6;
    EXPECT_EQ(captured([&] { rc = kel_check_agent_msg(&rsp); }), "Received message with wrong type 6\n");
    EXPECT_EQ(rc, 22u);
    m[12] = 0;
    EXPECT_EQ(captured([&] { rc = kel_check_agent_msg(&rsp); }), "Received message with wrong type 0\n");
    /* The version is checked before the type. */
    m[13] = 2;
    EXPECT_EQ(captured([&] { rc = kel_check_agent_msg(&rsp); }),
              "Received message with wrong version 2, expected 1\n");
    EXPECT_EQ(rc, 22u);
    /* And the magic before both: the bytes read as a big-endian number. */
    m[0] = 0x18;
    m[1] = 0x2C;
    m[2] = 0xAB;
    m[3] = 0xFE;
    EXPECT_EQ(captured([&] { rc = kel_check_agent_msg(&rsp); }),
              "Received message with wrong magic 0x182cabfe, expected 0xfeab2c18\n");
    EXPECT_EQ(rc, 22u);
    EXPECT_EQ(kel_check_agent_msg(nullptr), 22u);

    /* The exported calls refuse missing arguments without touching the
     * network. */
    kel_spawn_req_t req;
    memset(&req, 0, sizeof req);
    kel_od_handle_t handle = -1;
    EXPECT_EQ(kel_spawn_remote_process(ip("127.0.0.1"), htonl(1), nullptr, &rsp, &handle), 22u);
    EXPECT_EQ(kel_spawn_remote_process(ip("127.0.0.1"), htonl(1), &req, nullptr, &handle), 22u);
    EXPECT_EQ(kel_spawn_remote_process(ip("127.0.0.1"), htonl(1), &req, &rsp, nullptr), 22u);
    EXPECT_EQ(kel_get_remote_process_result(ip("127.0.0.1"), nullptr, nullptr), 22u);
}

TEST(AgentWire, NodesAndNodeNumbersOfTestCases)
{
    kel_t *kel = nullptr;
    ASSERT_EQ(kel_create(&kel), 0u);
    kel_tc_t *folder = kel_create_test_folder(kel, nullptr, "f", "folder");
    kel_tc_t *tc = kel_create_test_case(kel, folder, "t", "leaf", [] {}, KEL_TC_BASIC);
    ASSERT_NE(tc, nullptr);

    /* Without a port: the default one, 6154, as a network-order value. */
    EXPECT_EQ(kel_set_node(tc, "10.0.0.9"), 0u);
    EXPECT_TRUE(tc->flags & KEL_TCF_REMOTE);
    EXPECT_EQ(tc->node_addr, ip("10.0.0.9"));
    EXPECT_EQ(tc->node_port, htonl(6154));
    EXPECT_EQ(kel_set_node(tc, "127.0.0.3:80"), 0u);
    EXPECT_EQ(tc->node_addr, ip("127.0.0.3"));
    EXPECT_EQ(tc->node_port, htonl(80));

    /* Errors leave the node as it was: remote stays remote, local local. */
    EXPECT_EQ(kel_set_node(tc, nullptr), 22u);
    EXPECT_EQ(kel_set_node(tc, "10.0.0.x"), 22u);
    EXPECT_EQ(kel_set_node(tc, "10.0.0.9:65536"), 22u);
    EXPECT_EQ(kel_set_node(tc, "10.1.2"), 14u);
    EXPECT_EQ(tc->node_addr, ip("127.0.0.3"));
    EXPECT_EQ(tc->node_port, htonl(80));
    EXPECT_EQ(kel_set_node(folder, nullptr), 22u);
    EXPECT_EQ(kel_set_node(nullptr, "10.0.0.9"), 22u);
    EXPECT_FALSE(folder->flags & KEL_TCF_REMOTE);
    EXPECT_EQ(folder->node_addr, 0u);

    EXPECT_EQ(kel_set_node_num(tc, 0), 22u);
    EXPECT_EQ(tc->node_num, 0u);
    EXPECT_EQ(kel_set_node_num(nullptr, 3), 22u);
    EXPECT_EQ(kel_set_node_num(tc, 9), 0u);
    EXPECT_EQ(tc->node_num, 9u);
    EXPECT_EQ(kel_set_node_num(tc, 0), 22u);
    EXPECT_EQ(tc->node_num, 9u);
    kel_destroy(&kel);

    /* Off a test thread: all ones, and nothing printed. */
    uint32_t n = 0;
    EXPECT_EQ(captured([&] { n = kel_get_node_num(); }), "");
    EXPECT_EQ(n, 0xFFFFFFFFu);

    /* In a run started with -node_num, the selected test case reads it. */
    kel_golden::run_result r =
        kel_golden::run_program(kel_golden::program_path("agent_prog"), {"-q", "-node_num", "9", "nodenum", "show"});
    EXPECT_EQ(r.out, "node_num=9\n") << r.err;
    EXPECT_EQ(r.status, kel_golden::exited_with(0));
}

/* ---- the agent's checks on requests --------------------------------------- */

namespace {

struct allowed_tree {
    temp_dir root;
    std::string allowed, prog, plain, sub, evil_prog, link_out, link_in;
    std::vector<std::string> dirs;
    std::vector<char *> dir_ptrs;
    agent_allowed list{};

    allowed_tree()
    {
        allowed = root.file("allowed");
        mkdir(allowed.c_str(), 0755);
        prog = allowed + "/prog";
        write_file(prog, 0755);
        plain = allowed + "/plain";
        write_file(plain, 0644);
        sub = allowed + "/sub";
        mkdir(sub.c_str(), 0755);
        /* Shares the allowed folder's name as a string prefix only. */
        std::string evil = root.file("allowed-evil");
        mkdir(evil.c_str(), 0755);
        evil_prog = evil + "/prog";
        write_file(evil_prog, 0755);
        link_out = allowed + "/out";
        symlink(evil_prog.c_str(), link_out.c_str());
        link_in = root.file("in");
        symlink(prog.c_str(), link_in.c_str());
        char real[PATH_MAX];
        dirs.push_back(realpath(allowed.c_str(), real) ? real : allowed);
        for (std::string &d : dirs)
            dir_ptrs.push_back(d.data());
        list.dirs = dir_ptrs.data();
        list.count = dir_ptrs.size();
    }

    ~allowed_tree()
    {
        for (const std::string &f : {link_out, link_in, prog, plain, evil_prog})
            unlink(f.c_str());
        rmdir(sub.c_str());
        rmdir(dir_of(evil_prog).c_str());
        rmdir(allowed.c_str());
    }

    static void write_file(const std::string &path, mode_t mode)
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        if (fd >= 0) {
            ssize_t w = write(fd, "#!/bin/sh\n", 10);
            (void)w;
            close(fd);
        }
        chmod(path.c_str(), mode);
    }
};

kel__spawn_req_fields valid_request(const std::string &program)
{
    kel__spawn_req_fields f;
    memset(&f, 0, sizeof f);
    kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_SPAWN_REQ, ip("127.0.0.1"), 99);
    f.verbosity = 1;
    f.task = 1;
    snprintf(f.process_name, sizeof f.process_name, "%s", program.c_str());
    snprintf(f.test_case, sizeof f.test_case, "folder leaf");
    return f;
}

/* Packs f (after edit on the packed bytes) and checks it: "" when
 * accepted, else the reason. */
template <typename Edit>
std::string check(const allowed_tree &t, kel__spawn_req_fields f, Edit edit, agent_request *out = nullptr)
{
    kel_spawn_req_t msg;
    kel__spawn_req_pack(&f, &msg);
    edit(reinterpret_cast<uint8_t *>(&msg));
    agent_request req;
    char reason[AGENT_REASON_SIZE] = "";
    bool ok = agent_check_request(reinterpret_cast<uint8_t *>(&msg), sizeof msg, &t.list, &req, reason,
                                  sizeof reason);
    if (out)
        *out = req;
    return ok ? std::string() : std::string(reason);
}

std::string check(const allowed_tree &t, const kel__spawn_req_fields &f)
{
    return check(t, f, [](uint8_t *) {});
}

} // namespace

TEST(AgentRequest, EveryFieldIsCheckedWithAReasonAPersonUnderstands)
{
    allowed_tree t;
    const kel__spawn_req_fields ok = valid_request(t.prog);
    agent_request req;
    EXPECT_EQ(check(t, ok, [](uint8_t *) {}, &req), "");
    EXPECT_EQ(std::string(req.program), t.dirs[0] + "/prog");

    struct row {
        const char *what;
        std::function<void(uint8_t *)> edit;
        std::string reason;
    };
    const std::vector<row> rows = {
        {"magic", [](uint8_t *m) { m[0] = 0x18; }, "malformed request: wrong magic 0x18ab2c18, expected 0xfeab2c18"},
        {"version", [](uint8_t *m) { m[13] = 2; }, "malformed request: version 2, expected 1"},
        {"type", [](uint8_t *m) { m[12] = 3; }, "malformed request: message type 3, expected 1 (spawn request)"},
        {"verbosity", [](uint8_t *m) { m[16] = 3; }, "malformed request: verbosity 3, expected 0, 1 or 2"},
        {"flags", [](uint8_t *m) { m[18] = 0x80; }, "malformed request: unknown flags 0x8000"},
        {"task", [](uint8_t *m) { m[20] = m[21] = 0; }, "malformed request: task 0 (tasks are numbered from 1)"},
        {"name unterminated", [](uint8_t *m) { memset(m + 28, 'x', 128); },
         "malformed request: the process name is not terminated within its field"},
        {"name empty", [](uint8_t *m) { m[28] = 0; }, "malformed request: the process name is empty"},
        {"list unterminated", [](uint8_t *m) { memset(m + 156, 'x', 256); },
         "malformed request: the name=value list is not terminated within its field"},
        {"list without flag", [](uint8_t *m) { memcpy(m + 156, "a=1", 4); },
         "malformed request: a name=value list without its flag"},
        {"test case unterminated", [](uint8_t *m) { memset(m + 412, 'x', 256); },
         "malformed request: the test case is not terminated within its field"},
        {"test case empty", [](uint8_t *m) { memset(m + 412, 0, 256); }, "malformed request: the test case is empty"},
        {"doubled blank", [](uint8_t *m) { memcpy(m + 412, "a  b", 5); },
         "malformed request: the test case has an empty name (blanks at its ends or doubled)"},
        {"trailing blank", [](uint8_t *m) { memcpy(m + 412, "a ", 3); },
         "malformed request: the test case has an empty name (blanks at its ends or doubled)"},
        {"option", [](uint8_t *m) { memcpy(m + 412, "f -x", 5); },
         "malformed request: the test case name \"-x\" begins with '-'"},
    };
    for (const row &r : rows)
        EXPECT_EQ(check(t, ok, r.edit), r.reason) << r.what;

    /* A list with its flag, strict mode, quiet and debug are accepted. */
    EXPECT_EQ(check(t, ok,
                    [](uint8_t *m) {
                        m[19] = 3;
                        memcpy(m + 156, "a=1", 4);
                        m[16] = 0;
                    }),
              "");
    EXPECT_EQ(check(t, ok, [](uint8_t *m) { m[16] = 2; }), "");

    /* The short or long message itself. */
    char reason[AGENT_REASON_SIZE];
    uint8_t small[10] = {};
    EXPECT_FALSE(agent_check_request(small, sizeof small, &t.list, &req, reason, sizeof reason));
    EXPECT_STREQ(reason, "malformed request: 10 bytes, expected 668");
}

TEST(AgentRequest, OnlyExecutableFilesUnderAnAllowedFolderMayRun)
{
    allowed_tree t;
    const std::string real_allowed = t.dirs[0];
    auto with = [&](const std::string &name) { return check(t, valid_request(name)); };

    EXPECT_EQ(with(t.prog), "");
    /* Links and ".." are followed before the folder is compared. */
    EXPECT_EQ(with(t.link_in), "");
    EXPECT_EQ(with(t.sub + "/../prog"), "");
    char real_root[PATH_MAX];
    ASSERT_NE(realpath(t.root.path().c_str(), real_root), nullptr);
    const std::string evil = std::string(real_root) + "/allowed-evil/prog";
    EXPECT_EQ(with(t.link_out), "program not allowed: " + evil + " is not under an allowed folder");
    EXPECT_EQ(with(t.evil_prog), "program not allowed: " + evil + " is not under an allowed folder");
    EXPECT_EQ(with(t.allowed + "/../allowed-evil/prog"),
              "program not allowed: " + evil + " is not under an allowed folder");
    EXPECT_EQ(with("/bin/sh").rfind("program not allowed: ", 0), 0u);
    EXPECT_EQ(with(t.plain), "program not allowed: " + real_allowed + "/plain is not an executable regular file");
    EXPECT_EQ(with(t.sub), "program not allowed: " + real_allowed + "/sub is not an executable regular file");
    EXPECT_EQ(with(t.allowed + "/missing"), "program not allowed: " + t.allowed + "/missing: No such file or directory");

    /* The folder itself is not "under" another folder by string prefix. */
    EXPECT_TRUE(agent_path_under("/srv/tests/prog", "/srv/tests"));
    EXPECT_TRUE(agent_path_under("/srv/tests", "/srv/tests"));
    EXPECT_FALSE(agent_path_under("/srv/tests-evil/prog", "/srv/tests"));
    EXPECT_FALSE(agent_path_under("/srv/test", "/srv/tests"));
    EXPECT_TRUE(agent_path_under("/anything", "/"));

    /* Without -a nothing may run. */
    agent_allowed none{nullptr, 0};
    char resolved[PATH_MAX];
    char reason[AGENT_REASON_SIZE];
    EXPECT_FALSE(agent_check_program(t.prog.c_str(), &none, resolved, reason, sizeof reason));
    EXPECT_EQ(std::string(reason),
              "program not allowed: " + t.prog + " (the agent allows no folder: start it with -a)");
}

TEST(AgentRequest, SlaveCommandLineFollowsTheSlaveProtocol)
{
    allowed_tree t;
    kel__spawn_req_fields f = valid_request(t.prog);
    auto argv_of = [&](const kel__spawn_req_fields &fields) {
        agent_request req;
        EXPECT_EQ(check(t, fields, [](uint8_t *) {}, &req), "");
        agent_argv a;
        agent_build_argv(&req, "kel_agent.1.2", &a);
        std::vector<std::string> v;
        for (char **p = a.argv; *p; p++)
            v.push_back(*p);
        return v;
    };
    const std::string prog = t.dirs[0] + "/prog";
    EXPECT_EQ(argv_of(f), (std::vector<std::string>{prog, "-fork_id", "1", "-shm_res", "kel_agent.1.2",
                                                    "-shm_results_slot_id", "0", "folder", "leaf"}));

    f.task = 3;
    f.seq = 2;
    f.node_num = 7;
    f.verbosity = 2;
    f.flags = KEL_SPAWN_F_STRICT | KEL_SPAWN_F_NVP;
    snprintf(f.nvp_list, sizeof f.nvp_list, "color=red:n=4");
    snprintf(f.test_case, sizeof f.test_case, "a b c");
    EXPECT_EQ(argv_of(f), (std::vector<std::string>{prog, "-fork_id", "3", "-shm_res", "kel_agent.1.2",
                                                    "-shm_results_slot_id", "0", "-D", "color=red:n=4", "-d", "-s",
                                                    "-seq", "2", "-node_num", "7", "a", "b", "c"}));
    f.verbosity = 0;
    f.flags = 0;
    f.seq = 0;
    f.node_num = 0;
    f.nvp_list[0] = '\0';
    EXPECT_EQ(argv_of(f), (std::vector<std::string>{prog, "-fork_id", "3", "-shm_res", "kel_agent.1.2",
                                                    "-shm_results_slot_id", "0", "-q", "a", "b", "c"}));

    /* The most names the field can hold: 128 one-letter names. */
    std::string many;
    for (int i = 0; i < 127; i++)
        many += "x ";
    many += "y";
    snprintf(f.test_case, sizeof f.test_case, "%s", many.c_str());
    std::vector<std::string> v = argv_of(f);
    ASSERT_EQ(v.size(), 8u + 128u);
    EXPECT_EQ(v.back(), "y");
}

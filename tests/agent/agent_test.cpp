/*
 * agent_test.cpp - remote execution over loopback, through public paths
 * only: the test program agent_prog run as a master against scripted fake
 * agents (every way an exchange can go wrong, hostile results), and against
 * real kel-agent daemons on 127.0.0.2 and 127.0.0.3 (two nodes, the -j
 * limit, programs outside -a, a crashing slave, hostile request bytes,
 * stalled and vanished clients, SIGTERM, the command line). Whole outputs
 * are compared; children are waited for on their pipes, never with sleeps.
 */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "kel.h"

extern char **environ;

namespace {
constexpr auto LIMIT = std::chrono::seconds(30);
const std::string PROG = AGENT_PROG_PATH;
const std::string PROG_DIR = PROG.substr(0, PROG.rfind('/'));

/* A child process whose standard output and error are collected. */
struct proc {
    pid_t pid = -1;
    int status = -1;
    std::mutex m;
    std::condition_variable cv;
    std::string text[2]; /* out, err */
    int eofs = 0;
    std::thread readers[2];

    proc(std::vector<std::string> argv, const std::vector<std::string> &env_extra = {})
    {
        /* Sanitizers leave crash signals alone, so a crashing slave ends
         * with its signal in every build. */
        std::vector<std::string> env(env_extra);
        for (const char *var : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            const char *old = getenv(var);
            env.push_back(std::string(var) + "=" + (old ? std::string(old) + ":" : "") +
                          "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0");
        }
        for (char **e = environ; *e; e++)
            if (strncmp(*e, "ASAN_", 5) && strncmp(*e, "TSAN_", 5) && strncmp(*e, "UBSAN_", 6))
                env.push_back(*e);
        std::vector<char *> av, ev;
        for (std::string &s : argv)
            av.push_back(s.data());
        for (std::string &s : env)
            ev.push_back(s.data());
        av.push_back(nullptr);
        ev.push_back(nullptr);
        int p[2][2];
        if (pipe2(p[0], O_CLOEXEC) != 0 || pipe2(p[1], O_CLOEXEC) != 0)
            return;
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(p[0][1], 1);
            dup2(p[1][1], 2);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            execve(av[0], av.data(), ev.data());
            _exit(127);
        }
        for (int i = 0; i < 2; i++) {
            close(p[i][1]);
            readers[i] = std::thread([this, i, fd = p[i][0]] {
                char buf[4096];
                ssize_t n;
                while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
                    std::lock_guard<std::mutex> l(m);
                    text[i].append(buf, n > 0 ? static_cast<size_t>(n) : 0);
                    cv.notify_all();
                }
                close(fd);
                std::lock_guard<std::mutex> l(m);
                eofs++;
                cv.notify_all();
            });
        }
    }
    ~proc() { finish(SIGKILL); }
    /* Waits until stream (1 out, 2 err) holds needle after offset from;
     * where it starts, or npos on time-out. */
    size_t wait_for(const std::string &needle, int stream = 2, size_t from = 0)
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, LIMIT, [&] { return text[stream - 1].find(needle, from) != std::string::npos || eofs == 2; });
        return text[stream - 1].find(needle, from);
    }
    /* Sends sig (if any), waits for the end; the waitpid status. */
    int finish(int sig = 0)
    {
        if (pid <= 0 || status != -1)
            return status;
        if (sig)
            kill(pid, sig);
        {
            std::unique_lock<std::mutex> l(m);
            if (!cv.wait_for(l, LIMIT, [&] { return eofs == 2; })) {
                ADD_FAILURE() << "process " << pid << " did not end in time";
                kill(pid, SIGKILL);
            }
        }
        for (std::thread &t : readers)
            t.join();
        waitpid(pid, &status, 0);
        return status;
    }
    std::string out()
    {
        std::lock_guard<std::mutex> l(m);
        return text[0];
    }
    std::string err()
    {
        std::lock_guard<std::mutex> l(m);
        return text[1];
    }
};

/* A kel-agent started on address with args, once it is listening. */
struct agent : proc {
    unsigned port = 0;
    std::string node;
    agent(const std::string &address, const std::string &port_text, std::vector<std::string> args)
        : proc([&] {
              args.insert(args.begin(), {KEL_AGENT_PATH, "-l", address, "-p", port_text});
              return args;
          }())
    {
        if (wait_for("\n", 1) != std::string::npos && sscanf(out().c_str(), "kel-agent: listening on %*[0-9.]:%u", &port) == 1)
            node = address + ":" + std::to_string(port);
    }
};

std::string normalise(const std::string &s)
{
    static const std::pair<std::regex, const char *> rules[] = {
        {std::regex("Elapsed time = [0-9]+ ms"), "Elapsed time = <T> ms"},
        {std::regex("pid=[0-9]+"), "pid=<PID>"},
        {std::regex("/[^ :]*/tests/agent/agent_prog\\.c:[0-9]+:"), "<SRC>:"},
    };
    std::string r = s;
    for (const auto &rule : rules)
        r = std::regex_replace(r, rule.first, rule.second);
    return r;
}
struct run_result {
    std::string out, err;
    int status;
};
run_result run_master(const std::vector<std::string> &args, const std::vector<std::string> &env,
                      const std::string &prog = PROG)
{
    std::vector<std::string> argv{prog};
    argv.insert(argv.end(), args.begin(), args.end());
    proc p(argv, env);
    int status = p.finish();
    return {normalise(p.out()), p.err(), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}
/* The lines of concurrent processes: in any order, each as often. */
std::vector<std::string> sorted_lines(const std::string &text)
{
    std::vector<std::string> v;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);)
        v.push_back(l);
    std::sort(v.begin(), v.end());
    return v;
}
std::string counts(int e, int f, int c, const char *verdict_prefix)
{
    char text[200];
    snprintf(text, sizeof text, "%sSUMMARY: %s\nTest case(s) executed:%5d\nTest case(s) failed:  %5d\n"
             "Total checkpoints(s): %5d\n", verdict_prefix,
             f ? ("FAILED (pass rate=" + std::to_string((e - f) * 100 / e) + "%)").c_str() : "PASSED", e, f, c);
    return text;
}
std::string summary(int e, int f, int c, bool quiet = false)
{
    return counts(e, f, c, "\n\n") + (quiet ? "" : "\nElapsed time = <T> ms\n\n");
}
/* The block a master prints for a remote or local slave. */
std::string block(const std::string &label, int e, int f, int c)
{
    return "\n---- " + label + "]\n" + counts(e, f, c, "     ") + "Elapsed time = <T> ms\n";
}
std::string remote(const std::string &path, int task, const std::string &node, int e, int f, int c)
{
    return block(path + ":[PROC " + std::to_string(task) + " node=" + node, e, f, c);
}
std::string real(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : path;
}

/* ---- the wire, through the public message layouts ------------------------ */
template <typename T>
std::string bytes_of(const T &msg)
{
    return std::string(reinterpret_cast<const char *>(&msg), sizeof msg);
}
void header(kel_agent_hdr_t *h, uint8_t type, const char *node)
{
    memcpy(h->magic, "\xFE\xAB\x2C\x18", 4);
    inet_pton(AF_INET, node, &h->node);
    h->pid = htonl(static_cast<uint32_t>(getpid()));
    h->type = type;
    h->version = KEL_AGENT_VERSION;
}
std::string reply(uint8_t status, const std::string &reason)
{
    kel_spawn_rsp_t r = {};
    header(&r.hdr, KEL_AGENT_MSG_SPAWN_RSP, "127.0.0.1");
    r.status = status;
    snprintf(r.reason, sizeof r.reason, "%s", reason.c_str());
    return bytes_of(r);
}
std::string result(uint32_t executed, uint32_t failed, uint32_t checkpoints, const std::string &list,
                   long long list_len = -1)
{
    kel_proc_result_t r = {};
    header(&r.hdr, KEL_AGENT_MSG_PROC_RESULT, "127.0.0.3");
    r.executed = htonl(executed);
    r.failed = htonl(failed);
    r.checkpoints = htonl(checkpoints);
    r.elapsed_ms = htobe64(1234);
    r.summary_len = htonl(static_cast<uint32_t>(list_len < 0 ? static_cast<long long>(list.size()) : list_len));
    memcpy(r.summary, list.data(), std::min(list.size(), sizeof r.summary));
    return bytes_of(r);
}
/* One packed failure record: path, location, condition. */
std::string entry(const std::string &path, const std::string &location, const std::string &cond)
{
    std::string e;
    for (const std::string *s : {&path, &location, &cond})
        e += static_cast<char>(s->size()) + *s;
    return e;
}
const std::string END = "\xFE";
kel_spawn_req_t request(const std::string &test_case, const std::string &vars)
{
    kel_spawn_req_t r = {};
    header(&r.hdr, KEL_AGENT_MSG_SPAWN_REQ, "127.0.0.2");
    r.verbosity = 1;
    r.flags = htons(vars.empty() ? 0 : KEL_SPAWN_F_NVP);
    r.task = htons(1);
    snprintf(r.process_name, sizeof r.process_name, "%s", PROG.c_str());
    snprintf(r.nvp_list, sizeof r.nvp_list, "%s", vars.c_str());
    snprintf(r.test_case, sizeof r.test_case, "%s", test_case.c_str());
    return r;
}
int connect_to(const std::string &address, unsigned port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
bool send_all(int fd, const void *buf, size_t len)
{
    for (size_t done = 0; done < len;) {
        ssize_t n = send(fd, static_cast<const char *>(buf) + done, len - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
bool recv_all(int fd, void *buf, size_t len)
{
    for (size_t done = 0; done < len;) {
        ssize_t n = recv(fd, static_cast<char *>(buf) + done, len - done, 0);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

/* A fake agent on 127.0.0.1: for each of `connections` connections, reads
 * the request, sends the script's byte strings and hangs up. */
struct fake_agent {
    int fd = -1;
    std::string node;
    std::vector<kel_spawn_req_t> requests;
    std::thread server;
    fake_agent(std::vector<std::string> script, int connections = 1)
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        node = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        server = std::thread([this, script, connections] {
            for (int i = 0; i < connections; i++) {
                int c = accept(fd, nullptr, nullptr);
                kel_spawn_req_t req;
                if (c >= 0 && recv_all(c, &req, sizeof req))
                    requests.push_back(req);
                for (const std::string &s : script)
                    send_all(c, s.data(), s.size());
                close(c);
            }
        });
    }
    ~fake_agent() { finish(); }
    void finish()
    {
        if (server.joinable())
            server.join();
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};
const std::string BLOCK = "\n---- fake:r:[PROC 1 node=127.0.0.1]\n";
} // namespace

TEST(AgentClient, EveryWayAnExchangeEndsAgainstAFakeAgent)
{
    const std::string failed = "FAILED: spawn_remote_process()\n" + BLOCK, lost = "FAILED: get_remote_process_result()\n" + BLOCK;
    const std::string einval = "     ERROR: Communication error, 22 - Invalid argument\n";
    const std::string reset = "     ERROR: Communication error, 104 - Connection reset by peer\n";
    std::string wrong_magic = reply(0, ""), long_reason = reply(9, ""), bad_type = result(1, 0, 1, END);
    memcpy(&wrong_magic[0], "\x18\x2C\xAB\xFE", 4);
    memset(&long_reason[17], 'r', 259);
    bad_type[12] = 9;
    const std::string listed = entry("fake:r", "/src/t.c:12:check_it", "x == 1") + END;
    const std::string record = "\n---- SUMMARY OF FAILED TESTS:\n\n---- fake:r:[PROC 1 node=127.0.0.3]\n"
                               "     /src/t.c:12:check_it()\n     condition(x == 1)\n\n";
    std::string not_run = result(0, 0, 0, ""), open_error = result(0, 0, 0, "");
    not_run[16] = 1;
    strcpy(&not_run[28], "slave terminated by signal 11");
    open_error[16] = 7;
    memset(&open_error[28], 'e', sizeof(kel_proc_result_t) - 28);
    /* Hostile failure lists: lengths past the area, no end byte, a mark
     * where a length belongs. Only whole entries print. */
    const std::string whole = entry("p", "f:1:g", ""), a(253, 'a'), b(253, 'b'), c(253, 'c');
    std::string past = whole + entry(a, b, c);
    past.resize(1028, '\xFD');
    const std::string whole_lines = "---- p:[PROC 1 node=127.0.0.3]\n     f:1:g()\n";
    const std::string past_lines = whole_lines + "---- " + a + ":[PROC 1 node=127.0.0.3]\n     " + b +
                                   "()\n     condition(" + c + ")\n";
    const std::string bad = "     <malformed summary from node=127.0.0.3>\n";
    const std::string hostile = remote("fake:r", 1, "127.0.0.1", 1, 1, 3) + "\n---- SUMMARY OF FAILED TESTS:\n\n";
    struct {
        const char *what;
        std::vector<std::string> args, script;
        std::string out;
        int status;
    } const rows[] = {
        {"wrong magic", {"fake"}, {wrong_magic},
         "Received message with wrong magic 0x182cabfe, expected 0xfeab2c18\n" + failed + einval + summary(1, 1, 0), 3},
        {"rejected", {"fake"}, {reply(3, "too many processes: 4 running")},
         failed + "     ERROR: Rejected by agent, too many processes: 4 running\n" + summary(1, 1, 0), 3},
        {"reason without its NUL", {"fake"}, {long_reason},
         failed + "     ERROR: Rejected by agent, " + std::string(259, 'r') + "\n" + summary(1, 1, 0), 3},
        {"closed before the result", {"fake"}, {reply(0, "")}, lost + reset + summary(1, 1, 0), 3},
        {"closed inside the result", {"fake"}, {reply(0, ""), result(1, 0, 1, END).substr(0, 500)},
         lost + reset + summary(1, 1, 0), 3},
        {"unknown result type", {"fake"}, {reply(0, ""), bad_type},
         "Received message with wrong type 9\n" + lost + einval + summary(1, 1, 0), 3},
        {"a result is folded", {"fake"}, {reply(0, ""), result(4, 1, 9, listed)},
         remote("fake:r", 1, "127.0.0.1", 4, 1, 9) + record + summary(4, 1, 9), 3},
        {"quiet: no list", {"-q", "fake"}, {reply(0, ""), result(4, 1, 9, listed)},
         remote("fake:r", 1, "127.0.0.1", 4, 1, 9) + summary(4, 1, 9, true), 3},
        {"passed", {"fake"}, {reply(0, ""), result(2, 0, 6, END)},
         remote("fake:r", 1, "127.0.0.1", 2, 0, 6) + summary(2, 0, 6), 0},
        {"quiet and passed: nothing", {"-q", "fake"}, {reply(0, ""), result(2, 0, 6, END)}, "", 0},
        {"did not run", {"-q", "fake"}, {reply(0, ""), not_run},
         "FAILED: remote status not success\n" + BLOCK + "     ERROR: slave terminated by signal 11\n" +
             summary(1, 1, 0, true), 3},
        {"error text without its NUL", {"fake"}, {reply(0, ""), open_error},
         "FAILED: remote status not success\n" + BLOCK + "     ERROR: " + std::string(1052, 'e') + "\n" +
             summary(1, 1, 0), 3},
        {"summary_len 5000", {"fake"}, {reply(0, ""), result(1, 1, 3, past, 5000)},
         hostile + past_lines + bad + "\n" + summary(1, 1, 3), 3},
        {"summary_len all ones", {"fake"}, {reply(0, ""), result(1, 1, 3, past, 0xFFFFFFFFll)},
         hostile + past_lines + bad + "\n" + summary(1, 1, 3), 3},
        {"no end byte", {"fake"}, {reply(0, ""), result(1, 1, 3, whole)},
         hostile + whole_lines + bad + "\n" + summary(1, 1, 3), 3},
        {"summary_len 0", {"fake"}, {reply(0, ""), result(1, 1, 3, END, 0)}, hostile + bad + "\n" + summary(1, 1, 3), 3},
        {"a mark for a length", {"fake"}, {reply(0, ""), result(1, 1, 3, std::string("\x01" "a\xFE", 3) + '\0')},
         hostile + bad + "\n" + summary(1, 1, 3), 3},
    };
    for (const auto &r : rows) {
        fake_agent fake(r.script);
        run_result got = run_master(r.args, {"AGENT_PROG_NODE=" + fake.node});
        EXPECT_EQ(got.out, r.out) << r.what;
        EXPECT_EQ(got.status, r.status) << r.what;
    }
    /* More failures than test cases: the pass rate stays 0. */
    fake_agent liar({reply(0, ""), result(2, 5, 0, END)});
    EXPECT_NE(run_master({"fake"}, {"AGENT_PROG_NODE=" + liar.node}).out.find("(pass rate=0%)\n"), std::string::npos);
    /* Every iteration of a sequence asks again and says which. */
    fake_agent busy({reply(2, "busy")}, 2);
    run_result r = run_master({"fakeseq"}, {"AGENT_PROG_NODE=" + busy.node});
    EXPECT_EQ(r.out, "FAILED: spawn_remote_process()\n\n---- fakeseq:r:[SEQ 1][PROC 1 node=127.0.0.1]\n"
                     "     ERROR: Rejected by agent, busy\nFAILED: spawn_remote_process()\n"
                     "\n---- fakeseq:r:[SEQ 2][PROC 1 node=127.0.0.1]\n     ERROR: Rejected by agent, busy\n" +
                         summary(2, 2, 0));
    busy.finish();
    ASSERT_EQ(busy.requests.size(), 2u);
    EXPECT_EQ(ntohs(busy.requests[1].seq), 2);
    /* Nothing listens. */
    std::string gone;
    {
        fake_agent none({}, 0);
        gone = none.node;
    }
    EXPECT_EQ(run_master({"fake"}, {"AGENT_PROG_NODE=" + gone}).out,
              failed + "     ERROR: Communication error, 111 - Connection refused\n" + summary(1, 1, 0));
}

TEST(AgentClient, TheRequestCarriesTheRunOrIsNotSent)
{
    fake_agent fake({reply(3, "just looking")}, 2);
    run_result r = run_master({"-D", "color=red", "-s", "-d", "fake"}, {"AGENT_PROG_NODE=" + fake.node});
    run_master({"-q", "fake"}, {"AGENT_PROG_NODE=" + fake.node});
    fake.finish();
    ASSERT_EQ(fake.requests.size(), 2u) << r.out;
    const kel_spawn_req_t &q = fake.requests[0];
    EXPECT_EQ(bytes_of(q.hdr).substr(0, 4), "\xFE\xAB\x2C\x18");
    EXPECT_EQ(q.hdr.node, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(q.hdr.type, KEL_AGENT_MSG_SPAWN_REQ);
    EXPECT_EQ(q.hdr.version, KEL_AGENT_VERSION);
    EXPECT_NE(r.err.find("master pid=" + std::to_string(ntohl(q.hdr.pid)) + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(q.verbosity, 2);
    EXPECT_EQ(ntohs(q.flags), KEL_SPAWN_F_STRICT | KEL_SPAWN_F_NVP);
    EXPECT_EQ(ntohs(q.task), 1);
    EXPECT_EQ(ntohs(q.seq), 0);
    EXPECT_EQ(ntohs(q.node_num), 5);
    EXPECT_EQ(PROG, q.process_name);
    EXPECT_STREQ(q.nvp_list, "color=red");
    EXPECT_STREQ(q.test_case, "fake r");
    EXPECT_EQ(fake.requests[1].verbosity, 0);
    EXPECT_EQ(fake.requests[1].flags, 0);
    EXPECT_STREQ(fake.requests[1].nvp_list, "");
    EXPECT_NE(r.out.find("ERROR: Rejected by agent, just looking\n"), std::string::npos) << r.out;
    /* A path of 304 bytes, node number 70000, a program name of more than
     * 127 bytes and 401 bytes of variables cannot travel. */
    char dir[] = "/tmp/kel_agent_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/" + std::string(120, 'l');
    ASSERT_EQ(symlink(PROG.c_str(), link.c_str()), 0);
    fake_agent never({}, 0);
    r = run_master({"-D", "a=" + std::string(198, 'x'), "-D", "b=" + std::string(198, 'y'), "big"},
                   {"AGENT_PROG_NODE=" + never.node}, link);
    unlink(link.c_str());
    rmdir(dir);
    EXPECT_EQ(r.out, "size of test case name cannot be greater than 255\n"
                     "size of process name cannot be greater than 127\n"
                     "size of name value pairs cannot be greater than 255\n"
                     "node number cannot be greater than 65535\n"
                     "FAILED: Invalid args for agent\n" +
                         summary(1, 1, 0));
    never.finish();
    EXPECT_TRUE(never.requests.empty());
    /* Nodes of test cases; the node number of a run. */
    kel_t *kel = nullptr;
    ASSERT_EQ(kel_create(&kel), 0u);
    kel_tc_t *folder = kel_create_test_folder(kel, nullptr, "f", "folder");
    kel_tc_t *tc = kel_create_test_case(kel, folder, "t", "leaf", [] {}, KEL_TC_BASIC);
    struct {
        kel_tc_t *tc;
        const char *node;
        uint32_t rc;
    } const nodes[] = {{tc, "10.0.0.9", 0},         {tc, "127.0.0.3:80", 0}, {tc, nullptr, 22}, {tc, "10.0.0.x", 22},
                       {tc, "10.0.0.9:65536", 22}, {tc, "10.1.2", 14},      {folder, nullptr, 22}, {nullptr, "10.0.0.9", 22}};
    for (const auto &n : nodes)
        EXPECT_EQ(kel_set_node(n.tc, n.node), n.rc) << (n.node ? n.node : "NULL");
    EXPECT_EQ(kel_set_node_num(tc, 0), 22u);
    EXPECT_EQ(kel_set_node_num(tc, 9), 0u);
    kel_destroy(&kel);
    EXPECT_EQ(kel_get_node_num(), 0xFFFFFFFFu) << "off a test thread";
    r = run_master({"-q", "-node_num", "9", "nodenum", "show"}, {});
    EXPECT_EQ(r.out, "node_num=9\n") << r.err;
}

TEST(Agent, RemoteChildrenOnTwoNodesBesideLocalSlaves)
{
    std::unique_ptr<agent> a, b;
    for (int tries = 0; tries < 5 && (!b || b->node.empty()); tries++) {
        a = std::make_unique<agent>("127.0.0.2", "0", std::vector<std::string>{"-a", PROG_DIR, "-v"});
        ASSERT_FALSE(a->node.empty()) << a->err();
        b = std::make_unique<agent>("127.0.0.3", std::to_string(a->port), std::vector<std::string>{"-a", PROG_DIR});
    }
    ASSERT_FALSE(b->node.empty()) << b->err();
    run_result r = run_master({"mp"}, {"AGENT_PROG_NODE_A=" + a->node, "AGENT_PROG_NODE_B=" + b->node});
    std::string local;
    for (const char *task : {"1", "2"}) {
        const std::string head = std::string("\n---- mp:local:[PROC ") + task + " pid=<PID>]\n";
        local += head + "     PASSED\n" + block(std::string("mp:local:[PROC ") + task + " pid=<PID>", 1, 0, 1);
    }
    const std::string expected = local + remote("mp:ra", 1, "127.0.0.2", 1, 0, 2) +
                                 remote("mp:ra", 2, "127.0.0.2", 1, 1, 1) + remote("mp:rb", 1, "127.0.0.3", 1, 1, 1) +
                                 "\n---- SUMMARY OF FAILED TESTS:\n\n"
                                 "---- mp:ra:[PROC 2 node=127.0.0.2]\n     <SRC>:remote_a()\n     condition(task != 2)\n\n"
                                 "---- mp:rb:[PROC 1 node=127.0.0.3]\n     <SRC>:remote_b()\n     condition(0 > 1)\n\n" +
                                 summary(5, 2, 6);
    EXPECT_EQ(sorted_lines(r.out), sorted_lines(expected)) << r.out;
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(a->finish(SIGTERM), 0);
    EXPECT_EQ(b->finish(SIGTERM), 0);
    /* The remote slaves printed on their own agent's output. */
    EXPECT_NE(a->out().find("---- mp:ra:[PROC 2 pid="), std::string::npos) << a->out();
    EXPECT_NE(b->out().find("---- mp:rb:[PROC 1 pid="), std::string::npos) << b->out();
    EXPECT_EQ(b->out().find("mp:ra"), std::string::npos);
}

TEST(Agent, RefusalsJobLimitCrashesAndHostileBytes)
{
    /* -j 1: one task waits at a gate (a fifo this test holds open), the
     * other one is turned away. */
    agent ag("127.0.0.2", "0", {"-a", PROG_DIR, "-j", "1", "-v", "-t", "1"});
    ASSERT_FALSE(ag.node.empty()) << ag.err();
    char dir[] = "/tmp/kel_agent_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string gate = std::string(dir) + "/gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    int hold = open(gate.c_str(), O_RDWR | O_CLOEXEC);
    run_result r;
    std::thread master([&] { r = run_master({"-D", "gate=" + gate, "jf"}, {"AGENT_PROG_NODE_A=" + ag.node}); });
    bool rejected = ag.wait_for("rejected: too many processes: 1 running, at most 1 (-j)\n") != std::string::npos;
    close(hold);
    master.join();
    ASSERT_TRUE(rejected) << ag.err();
    const int refused = r.out.find("[PROC 1 node=127.0.0.2]\n     ERROR") != std::string::npos ? 1 : 2;
    EXPECT_EQ(sorted_lines(r.out),
              sorted_lines("FAILED: spawn_remote_process()\n\n---- jf:block:[PROC " + std::to_string(refused) +
                           " node=127.0.0.2]\n     ERROR: Rejected by agent, too many processes: 1 running, at most 1 "
                           "(-j)\n" +
                           remote("jf:block", 3 - refused, "127.0.0.2", 1, 0, 3) + summary(2, 1, 3)))
        << r.out;
    /* A crashing remote slave fails its test case. */
    r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + ag.node});
    EXPECT_EQ(r.out, "FAILED: remote status not success\n\n---- crash:segv:[PROC 1 node=127.0.0.2]\n"
                     "     ERROR: slave terminated by signal 11\n" +
                         summary(1, 1, 0));
    /* Hostile request bytes get a reason, never a crash. */
    const kel_spawn_req_t ok = request("mp ra", "");
    struct {
        size_t at;
        std::string bytes;
        std::string reason;
    } const rows[] = {
        {0, std::string(4, 'Z'), "malformed request: wrong magic 0x5a5a5a5a, expected 0xfeab2c18"},
        {13, "\x02", "malformed request: version 2, expected 1"},
        {12, "\x03", "malformed request: message type 3, expected 1 (spawn request)"},
        {16, "\x03", "malformed request: verbosity 3, expected 0, 1 or 2"},
        {18, "\x80", "malformed request: unknown flags 0x8000"},
        {20, std::string(2, '\0'), "malformed request: task 0 (tasks are numbered from 1)"},
        {28, std::string(128, 'x'), "malformed request: the process name is not terminated within its field"},
        {28, std::string(1, '\0'), "malformed request: the process name is empty"},
        {156, std::string(256, 'x'), "malformed request: the name=value list is not terminated within its field"},
        {156, std::string("a=1", 4), "malformed request: a name=value list without its flag"},
        {412, std::string(256, 'x'), "malformed request: the test case is not terminated within its field"},
        {412, std::string(256, '\0'), "malformed request: the test case is empty"},
        {412, std::string("a  b", 5), "malformed request: the test case has an empty name (blanks at its ends or doubled)"},
        {412, std::string("a ", 3), "malformed request: the test case has an empty name (blanks at its ends or doubled)"},
        {412, std::string("f -x", 5), "malformed request: the test case name \"-x\" begins with '-'"},
        {28, std::string("/bin/sh", 8), "program not allowed: " + real("/bin/sh") + " is not under an allowed folder"},
        {28, PROG_DIR + "/CMakeFiles" + '\0',
         "program not allowed: " + real(PROG_DIR) + "/CMakeFiles is not an executable regular file"},
    };
    for (const auto &row : rows) {
        kel_spawn_req_t req = ok;
        memcpy(reinterpret_cast<char *>(&req) + row.at, row.bytes.data(), row.bytes.size());
        int fd = connect_to("127.0.0.2", ag.port);
        kel_spawn_rsp_t rsp = {};
        EXPECT_TRUE(send_all(fd, &req, sizeof req) && recv_all(fd, &rsp, sizeof rsp));
        close(fd);
        EXPECT_EQ(rsp.status, 1);
        EXPECT_EQ(std::string(rsp.reason), row.reason);
        EXPECT_EQ(kel_check_agent_msg(&rsp), 0u);
    }
    /* A client that stalls past -t, and one that hangs up half-way. */
    int fd = connect_to("127.0.0.2", ag.port);
    ASSERT_TRUE(send_all(fd, &ok, sizeof ok / 2));
    char c;
    EXPECT_FALSE(recv_all(fd, &c, 1)) << "dropped without a reply";
    close(fd);
    EXPECT_NE(ag.wait_for(": dropped: request not received in time\n"), std::string::npos) << ag.err();
    fd = connect_to("127.0.0.2", ag.port);
    ASSERT_TRUE(send_all(fd, &ok, 100));
    close(fd);
    EXPECT_NE(ag.wait_for(": dropped: incomplete request\n"), std::string::npos) << ag.err();
    /* A client that hangs up while its slave runs gets it killed. */
    kel_spawn_req_t hold_req = request("hold wait", "gate=" + gate);
    hold = open(gate.c_str(), O_RDWR | O_CLOEXEC);
    const size_t mark = ag.err().size();
    fd = connect_to("127.0.0.2", ag.port);
    kel_spawn_rsp_t rsp = {};
    ASSERT_TRUE(send_all(fd, &hold_req, sizeof hold_req) && recv_all(fd, &rsp, sizeof rsp));
    EXPECT_EQ(rsp.status, 0) << rsp.reason;
    size_t at = ag.wait_for(" started\n", 2, mark);
    ASSERT_NE(at, std::string::npos) << ag.err();
    const std::string err = ag.err(), slave = err.substr(err.rfind(' ', at - 1) + 1, at - err.rfind(' ', at - 1) - 1);
    close(fd);
    EXPECT_NE(ag.wait_for("client gone: slave " + slave + " killed\n"), std::string::npos) << ag.err();
    EXPECT_NE(kill(std::stoi(slave), 0), 0) << "the slave is gone";
    close(hold);
    unlink(gate.c_str());
    rmdir(dir);
    EXPECT_EQ(ag.finish(SIGTERM), 0);
}

TEST(Agent, NotAllowedProgramsSigtermAndTheCommandLine)
{
    char dir[] = "/tmp/kel_agent_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    {
        agent elsewhere("127.0.0.2", "0", {"-a", dir});
        run_result r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + elsewhere.node});
        EXPECT_EQ(r.out, "FAILED: spawn_remote_process()\n\n---- crash:segv:[PROC 1 node=127.0.0.2]\n"
                         "     ERROR: Rejected by agent, program not allowed: " +
                             real(PROG) + " is not under an allowed folder\n" + summary(1, 1, 0));
        EXPECT_EQ(elsewhere.finish(SIGINT), 0);
        agent closed("127.0.0.3", "0", {});
        EXPECT_NE(closed.wait_for("kel-agent: no -a folder given: every request will be rejected\n"), std::string::npos);
        r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + closed.node});
        EXPECT_NE(r.out.find("     ERROR: Rejected by agent, program not allowed: " + PROG +
                             " (the agent allows no folder: start it with -a)\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(closed.finish(SIGTERM), 0);
        EXPECT_EQ(closed.out(), "kel-agent: listening on " + closed.node + "\n") << "one line on standard output";
    }
    /* SIGTERM with a slave running and a connection that sent nothing: the
     * agent kills the slave, leaves no segment and exits 0; the master
     * learns why. */
    agent ag("127.0.0.2", "0", {"-a", PROG_DIR, "-v"});
    const std::string gate = std::string(dir) + "/gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    int hold = open(gate.c_str(), O_RDWR | O_CLOEXEC);
    run_result r;
    std::thread master([&] { r = run_master({"-D", "gate=" + gate, "hold"}, {"AGENT_PROG_NODE_A=" + ag.node}); });
    size_t at = ag.wait_for(" started\n");
    ASSERT_NE(at, std::string::npos) << ag.err();
    const std::string err = ag.err(), slave = err.substr(err.rfind(' ', at - 1) + 1, at - err.rfind(' ', at - 1) - 1);
    int idle = connect_to("127.0.0.2", ag.port);
    EXPECT_EQ(ag.finish(SIGTERM), 0);
    master.join();
    close(idle);
    close(hold);
    unlink(gate.c_str());
    rmdir(dir);
    EXPECT_NE(kill(std::stoi(slave), 0), 0) << "the slave is gone";
    EXPECT_EQ(system(("ls /dev/shm | grep -q '^kel_agent\\." + std::to_string(ag.pid) + "\\.'").c_str()), 256)
        << "a result segment is left";
    EXPECT_EQ(r.out, "FAILED: remote status not success\n\n---- hold:wait:[PROC 1 node=127.0.0.2]\n"
                     "     ERROR: slave killed: the agent is stopping\n" +
                         summary(1, 1, 0));
    /* Bad command lines: a reason, the usage, exit 2; a port in use: exit 1. */
    agent first("127.0.0.2", "0", {});
    struct {
        std::vector<std::string> args;
        std::string first_line;
        int status;
    } const rows[] = {
        {{"-x"}, "kel-agent: -x: unknown option\n", 2},
        {{"-p"}, "kel-agent: -p: needs a value\n", 2},
        {{"-p", "65536"}, "kel-agent: -p: not a port number (0..65535)\n", 2},
        {{"-p", "-1"}, "kel-agent: -p: not a port number (0..65535)\n", 2},
        {{"-l", "localhost"}, "kel-agent: -l: not an IPv4 address\n", 2},
        {{"-j", "0"}, "kel-agent: -j: not a number of processes (1..4096)\n", 2},
        {{"-t", "0"}, "kel-agent: -t: not a number of seconds (1..3600)\n", 2},
        {{"-a", "/nonexistent/folder"}, "kel-agent: -a /nonexistent/folder: No such file or directory\n", 2},
        {{"-a", KEL_AGENT_PATH}, std::string("kel-agent: -a ") + KEL_AGENT_PATH + ": not a folder\n", 2},
        {{"extra"}, "kel-agent: extra: unexpected argument\n", 2},
        {{"-l", "127.0.0.2", "-p", std::to_string(first.port)},
         "kel-agent: cannot listen on " + first.node + ": Address already in use\n", 1},
    };
    for (const auto &row : rows) {
        std::vector<std::string> argv{KEL_AGENT_PATH};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        proc p(argv);
        EXPECT_EQ(p.finish(), row.status << 8) << row.first_line;
        EXPECT_EQ(p.err().substr(0, row.first_line.size()), row.first_line);
        EXPECT_EQ(p.err().find("usage: kel-agent [-l ADDRESS] [-p PORT] [-a DIR]... [-j N]") != std::string::npos,
                  row.status == 2)
            << p.err();
        EXPECT_EQ(p.out(), "");
    }
    EXPECT_EQ(first.finish(SIGINT), 0);
}

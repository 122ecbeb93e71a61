/*
 * agent_test.cpp - remote execution over loopback through public paths: the
 * master agent_prog against scripted fake agents (every way an exchange ends,
 * hostile results) and real kel-agent daemons on 127.0.0.2 and 127.0.0.3
 * (two nodes, -j, -a, crashes, hostile bytes, vanished clients, SIGTERM, the
 * command line); whole outputs compared; waits on pipes, never sleeps. And
 * the four messages' packing itself (agent_msg.h, linked from the library's
 * objects): round trips, the bytes on the wire, hostile images read back.
 */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fstream>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>
#include "agent_msg.h"
#include "kel.h"

extern char **environ;
namespace {
constexpr auto LIMIT = std::chrono::seconds(30);
const std::string PROG = AGENT_PROG_PATH, PROG_DIR = PROG.substr(0, PROG.rfind('/'));
/* Sanitizers leave crash signals alone in every child, so a crashing slave
 * ends with its signal in every build. Set before any thread starts. */
const bool crash_signals_through = [] {
    for (const char *var : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char *old = getenv(var);
        setenv(var, ((old ? std::string(old) + ":" : "") + "handle_segv=0:handle_sigbus=0:handle_sigill=0").c_str(), 1);
    }
    return true;
}();
/* What a test leaves behind fails it: every process it starts inherits
 * MARK and is noted in started; when the program ends (one test per run
 * under ctest) no marked process may live, nor any segment of a noted pid
 * (a master's kel_res.<pid>.*, an agent's kel_agent.<pid>.*) in /dev/shm. */
const std::string MARK = "AGENT_TEST_RUN=" + std::to_string(getpid()) + "." +
                         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
std::vector<pid_t> started;
std::string leftovers()
{
    std::string found, self = std::to_string(getpid());
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(e.path() / "environ");
        for (std::string var; std::getline(in, var, '\0');)
            found += var == MARK && e.path().filename() != self ? "process " + e.path().filename().string() + "; " : "";
    }
    for (const auto &e : std::filesystem::directory_iterator("/dev/shm"))
        for (pid_t p : started)
            for (const char *kind : {"kel_res.", "kel_agent."})
                if (e.path().filename().string().starts_with(kind + std::to_string(p) + "."))
                    found += e.path().filename().string() + "; ";
    return found;
}
struct no_leftovers : testing::Environment {
    void SetUp() override { putenv(const_cast<char *>(MARK.c_str())); }
    void TearDown() override
    {
        /* A process killed with its parent may need a moment to go. */
        for (int i = 0; i < 40 && !leftovers().empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(leftovers(), "") << "left behind by the test";
    }
};
testing::Environment *const checked = testing::AddGlobalTestEnvironment(new no_leftovers);
/* A child process whose standard output and error (streams 0, 1) are
 * collected by two threads; ends are seen as the pipes' ends. */
struct proc {
    pid_t pid = -1;
    int status = -1, eofs = 0;
    std::mutex m;
    std::condition_variable cv;
    std::string text[2];
    std::thread readers[2];
    proc(std::vector<std::string> argv, std::vector<std::string> env = {})
    {
        std::vector<char *> av, ev;
        for (std::string &a : argv)
            av.push_back(a.data());
        for (std::string &e : env)
            ev.push_back(e.data());
        for (char **e = environ; *e; e++)
            ev.push_back(*e);
        av.push_back(nullptr);
        ev.push_back(nullptr);
        int p[2][2];
        if (pipe2(p[0], O_CLOEXEC) != 0 || pipe2(p[1], O_CLOEXEC) != 0)
            return;
        int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        fflush(nullptr);
        if ((pid = fork()) == 0) {
            dup2(null, 0);
            dup2(p[0][1], 1);
            dup2(p[1][1], 2);
            execve(av[0], av.data(), ev.data());
            _exit(127);
        }
        close(null);
        started.push_back(pid);
        for (int i = 0; i < 2; i++) {
            close(p[i][1]);
            readers[i] = std::thread([this, i, fd = p[i][0]] {
                char buf[4096];
                for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                    std::lock_guard<std::mutex> l(m);
                    text[i].append(buf, static_cast<size_t>(n));
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
    /* Where needle shows in the stream after from; npos after the limit. */
    size_t wait_for(const std::string &needle, int stream = 1, size_t from = 0)
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, LIMIT, [&] { return text[stream].find(needle, from) != std::string::npos || eofs == 2; });
        return text[stream].find(needle, from);
    }
    /* Sends sig (if any) and waits for the end: the exit code, or 128 plus
     * the signal. */
    int finish(int sig = 0)
    {
        if (pid > 0 && status == -1) {
            if (sig)
                kill(pid, sig);
            std::unique_lock<std::mutex> l(m);
            if (!cv.wait_for(l, LIMIT, [&] { return eofs == 2; })) {
                ADD_FAILURE() << "process " << pid << " did not end in time";
                kill(pid, SIGKILL);
            }
            l.unlock();
            for (std::thread &t : readers)
                t.join();
            waitpid(pid, &status, 0);
            status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status;
    }
    std::string get(int stream)
    {
        std::lock_guard<std::mutex> l(m);
        return text[stream];
    }
};
/* A kel-agent on address, once it is listening; started by bash -c wrap
 * ($0 the agent) when wrap is given. */
struct agent : proc {
    unsigned port = 0;
    std::string node;
    agent(const std::string &address, const std::string &port_text, const std::vector<std::string> &args,
          const std::vector<std::string> &env = {}, const std::string &wrap = "")
        : proc(
              [&] {
                  std::vector<std::string> v{KEL_AGENT_PATH, "-l", address, "-p", port_text};
                  if (!wrap.empty())
                      v.insert(v.begin(), {"/bin/bash", "-c", wrap});
                  v.insert(v.end(), args.begin(), args.end());
                  return v;
              }(),
              env)
    {
        if (wait_for("\n", 0) != std::string::npos &&
            sscanf(get(0).c_str(), "kel-agent: listening on %*[0-9.]:%u", &port) == 1)
            node = address + ":" + std::to_string(port);
    }
    /* The pid of the next slave started after offset from of its log. */
    std::string slave_started(size_t from = 0)
    {
        size_t at = wait_for(" started\n", 1, from);
        std::string err = get(1);
        return at == std::string::npos ? "0" : err.substr(err.rfind(' ', at - 1) + 1, at - err.rfind(' ', at - 1) - 1);
    }
};
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
    std::string out = p.get(0);
    for (auto [re, to] : {std::pair{"Elapsed time = [0-9]+ ms", "Elapsed time = <T> ms"}, {"pid=[0-9]+", "pid=<PID>"},
                          {"/[^ :]*/tests/agent/agent_prog\\.c:[0-9]+:", "<SRC>:"}})
        out = std::regex_replace(out, std::regex(re), to);
    return {out, p.get(1), status};
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
std::string counts(int e, int f, int c, const char *indent)
{
    char text[200];
    snprintf(text, sizeof text, "%sSUMMARY: %s\nTest case(s) executed:%5d\nTest case(s) failed:  %5d\n"
             "Total checkpoints(s): %5d\n", indent,
             f ? ("FAILED (pass rate=" + std::to_string((e - f) * 100 / e) + "%)").c_str() : "PASSED", e, f, c);
    return text;
}
std::string summary(int e, int f, int c, bool quiet = false)
{
    return counts(e, f, c, "\n\n") + (quiet ? "" : "\nElapsed time = <T> ms\n\n");
}
/* The block a master prints for a slave; who is "node=..." or "pid=...". */
std::string block(const std::string &path, int task, const std::string &who, int e, int f, int c)
{
    return "\n---- " + path + ":[PROC " + std::to_string(task) + " " + who + "]\n" + counts(e, f, c, "     ") +
           "Elapsed time = <T> ms\n";
}
std::string real(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : path;
}
std::string temp_dir()
{
    char dir[] = "/tmp/kel_agent_test.XXXXXX";
    return mkdtemp(dir) ? dir : "";
}
/* A fifo in a fresh folder, held open for writing: slaves reading it wait
 * until release(). */
struct gate {
    std::string dir = temp_dir(), path = dir + "/gate";
    int fd = mkfifo(path.c_str(), 0600) == 0 ? open(path.c_str(), O_RDWR | O_CLOEXEC) : -1;
    void release() { close(std::exchange(fd, -1)); } /* close(-1) is harmless */
    ~gate() { release(), unlink(path.c_str()), rmdir(dir.c_str()); }
};
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
std::string result(uint32_t e, uint32_t f, uint32_t c, const std::string &list, long long list_len = -1)
{
    kel_proc_result_t r = {};
    header(&r.hdr, KEL_AGENT_MSG_PROC_RESULT, "127.0.0.3");
    r.executed = htonl(e);
    r.failed = htonl(f);
    r.checkpoints = htonl(c);
    r.elapsed_ms = htobe64(1234);
    r.summary_len = htonl(static_cast<uint32_t>(list_len < 0 ? static_cast<long long>(list.size()) : list_len));
    memcpy(r.summary, list.data(), std::min(list.size(), sizeof r.summary));
    return bytes_of(r);
}
/* One packed failure record: path, location, condition. */
std::string entry(const std::string &path, const std::string &location, const std::string &cond)
{
    return static_cast<char>(path.size()) + path + static_cast<char>(location.size()) + location +
           static_cast<char>(cond.size()) + cond;
}
const std::string END = "\xFE";
kel_spawn_req_t request(const std::string &test_case, const std::string &vars, const char *node = "127.0.0.2")
{
    kel_spawn_req_t r = {};
    header(&r.hdr, KEL_AGENT_MSG_SPAWN_REQ, node);
    r.verbosity = 1;
    r.flags = htons(vars.empty() ? 0 : KEL_SPAWN_F_NVP);
    r.task = htons(1);
    snprintf(r.process_name, sizeof r.process_name, "%s", PROG.c_str());
    snprintf(r.nvp_list, sizeof r.nvp_list, "%s", vars.c_str());
    snprintf(r.test_case, sizeof r.test_case, "%s", test_case.c_str());
    return r;
}
/* A connection through the node transport to 127.0.0.2 (or another). */
kel_od_handle_t connect_to(unsigned port, uint32_t address = 0x7F000002)
{
    kel_od_handle_t h = -1;
    EXPECT_EQ(kel_od_connect_to_node(htonl(address), htonl(port), &h), 0u);
    return h;
}
/* A socket on 127.0.0.1 and a free port, listening unless told not to. */
int listener(unsigned *port, bool listening = true)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    if (listening)
        listen(fd, 4);
    return fd;
}
/* A fake agent on 127.0.0.1: for each of `connections` connections, reads
 * the request, sends the script's byte strings (those of `later` after the
 * first connection, when given) and hangs up. */
struct fake_agent {
    unsigned port = 0;
    int fd = listener(&port);
    std::string node = "127.0.0.1:" + std::to_string(port);
    std::vector<kel_spawn_req_t> requests;
    std::thread server;
    explicit fake_agent(std::vector<std::string> script, int connections = 1, std::vector<std::string> later = {})
    {
        server = std::thread([this, script, connections, later] {
            for (int i = 0; i < connections; i++) {
                kel_od_handle_t c = accept(fd, nullptr, nullptr);
                kel_spawn_req_t req;
                if (kel_od_receive_msg(&c, &req, sizeof req) == 0)
                    requests.push_back(req);
                for (const std::string &s : i > 0 && !later.empty() ? later : script)
                    if (c >= 0)
                        kel_od_send_msg(&c, s.data(), s.size());
                if (c >= 0)
                    close(c);
            }
        });
    }
    ~fake_agent() { finish(); }
    void finish()
    {
        if (server.joinable())
            server.join(), close(fd);
    }
};
const std::string BLOCK = "\n---- fake:r:[PROC 1 node=127.0.0.1]\n";
} // namespace

TEST(AgentClient, EveryWayAnExchangeEndsAgainstAFakeAgent)
{
    const std::string failed = "FAILED: spawn_remote_process()\n" + BLOCK,
                      lost = "FAILED: get_remote_process_result()\n" + BLOCK,
                      not_ok = "FAILED: remote status not success\n" + BLOCK,
                      einval = "     ERROR: Communication error, 22 - Invalid argument\n",
                      reset = "     ERROR: Communication error, 104 - Connection reset by peer\n";
    std::string wrong_magic = reply(0, ""), long_reason = reply(9, ""), bad_type = result(1, 0, 1, END);
    memcpy(&wrong_magic[0], "\x18\x2C\xAB\xFE", 4);
    memset(&long_reason[17], 'r', 259);
    bad_type[12] = 9;
    std::string not_run = result(0, 0, 0, ""), open_error = not_run;
    not_run[16] = 1;
    strcpy(&not_run[28], "slave terminated by signal 11");
    open_error[16] = 7;
    memset(&open_error[28], 'e', sizeof(kel_proc_result_t) - 28);
    const std::string listed = entry("fake:r", "/src/t.c:12:check_it", "x == 1") + END,
                      record = "\n---- SUMMARY OF FAILED TESTS:\n\n---- fake:r:[PROC 1 node=127.0.0.3]\n"
                               "     /src/t.c:12:check_it()\n     condition(x == 1)\n\n";
    /* Hostile failure lists: lengths past the area, no end byte, a mark
     * where a length belongs. Whole entries print, then a notice. */
    const std::string whole = entry("p", "f:1:g", ""), a(253, 'a'), b(253, 'b'), c(253, 'c');
    std::string past = whole + entry(a, b, c);
    past.resize(1028, '\xFD');
    const std::string whole_lines = "---- p:[PROC 1 node=127.0.0.3]\n     f:1:g()\n",
                      past_lines = whole_lines + "---- " + a + ":[PROC 1 node=127.0.0.3]\n     " + b +
                                   "()\n     condition(" + c + ")\n",
                      bad = "     <malformed summary from node=127.0.0.3>\n\n" + summary(1, 1, 3),
                      hostile = block("fake:r", 1, "node=127.0.0.1", 1, 1, 3) + "\n---- SUMMARY OF FAILED TESTS:\n\n";
    const std::string ok = reply(0, ""), fr = "fake:r", sum100 = summary(1, 1, 0);
    struct {
        bool quiet;
        std::vector<std::string> script;
        std::string out; /* the exit code follows: 3 when it says FAILED */
    } const rows[] = {
        {false, {wrong_magic},
         "Received message with wrong magic 0x182cabfe, expected 0xfeab2c18\n" + failed + einval + summary(1, 1, 0)},
        {false, {reply(3, "too many processes: 4 running")},
         failed + "     ERROR: Rejected by agent, too many processes: 4 running\n" + summary(1, 1, 0)},
        {false, {long_reason}, failed + "     ERROR: Rejected by agent, " + std::string(259, 'r') + "\n" + sum100},
        {false, {ok, result(1, 0, 1, END).substr(0, 500)}, lost + reset + summary(1, 1, 0)},
        {false, {ok, bad_type}, "Received message with wrong type 9\n" + lost + einval + summary(1, 1, 0)},
        {false, {ok, result(4, 1, 9, listed)}, block(fr, 1, "node=127.0.0.1", 4, 1, 9) + record + summary(4, 1, 9)},
        {true, {ok, result(4, 1, 9, listed)}, block("fake:r", 1, "node=127.0.0.1", 4, 1, 9) + summary(4, 1, 9, true)},
        {false, {ok, result(2, 0, 6, END)}, block("fake:r", 1, "node=127.0.0.1", 2, 0, 6) + summary(2, 0, 6)},
        {true, {ok, result(2, 0, 6, END)}, ""},
        {true, {ok, not_run}, not_ok + "     ERROR: slave terminated by signal 11\n" + summary(1, 1, 0, true)},
        {false, {ok, open_error}, not_ok + "     ERROR: " + std::string(1052, 'e') + "\n" + summary(1, 1, 0)},
        {false, {ok, result(1, 1, 3, past, 5000)}, hostile + past_lines + bad},
        {false, {ok, result(1, 1, 3, whole)}, hostile + whole_lines + bad},
        {false, {ok, result(1, 1, 3, END, 0)}, hostile + bad},
        {false, {ok, result(1, 1, 3, "\x01" "a\xFE", 1028)}, hostile + bad}, /* a mark for a length */
    };
    for (const auto &r : rows) {
        fake_agent fake(r.script);
        run_result got = run_master(r.quiet ? std::vector<std::string>{"-q", "fake"} : std::vector<std::string>{"fake"},
                                    {"AGENT_PROG_NODE=" + fake.node});
        EXPECT_EQ(got.out, r.out);
        EXPECT_EQ(got.status, r.out.find("FAILED") == std::string::npos ? 0 : 3) << r.out;
    }
    fake_agent busy({reply(2, "busy")}, 2);
    EXPECT_EQ(run_master({"fakeseq"}, {"AGENT_PROG_NODE=" + busy.node}).out,
              "FAILED: spawn_remote_process()\n\n---- fakeseq:r:[SEQ 1][PROC 1 node=127.0.0.1]\n"
              "     ERROR: Rejected by agent, busy\nFAILED: spawn_remote_process()\n"
              "\n---- fakeseq:r:[SEQ 2][PROC 1 node=127.0.0.1]\n     ERROR: Rejected by agent, busy\n" +
                  summary(2, 2, 0));
    busy.finish();
    ASSERT_EQ(busy.requests.size(), 2u);
    EXPECT_EQ(ntohs(busy.requests[1].seq), 2);
    /* Counts that no run can have are one failed test case, whatever they
     * would do to the totals: here cancel the first sequence's failure. */
    fake_agent liar({ok, result(4, 1, 9, listed)}, 2, {ok, result(1, 0xFFFFFFFFu, 0, END)});
    auto seq = [](int n, int ex, int fl, int cp) { /* a sequence's block: no colon before [PROC */
        std::string text = block("fakeseq:r:[SEQ " + std::to_string(n) + "]", 1, "node=127.0.0.1", ex, fl, cp);
        return text.erase(text.find("]:[") + 1, 1);
    };
    run_result lie = run_master({"fakeseq"}, {"AGENT_PROG_NODE=" + liar.node});
    EXPECT_EQ(lie.status, 3);
    EXPECT_EQ(lie.out,
              seq(1, 4, 1, 9) + seq(2, 1, 1, 0) +
                  "\n---- SUMMARY OF FAILED TESTS:\n\n---- fake:r:[PROC 1 node=127.0.0.3]\n"
                  "     /src/t.c:12:check_it()\n     condition(x == 1)\n\n"
                  "     <malformed result from node=127.0.0.3>\n\n" + summary(5, 2, 9));
    std::string gone = fake_agent({}, 0).node; /* nothing listens there any more */
    EXPECT_EQ(run_master({"fake"}, {"AGENT_PROG_NODE=" + gone}).out,
              failed + "     ERROR: Communication error, 111 - Connection refused\n" + summary(1, 1, 0));
}

TEST(AgentClient, TheRequestCarriesTheRun)
{
    fake_agent fake({reply(3, "just looking")}, 2);
    run_result r = run_master({"-D", "color=red", "-s", "-d", "fake"}, {"AGENT_PROG_NODE=" + fake.node});
    run_master({"-q", "fake"}, {"AGENT_PROG_NODE=" + fake.node});
    fake.finish();
    ASSERT_EQ(fake.requests.size(), 2u) << r.out;
    /* Every byte of both requests, the sender's pid aside. */
    kel_spawn_req_t want[2] = {request("fake r", "color=red", "127.0.0.1"), request("fake r", "", "127.0.0.1")};
    EXPECT_NE(r.err.find("master pid=" + std::to_string(ntohl(fake.requests[0].hdr.pid)) + "\n"), std::string::npos);
    want[0].verbosity = 2, want[1].verbosity = 0;
    want[0].flags = htons(KEL_SPAWN_F_STRICT | KEL_SPAWN_F_NVP);
    for (int i = 0; i < 2; i++) {
        want[i].hdr.pid = fake.requests[i].hdr.pid, want[i].node_num = htons(5);
        EXPECT_EQ(bytes_of(fake.requests[i]), bytes_of(want[i]));
    }
    EXPECT_NE(r.out.find("ERROR: Rejected by agent, just looking\n"), std::string::npos) << r.out;
    EXPECT_EQ(kel_get_node_num(), 0xFFFFFFFFu) << "off a test thread";
}

TEST(Agent, RemoteChildrenOnTwoNodesBesideLocalSlaves)
{
    auto a = std::make_unique<agent>("127.0.0.2", "0", std::vector<std::string>{"-a", PROG_DIR}); /* one port */
    auto b = std::make_unique<agent>("127.0.0.3", std::to_string(a->port), std::vector<std::string>{"-a", PROG_DIR});
    ASSERT_FALSE(b->node.empty()) << a->get(1) << b->get(1);
    run_result r = run_master({"mp"}, {"AGENT_PROG_NODE_A=" + a->node, "AGENT_PROG_NODE_B=" + b->node});
    std::string expected = block("mp:ra", 1, "node=127.0.0.2", 1, 0, 2) + block("mp:ra", 2, "node=127.0.0.2", 1, 1, 1) +
                           block("mp:rb", 1, "node=127.0.0.3", 1, 1, 1) +
                           "\n---- SUMMARY OF FAILED TESTS:\n\n"
                           "---- mp:ra:[PROC 2 node=127.0.0.2]\n     <SRC>:remote_a()\n     condition(task != 2)\n\n"
                           "---- mp:rb:[PROC 1 node=127.0.0.3]\n     <SRC>:remote_b()\n     condition(0 > 1)\n\n" +
                           summary(5, 2, 6);
    for (const char *task : {"1", "2"}) /* local slaves print their own lines */
        expected += std::string("\n---- mp:local:[PROC ") + task + " pid=<PID>]\n     PASSED\n" +
                    block("mp:local", task[0] - '0', "pid=<PID>", 1, 0, 1);
    EXPECT_EQ(sorted_lines(r.out), sorted_lines(expected)) << r.out;
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(a->finish(SIGTERM), 0);
    EXPECT_EQ(b->finish(SIGTERM), 0);
    EXPECT_NE(a->get(0).find("---- mp:ra:[PROC 2 pid="), std::string::npos) << "the slave prints: " << a->get(0);
    EXPECT_EQ(b->get(0).find("mp:ra"), std::string::npos);
}

/* Past its time limit a remote child's connection is closed: the master
 * reports it timed out, and the agent kills the slave of the connection. */
TEST(Agent, ARemoteChildPastItsLimitIsCutOffAndItsSlaveKilled)
{
    agent ag("127.0.0.2", "0", {"-a", PROG_DIR, "-v"});
    ASSERT_FALSE(ag.node.empty()) << ag.get(1);
    gate g; /* never released */
    run_result r = run_master({"-D", "gate=" + g.path, "hold"}, {"AGENT_PROG_NODE_A=" + ag.node, "KEL_TIMEOUT_MS=300"});
    EXPECT_EQ(r.out, "     ##### Process on node=127.0.0.2 timed out after 300 ms\nFAILED\n" + summary(1, 1, 0));
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(ag.wait_for("client gone: slave " + ag.slave_started() + " killed\n", 1), std::string::npos) << ag.get(1);
}

TEST(Agent, JobLimitCrashesHostileBytesAndVanishingClients)
{
    agent ag("127.0.0.2", "0", {"-a", PROG_DIR, "-j", "1", "-v", "-t", "1"});
    ASSERT_FALSE(ag.node.empty()) << ag.get(1);
    /* -j 1: one task waits at the gate, the other one is turned away. */
    gate g;
    run_result r;
    std::thread master([&] { r = run_master({"-D", "gate=" + g.path, "jf"}, {"AGENT_PROG_NODE_A=" + ag.node}); });
    size_t rejected = ag.wait_for("rejected: too many processes: 1 running, at most 1 (-j)\n");
    g.release();
    master.join();
    ASSERT_NE(rejected, std::string::npos) << ag.get(1);
    const int refused = r.out.find("[PROC 1 node=127.0.0.2]\n     ERROR") != std::string::npos ? 1 : 2;
    EXPECT_EQ(sorted_lines(r.out), sorted_lines("FAILED: spawn_remote_process()\n\n---- jf:block:[PROC " +
                                                std::to_string(refused) +
                                                " node=127.0.0.2]\n     ERROR: Rejected by agent, too many "
                                                "processes: 1 running, at most 1 (-j)\n" +
                                                block("jf:block", 3 - refused, "node=127.0.0.2", 1, 0, 3) +
                                                summary(2, 1, 3)));
    r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + ag.node});
    EXPECT_EQ(r.out, "FAILED: remote status not success\n\n---- crash:segv:[PROC 1 node=127.0.0.2]\n"
                     "     ERROR: slave terminated by signal 11\n" +
                         summary(1, 1, 0));
    /* Hostile request bytes get a reason, never a crash. */
    const kel_spawn_req_t ok = request("mp ra", "");
    /* A folder whose name only begins like the allowed one's. */
    const std::string sibling = PROG_DIR + "2", stranger = sibling + "/prog";
    ASSERT_TRUE(mkdir(sibling.c_str(), 0755) == 0 || errno == EEXIST);
    close(open(stranger.c_str(), O_CREAT | O_WRONLY, 0755));
    const std::string link_out = PROG_DIR + "/link-out";
    ASSERT_TRUE(symlink("/bin/sh", link_out.c_str()) == 0 || errno == EEXIST);
    const std::string malformed = "malformed request: ", empty_name = "the test case has an empty name (blanks at "
                                                                      "its ends or doubled)";
    struct {
        size_t at;
        std::string bytes, reason;
    } const rows[] = {
        {0, "ZZZZ", malformed + "wrong magic 0x5a5a5a5a, expected 0xfeab2c18"},
        {12, "\x03", malformed + "message type 3, expected 1 (spawn request)"},
        {16, "\x03", malformed + "verbosity 3, expected 0, 1 or 2"},
        {18, "\x80", malformed + "unknown flags 0x8000"},
        {20, std::string(2, '\0'), malformed + "task 0 (tasks are numbered from 1)"},
        {28, std::string(128, 'x'), malformed + "the process name is not terminated within its field"},
        {28, std::string(1, '\0'), malformed + "the process name is empty"},
        {156, std::string("a=1", 4), malformed + "a name=value list without its flag"},
        {412, std::string("a  b", 5), malformed + empty_name},
        {412, std::string("f -x", 5), malformed + "the test case name \"-x\" begins with '-'"},
        {28, std::string("/bin/s\nh", 9), malformed + "the process name holds a control character"},
        {28, PROG + "\x1b[2K", malformed + "the process name holds a control character"},
        {412, std::string("mp\nra", 6), malformed + "the test case holds a control character"},
        {412, std::string("mp\tra\x7f", 7), malformed + "the test case holds a control character"},
        {28, std::string("/bin/sh", 8), "program not allowed: " + real("/bin/sh") + " is not under an allowed folder"},
        {28, link_out + '\0', "program not allowed: " + real("/bin/sh") + " is not under an allowed folder"},
        {28, stranger + '\0', "program not allowed: " + real(stranger) + " is not under an allowed folder"},
        {28, PROG_DIR + "/CMakeFiles" + '\0',
         "program not allowed: " + real(PROG_DIR) + "/CMakeFiles is not an executable regular file"},
    };
    auto expect_refused = [&](const kel_spawn_req_t &req, const std::string &reason) {
        kel_od_handle_t h = connect_to(ag.port);
        kel_spawn_rsp_t rsp = {};
        EXPECT_EQ(kel_od_send_msg(&h, &req, sizeof req), 0u);
        EXPECT_EQ(kel_od_receive_msg(&h, &rsp, sizeof rsp), 0u);
        kel_od_disconnect_from_node(0, &h);
        EXPECT_EQ(rsp.status, 1);
        EXPECT_EQ(std::string(rsp.reason), reason);
        EXPECT_EQ(kel_check_agent_msg(&rsp), 0u);
    };
    for (const auto &row : rows) {
        kel_spawn_req_t req = ok;
        memcpy(reinterpret_cast<char *>(&req) + row.at, row.bytes.data(), row.bytes.size());
        expect_refused(req, row.reason);
    }
    /* Options smuggled into the slave's command line through the name=value
     * list: writing into any segment, forging another client's slot, and
     * slaves that start slaves past -j. */
    const std::string not_one_word = malformed + "the name=value list holds a blank or a control character";
    const std::pair<std::string, std::string> attacks[] = {
        {"x=1 -shm_res kel_res.1 -shm_results_slot_id 2", not_one_word},
        {"x=1 -shm_results_slot_id 0", not_one_word},
        {"x=1 -fork_id 0", not_one_word},
        {"x=1\t-fork_id\n0", not_one_word},
        {"x=1:-fork_id=0", malformed + "the name=value list's name \"-fork_id\" begins with '-'"},
        {"-x", malformed + "the name=value list's name \"-x\" begins with '-'"},
    };
    const size_t before = ag.get(1).size();
    for (const auto &[vars, reason] : attacks)
        expect_refused(request("mp ra", vars), reason);
    EXPECT_EQ(ag.get(1).find(" started\n", before), std::string::npos) << "no slave started";
    unlink(stranger.c_str());
    unlink(link_out.c_str());
    rmdir(sibling.c_str());
    /* A client that stalls past -t, and one that hangs up half-way. */
    kel_od_handle_t h = connect_to(ag.port);
    ASSERT_EQ(kel_od_send_msg(&h, &ok, sizeof ok / 2), 0u);
    char c;
    EXPECT_EQ(kel_od_receive_msg(&h, &c, 1), 104u) << "dropped without a reply";
    EXPECT_NE(ag.wait_for(": dropped: request not received in time\n"), std::string::npos) << ag.get(1);
    h = connect_to(ag.port);
    ASSERT_EQ(kel_od_send_msg(&h, &ok, 100), 0u);
    kel_od_disconnect_from_node(0, &h);
    EXPECT_NE(ag.wait_for(": dropped: incomplete request\n"), std::string::npos) << ag.get(1);
    /* A client that hangs up while its slave runs gets it killed. */
    gate g2;
    const kel_spawn_req_t hold_req = request("hold wait", "gate=" + g2.path);
    const size_t mark = ag.get(1).size();
    h = connect_to(ag.port);
    kel_spawn_rsp_t rsp = {};
    ASSERT_EQ(kel_od_send_msg(&h, &hold_req, sizeof hold_req), 0u);
    ASSERT_EQ(kel_od_receive_msg(&h, &rsp, sizeof rsp), 0u);
    EXPECT_EQ(rsp.status, 0) << rsp.reason;
    const std::string slave = ag.slave_started(mark);
    kel_od_disconnect_from_node(0, &h);
    EXPECT_NE(ag.wait_for("client gone: slave " + slave + " killed\n"), std::string::npos) << ag.get(1);
    EXPECT_NE(kill(std::stoi(slave), 0), 0) << "the slave is gone";
    EXPECT_EQ(ag.finish(SIGTERM), 0);
}

TEST(Agent, NotAllowedProgramsSigtermAndTheCommandLine)
{
    gate g;
    {
        agent elsewhere("127.0.0.2", "0", {"-a", g.dir});
        EXPECT_EQ(run_master({"crash"}, {"AGENT_PROG_NODE_A=" + elsewhere.node}).out,
                  "FAILED: spawn_remote_process()\n\n---- crash:segv:[PROC 1 node=127.0.0.2]\n"
                  "     ERROR: Rejected by agent, program not allowed: " +
                      real(PROG) + " is not under an allowed folder\n" + summary(1, 1, 0));
        EXPECT_EQ(elsewhere.finish(SIGINT), 0);
        EXPECT_EQ(elsewhere.get(0), "kel-agent: listening on " + elsewhere.node + "\n") << "one line on stdout";
    }
    /* SIGTERM with a slave running and a connection that sent nothing: the
     * agent kills the slave, leaves no result segment and exits 0; the
     * master learns why. */
    agent ag("127.0.0.2", "0", {"-a", PROG_DIR, "-v"});
    run_result r;
    std::thread master([&] { r = run_master({"-D", "gate=" + g.path, "hold"}, {"AGENT_PROG_NODE_A=" + ag.node}); });
    const std::string slave = ag.slave_started();
    kel_od_handle_t idle = connect_to(ag.port);
    EXPECT_EQ(ag.finish(SIGTERM), 0);
    master.join();
    kel_od_disconnect_from_node(0, &idle);
    EXPECT_NE(kill(std::stoi(slave), 0), 0) << "the slave is gone";
    EXPECT_NE(system(("ls /dev/shm | grep -q '^kel_agent\\." + std::to_string(ag.pid) + "\\.'").c_str()), 0)
        << "a result segment is left";
    EXPECT_EQ(r.out, "FAILED: remote status not success\n\n---- hold:wait:[PROC 1 node=127.0.0.2]\n"
                     "     ERROR: slave killed: the agent is stopping\n" +
                         summary(1, 1, 0));
    /* Bad command lines: a reason, the usage, exit 2; a port in use: exit 1. */
    agent first("127.0.0.2", "0", {});
    struct {
        std::vector<std::string> args;
        std::string first_line;
    } const rows[] = {
        {{"-x"}, "-x: unknown option"},
        {{"-p", "65536"}, "-p: not a port number (0..65535)"},
        {{"-a", "/nonexistent/folder"}, "-a /nonexistent/folder: No such file or directory"},
        {{"-c", "127.0.0.1/33"}, "-c: not an IPv4 address with an optional /BITS (0..32)"},
        {{"-o", "/nonexistent/log"}, "-o /nonexistent/log: No such file or directory"},
        {{"-l", "127.0.0.2", "-p", std::to_string(first.port)},
         "cannot listen on " + first.node + ": Address already in use"},
    };
    for (const auto &row : rows) {
        std::vector<std::string> argv{KEL_AGENT_PATH};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        proc p(argv);
        const bool usage = row.first_line.rfind("cannot listen", 0) != 0;
        EXPECT_EQ(p.finish(), usage ? 2 : 1) << row.first_line;
        EXPECT_EQ(p.get(1).substr(0, row.first_line.size() + 12), "kel-agent: " + row.first_line + "\n");
        EXPECT_EQ(p.get(1).find("usage: kel-agent [-l ADDRESS] [-p PORT] [-a DIR]... [-j N]") != std::string::npos,
                  usage);
        EXPECT_EQ(p.get(0), "");
    }
    EXPECT_EQ(first.finish(SIGINT), 0);
}

/* The agent's slaves pass kel_run "crash" instead of their own command line:
 * run as masters, they would send its child to a node (here one where
 * nothing listens). Marked as slaves, they refuse and count it failed. */
TEST(Agent, ItsSlavesStartNoSlavesWhateverTheirCommandLine)
{
    agent ag("127.0.0.2", "0", {"-a", PROG_DIR}, {"AGENT_PROG_FIXED_ARGV=1", "AGENT_PROG_NODE_A=127.0.0.9:9"});
    run_result r = run_master({"crash"}, {"AGENT_PROG_NODE_A=" + ag.node});
    EXPECT_EQ(r.out, "FAILED: remote status not success\n\n---- crash:segv:[PROC 1 node=127.0.0.2]\n"
                     "     ERROR: slave exited with status 3\n" +
                         summary(1, 1, 0));
    EXPECT_EQ(ag.finish(SIGTERM), 0);
    EXPECT_NE(ag.get(0).find("   Cannot fork test case from a forked KEL process (not supported)\nFAILED\n"),
              std::string::npos)
        << ag.get(0);
    EXPECT_EQ(ag.get(0).find("spawn_remote_process"), std::string::npos) << ag.get(0);
}

/* A hostile world around the agent: closed or inherited descriptors, an
 * output nobody reads, a program name with a blank, a folder swapped between
 * the check and the start (a preloaded hook swaps it at the result segment).
 * Each slave lists its descriptors and passes only with exactly 0, 1, 2. */
TEST(AgentHostile, SlavesGetTheirOwnDescriptorsAndTheCheckedProgram)
{
    const std::string t = temp_dir(), allowed = t + "/allowed dir", sub = allowed + "/sub", out = t + "/outside",
                      master = t + "/m", log = t + "/log", asan = getenv("ASAN_OPTIONS");
    ASSERT_TRUE(mkdir(allowed.c_str(), 0755) == 0 && mkdir(sub.c_str(), 0755) == 0 && mkdir(out.c_str(), 0755) == 0);
    std::ofstream(sub + "/prog", std::ios::binary) << std::ifstream(PROG, std::ios::binary).rdbuf();
    ASSERT_TRUE(chmod((sub + "/prog").c_str(), 0755) == 0 && symlink((sub + "/prog").c_str(), master.c_str()) == 0);
    ASSERT_EQ(symlink("/bin/false", (out + "/prog").c_str()), 0);
    const std::string gone = "exec \"$0\" \"$@\" > >(head -1)";
    struct {
        const char *what, *wrap;
        std::vector<std::string> args, env;
        std::string prog;
    } const rows[] = {
        {"0 and 2 closed at start", "exec \"$0\" \"$@\" 0<&- 2>&-", {}, {}, PROG},
        {"a descriptor inherited by the agent", "exec 7</dev/null; exec \"$0\" \"$@\"", {}, {}, PROG},
        {"standard output without a reader", gone.c_str(), {}, {}, PROG},
        {"-o FILE, standard output without a reader", gone.c_str(), {"-o", log}, {}, PROG},
        {"a program whose real path holds a blank", "", {}, {}, master},
        {"a folder swapped between check and start", "", {},
         {"LD_PRELOAD=" SWAP_HOOK_PATH, "KEL_SWAP_DIR=" + sub, "KEL_SWAP_TO=" + out,
          "ASAN_OPTIONS=" + asan + ":verify_asan_link_order=0"}, master},
    };
    for (const auto &row : rows) {
        std::vector<std::string> args{"-a", PROG_DIR, "-a", allowed};
        args.insert(args.end(), row.args.begin(), row.args.end());
        agent ag("127.0.0.2", "0", args, row.env, row.wrap);
        if (row.wrap == gone) { /* head has read the listening line and ended */
            std::unique_lock<std::mutex> l(ag.m);
            const int ends = row.args.empty() ? 1 : 2; /* -o: standard error too */
            EXPECT_TRUE(ag.cv.wait_for(l, LIMIT, [&] { return ag.eofs == ends; })) << row.what;
        }
        EXPECT_EQ(run_master({"fds"}, {"AGENT_PROG_NODE_A=" + ag.node}, row.prog).out,
                  block("fds:list", 1, "node=127.0.0.2", 1, 0, 2) + summary(1, 0, 2))
            << row.what;
        EXPECT_EQ(ag.finish(SIGTERM), 0) << row.what;
    }
    std::stringstream logged;
    logged << std::ifstream(log).rdbuf();
    EXPECT_NE(logged.str().find("\n---- fds:list:[PROC 1 pid="), std::string::npos) << logged.str();
    EXPECT_EQ(system(("rm -rf '" + t + "'").c_str()), 0);
}

namespace {
/* A connection to 127.0.0.2:port from the loopback address from. */
kel_od_handle_t connect_from(const char *from, unsigned port)
{
    kel_od_handle_t h = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    EXPECT_EQ(bind(h, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    EXPECT_EQ(connect(h, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return h;
}
unsigned local_port(int fd)
{
    struct sockaddr_in me = {};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr *>(&me), &len);
    return ntohs(me.sin_port);
}
/* The timer of the agent's side of the connection from client_port, as
 * /proc/net/tcp shows it: 2 while keep-alive probes are due. */
unsigned timer_of(unsigned port, unsigned client_port)
{
    std::ifstream tcp("/proc/net/tcp");
    unsigned local = 0, remote = 0, timer = 0;
    for (std::string line; std::getline(tcp, line);)
        if (sscanf(line.c_str(), "%*u: %*x:%x %*x:%x %*x %*x:%*x %x", &local, &remote, &timer) == 3 &&
            local == port && remote == client_port)
            return timer;
    return 99;
}
} // namespace

/* Clients the agent turns away with a reply, not a reset: addresses outside
 * -c, connections past -M from one address or -m in all. Accepted ones have
 * keep-alive on. */
TEST(AgentHostile, ConnectionsAreBoundedFilteredAndKeptAlive)
{
    kel_spawn_req_t task0 = request("mp ra", "");
    task0.task = 0;
    const std::string malformed = "malformed request: task 0 (tasks are numbered from 1)";
    struct {
        std::vector<std::string> args;
        const char *hold, *from;
        int status;
        std::string reason;
    } const rows[] = {
        {{"-c", "127.0.0.2"}, nullptr, "127.0.0.3", 1, "client 127.0.0.3 not allowed (-c)"},
        {{"-c", "127.0.0.2/32"}, nullptr, "127.0.0.2", 1, malformed},
        {{}, nullptr, "127.0.0.3", 1, malformed}, /* loopback by default */
        {{"-M", "1"}, "127.0.0.2", "127.0.0.2", 3, "too many connections"},
        {{"-M", "1"}, "127.0.0.3", "127.0.0.2", 1, malformed},
        {{"-m", "1"}, "127.0.0.2", "127.0.0.3", 3, "too many connections"},
    };
    for (const auto &row : rows) {
        agent ag("127.0.0.2", "0", row.args);
        kel_od_handle_t held = row.hold ? connect_from(row.hold, ag.port) : -1;
        kel_od_handle_t h = connect_from(row.from, ag.port);
        kel_spawn_rsp_t rsp = {};
        EXPECT_EQ(kel_od_send_msg(&h, &task0, sizeof task0), 0u);
        EXPECT_EQ(kel_od_receive_msg(&h, &rsp, sizeof rsp), 0u) << row.reason;
        EXPECT_EQ(rsp.status, row.status);
        EXPECT_EQ(std::string(rsp.reason), row.reason);
        if (row.hold) { /* served: accepted before the other one */
            EXPECT_EQ(timer_of(ag.port, local_port(held)), 2u) << "keep-alive timer";
        }
        kel_od_disconnect_from_node(0, &h);
        kel_od_disconnect_from_node(0, &held);
        EXPECT_EQ(ag.finish(SIGTERM), 0);
    }
}


TEST(NodeTransport, APeerThatResets)
{
    /* A reset peer: EPIPE, not a SIGPIPE that would end the program. */
    unsigned port = 0;
    int server = listener(&port);
    kel_od_handle_t h = connect_to(port, INADDR_LOOPBACK);
    int peer = accept(server, nullptr, nullptr), err = 0;
    EXPECT_NE(fcntl(h, F_GETFD) & FD_CLOEXEC, 0) << "slaves must not inherit connections";
    struct linger hard = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(peer);
    struct pollfd pfd = {h, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 30000), 1);
    socklen_t len = sizeof err;
    getsockopt(h, SOL_SOCKET, SO_ERROR, &err, &len); /* takes the pending reset away */
    char buf[668] = {};
    EXPECT_EQ(kel_od_send_msg(&h, buf, sizeof buf), static_cast<uint32_t>(EPIPE));
    EXPECT_EQ(h, -1) << "a failure closes the connection";
    close(server);
}

namespace {
using wire = std::vector<uint8_t>;
/* Packs f, checks that unpacking and packing again gives the same bytes,
 * and returns the image. */
template <typename Fields, typename Msg>
wire round_trip(const Fields &f, void (*pack)(const Fields *, Msg *), void (*unpack)(const Msg *, Fields *))
{
    Msg m, again;
    Fields back;
    memset(&back, 0x5a, sizeof back);
    pack(&f, &m);
    unpack(&m, &back);
    pack(&back, &again);
    EXPECT_EQ(memcmp(&m, &again, sizeof m), 0) << "unpack, then pack again";
    return wire(reinterpret_cast<uint8_t *>(&m), reinterpret_cast<uint8_t *>(&m) + sizeof m);
}
const wire HDR = {0xfe, 0xab, 0x2c, 0x18, 127, 0, 0, 2, 0x01, 0x02, 0x03, 0x04}; /* then type, version, 0, 0 */
wire hdr_of(uint8_t type)
{
    wire h = HDR;
    h.insert(h.end(), {type, KEL_AGENT_VERSION, 0, 0});
    return h;
}
} // namespace

TEST(AgentWire, EveryMessageRoundTripsWithBigEndianNumbersAtTheirOffsets)
{
    const kel_node_id_t node = htonl(0x7f000002); /* stored as on the wire */
    const std::string long_name(200, 'p');
    kel__spawn_req_fields q = {};
    kel__agent_hdr_init(&q.hdr, KEL_AGENT_MSG_SPAWN_REQ, node, 0x01020304u);
    q.verbosity = 2, q.flags = 0x0003, q.task = 0x0102, q.seq = 0x0304, q.node_num = 0xa1b2;
    snprintf(q.process_name, sizeof q.process_name, "%s", long_name.c_str()); /* 127 bytes held */
    snprintf(q.nvp_list, sizeof q.nvp_list, "A=1");
    snprintf(q.test_case, sizeof q.test_case, "s:t");
    kel__spawn_rsp_fields p = {};
    kel__agent_hdr_init(&p.hdr, KEL_AGENT_MSG_SPAWN_RSP, node, 0x01020304u);
    p.status = 5;
    snprintf(p.reason, sizeof p.reason, "no such program");
    kel__proc_result_fields r = {};
    kel__agent_hdr_init(&r.hdr, KEL_AGENT_MSG_PROC_RESULT, node, 0x01020304u);
    r.executed = 0x01020304u, r.failed = 0x05060708u, r.checkpoints = 0x00010000u;
    r.elapsed_ms = 0x0102030405060708ull, r.summary_len = KEL_RES_SUMMARY_SIZE;
    for (size_t i = 0; i < sizeof r.summary; i++)
        r.summary[i] = static_cast<uint8_t>(i * 13);
    kel__proc_result_fields e = r;
    e.status = 3;
    snprintf(e.error, sizeof e.error, "exec failed");
    const wire req = round_trip(q, kel__spawn_req_pack, kel__spawn_req_unpack),
               rsp = round_trip(p, kel__spawn_rsp_pack, kel__spawn_rsp_unpack),
               res = round_trip(r, kel__proc_result_pack, kel__proc_result_unpack),
               err = round_trip(e, kel__proc_result_pack, kel__proc_result_unpack);
    const std::string name_end = std::string(3, 'p') + '\0';
    struct {
        const char *what;
        const wire &image;
        size_t offset;
        wire bytes; /* hand-written */
    } const rows[] = {
        {"request header", req, 0, hdr_of(KEL_AGENT_MSG_SPAWN_REQ)},
        {"request numbers", req, 16, {2, 0, 0x00, 0x03, 0x01, 0x02, 0x03, 0x04, 0xa1, 0xb2, 0, 0, 'p'}},
        {"process name cut to its field less one", req, 152, {'p', 'p', 'p', 0, 'A', '=', '1', 0}},
        {"test case", req, 412, {'s', ':', 't', 0}},
        {"reply", rsp, 0, hdr_of(KEL_AGENT_MSG_SPAWN_RSP)},
        {"reply status and reason", rsp, 16, {5, 'n', 'o', ' ', 's', 'u', 'c', 'h'}},
        {"result", res, 0, hdr_of(KEL_AGENT_MSG_PROC_RESULT)},
        {"result counts", res, 16, {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 1, 0, 0, 0, 0, 0, 0,
                                    1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0x04, 0x04, 0, 13, 26}},
        {"result with an error", err, 16, {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'e', 'x', 'e', 'c', ' '}},
        {"error text ends the message's numbers", err, 40, {'\0', 0, 0, 0}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(wire(row.image.begin() + static_cast<long>(row.offset),
                       row.image.begin() + static_cast<long>(row.offset + row.bytes.size())),
                  row.bytes)
            << row.what;
    EXPECT_EQ(req.size() + rsp.size() + res.size(), 668u + 276u + 1080u);
    EXPECT_EQ(std::count(req.begin() + 415, req.end(), 0), 668 - 415) << "bytes not listed are 0";
}

TEST(AgentWire, HostileImagesAreReadAsTheyAreAndNeverPastTheirFields)
{
    /* Every byte 0xff: no NUL in any text, every length and count at its
     * maximum. Unpacking keeps them (whoever reads bounds them); packing
     * them again puts a NUL in every text field. */
    std::vector<uint8_t> ff(KEL_PROC_RESULT_SIZE, 0xff);
    auto all_ff = [](const void *p, size_t n) {
        return std::all_of(static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + n,
                           [](uint8_t b) { return b == 0xff; });
    };
    kel__spawn_req_fields q;
    kel__spawn_req_unpack(reinterpret_cast<const kel_spawn_req_t *>(ff.data()), &q);
    EXPECT_EQ(q.hdr.magic, 0xffffffffu);
    EXPECT_TRUE(q.verbosity == 0xff && q.flags == 0xffff && q.task == 0xffff && q.seq == 0xffff);
    EXPECT_TRUE(q.node_num == 0xffff && q.hdr.type == 0xff && q.hdr.version == 0xff && q.hdr.pid == 0xffffffffu);
    EXPECT_TRUE(all_ff(q.process_name, sizeof q.process_name) && all_ff(q.nvp_list, sizeof q.nvp_list) &&
                all_ff(q.test_case, sizeof q.test_case));
    kel_spawn_req_t packed;
    kel__spawn_req_pack(&q, &packed);
    EXPECT_EQ(strnlen(packed.process_name, sizeof packed.process_name), sizeof packed.process_name - 1);
    EXPECT_EQ(strnlen(packed.nvp_list, sizeof packed.nvp_list), sizeof packed.nvp_list - 1);
    EXPECT_EQ(strnlen(packed.test_case, sizeof packed.test_case), sizeof packed.test_case - 1);
    EXPECT_EQ(packed.flags, 0xffff) << "unknown flags are the checker's to refuse, not the packer's";
    kel__spawn_rsp_fields p;
    kel__spawn_rsp_unpack(reinterpret_cast<const kel_spawn_rsp_t *>(ff.data()), &p);
    EXPECT_TRUE(p.status == 0xff && all_ff(p.reason, sizeof p.reason));
    kel_spawn_rsp_t rsp;
    kel__spawn_rsp_pack(&p, &rsp);
    EXPECT_EQ(strnlen(rsp.reason, sizeof rsp.reason), sizeof rsp.reason - 1);
    kel__proc_result_fields r;
    kel__proc_result_unpack(reinterpret_cast<const kel_proc_result_t *>(ff.data()), &r);
    EXPECT_TRUE(r.status == 0xff && r.executed == 0xffffffffu && r.failed == 0xffffffffu);
    EXPECT_TRUE(r.checkpoints == 0xffffffffu && r.elapsed_ms == UINT64_MAX);
    EXPECT_EQ(r.summary_len, 0xffffffffu) << "read as sent: the reader bounds it";
    EXPECT_TRUE(all_ff(r.summary, sizeof r.summary) && all_ff(r.error, sizeof r.error));
    kel_proc_result_t res;
    r.status = 1;
    kel__proc_result_pack(&r, &res);
    const char *text = reinterpret_cast<const char *>(&res) + KEL_RES_OFF_ERROR;
    EXPECT_EQ(strnlen(text, KEL_RES_ERROR_SIZE), KEL_RES_ERROR_SIZE - 1);
    /* The header check the master makes names the first wrong field. */
    struct {
        size_t offset;
        uint8_t value;
        const char *printed;
    } const header_rows[] = {
        {0, 0xff, "Received message with wrong magic 0xffab2c18, expected 0xfeab2c18\n"},
        {13, 0xff, "Received message with wrong version 255, expected 1\n"},
        {12, 0, "Received message with wrong type 0\n"},
        {12, 6, "Received message with wrong type 6\n"},
        {12, 5, ""},
    };
    for (const auto &h : header_rows) {
        wire image = hdr_of(KEL_AGENT_MSG_SPAWN_RSP);
        image[h.offset] = h.value;
        testing::internal::CaptureStdout();
        uint32_t rc = kel_check_agent_msg(image.data());
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), h.printed);
        EXPECT_EQ(rc, *h.printed ? static_cast<uint32_t>(EINVAL) : 0u) << h.printed;
    }
}

/*
 * agent_harness.cpp - the real kel-agent as a child process, the scripted
 * fake agent, and the loopback and file helpers of the remote-execution
 * tests.
 */
#include "agent_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "agent_msg.h"

extern char **environ;

namespace agent_test {

namespace {

/* Sanitizers leave crash signals alone in the agent and in its slaves, so a
 * crashing slave ends with its signal in every build. */
constexpr const char *crash_signals_through = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";

std::vector<std::string> agent_environment()
{
    std::vector<std::string> env;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const char *var : {"ASAN_OPTIONS=", "TSAN_OPTIONS=", "UBSAN_OPTIONS="}) {
        bool found = false;
        for (std::string &e : env) {
            if (e.rfind(var, 0) == 0) {
                e += std::string(":") + crash_signals_through;
                found = true;
            }
        }
        if (!found)
            env.push_back(std::string(var) + crash_signals_through);
    }
    return env;
}

std::vector<char *> c_vector(std::vector<std::string> &strings)
{
    std::vector<char *> v;
    for (std::string &s : strings)
        v.push_back(s.data());
    v.push_back(nullptr);
    return v;
}

using clock_type = std::chrono::steady_clock;

clock_type::time_point deadline_after(unsigned ms)
{
    return clock_type::now() + std::chrono::milliseconds(ms);
}

} // namespace

/* ---- agent_process ------------------------------------------------------ */

agent_process::~agent_process()
{
    reset();
}

void agent_process::reset()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        reap(wait_limit_ms);
    }
    if (out_thread_.joinable())
        out_thread_.join();
    if (err_thread_.joinable())
        err_thread_.join();
    pid_ = -1;
    reaped_ = false;
    status_ = 0;
    address_.clear();
    port_ = 0;
    out_.clear();
    err_.clear();
    out_eof_ = err_eof_ = false;
}

void agent_process::reader(int fd, std::string *to, bool *eof)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
            *eof = true;
            changed_.notify_all();
            break;
        }
        to->append(buf, static_cast<size_t>(n));
        changed_.notify_all();
    }
    close(fd);
}

bool agent_process::start(const std::vector<std::string> &args, std::string *why)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        *why = "pipe: " + std::string(strerror(errno));
        return false;
    }
    std::vector<std::string> argv_strings{KEL_AGENT_PATH};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = agent_environment();
    std::vector<char *> argv = c_vector(argv_strings);
    std::vector<char *> envp = c_vector(env_strings);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    int rc = posix_spawn(&pid_, KEL_AGENT_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        pid_ = -1;
        *why = "posix_spawn: " + std::string(strerror(rc));
        return false;
    }
    out_thread_ = std::thread(&agent_process::reader, this, out_pipe[0], &out_, &out_eof_);
    err_thread_ = std::thread(&agent_process::reader, this, err_pipe[0], &err_, &err_eof_);

    static const std::regex listening(R"(kel-agent: listening on ([0-9.]+):(\d+)\n)");
    std::unique_lock<std::mutex> lock(mutex_);
    std::smatch m;
    bool found = changed_.wait_until(lock, deadline_after(wait_limit_ms), [&] {
        return std::regex_search(out_, m, listening) || out_eof_;
    });
    if (!found || !std::regex_search(out_, m, listening)) {
        *why = "no listening line; stdout:\n" + out_ + "\nstderr:\n" + err_;
        return false;
    }
    address_ = m[1];
    port_ = static_cast<unsigned>(std::stoul(m[2]));
    return true;
}

bool agent_process::wait_err(const std::string &needle, unsigned ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline_after(ms),
                               [&] { return err_.find(needle) != std::string::npos || err_eof_; }) &&
           err_.find(needle) != std::string::npos;
}

pid_t agent_process::wait_slave_started(int n, unsigned ms)
{
    static const std::regex started(R"(slave (\d+) started\n)");
    std::unique_lock<std::mutex> lock(mutex_);
    pid_t pid = -1;
    auto nth = [&] {
        int seen = 0;
        for (std::sregex_iterator it(err_.begin(), err_.end(), started), end; it != end; ++it)
            if (++seen == n) {
                pid = static_cast<pid_t>(std::stol((*it)[1]));
                return true;
            }
        return err_eof_;
    };
    changed_.wait_until(lock, deadline_after(ms), nth);
    return pid;
}

int agent_process::reap(unsigned ms)
{
    if (reaped_)
        return status_;
    /* Waits on the agent's pidfd: readable once it has ended. */
    int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pfd >= 0) {
        auto deadline = deadline_after(ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
            struct pollfd p = {pfd, POLLIN, 0};
            int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
            if (r >= 0 || errno != EINTR)
                break;
        }
        close(pfd);
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
        return -1;
    reaped_ = true;
    status_ = status;
    /* Everything it wrote is read once its pipes close (its slaves are gone
     * with it). */
    if (out_thread_.joinable())
        out_thread_.join();
    if (err_thread_.joinable())
        err_thread_.join();
    return status;
}

int agent_process::stop(int sig, unsigned ms)
{
    if (pid_ <= 0)
        return -1;
    if (!reaped_)
        kill(pid_, sig);
    int status = reap(ms);
    if (status == -1) {
        kill(pid_, SIGKILL);
        reap(wait_limit_ms);
        return -1;
    }
    return status;
}

int agent_process::wait_exit(unsigned ms)
{
    int status = reap(ms);
    if (status == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        reap(wait_limit_ms);
    }
    return status;
}

std::string agent_process::out()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string agent_process::err()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

bool start_agent_pair(agent_process &a, agent_process &b, const std::vector<std::string> &args, std::string *why)
{
    /* The port is free on 127.0.0.2; on 127.0.0.3 it almost always is. When
     * it is not, the second agent says so and exits: both are tried again. */
    for (int attempt = 0; attempt < 5; attempt++) {
        a.reset();
        b.reset();
        std::vector<std::string> a_args{"-l", "127.0.0.2", "-p", "0"};
        a_args.insert(a_args.end(), args.begin(), args.end());
        if (!a.start(a_args, why))
            return false;
        std::vector<std::string> b_args{"-l", "127.0.0.3", "-p", std::to_string(a.port())};
        b_args.insert(b_args.end(), args.begin(), args.end());
        if (b.start(b_args, why))
            return true;
    }
    return false;
}

/* ---- fake_agent --------------------------------------------------------- */

fake_agent::fake_agent(script s, int connections)
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(listen_fd_, 16) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        perror("fake agent");
        return;
    }
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread(&fake_agent::serve, this, std::move(s), connections);
}

fake_agent::~fake_agent()
{
    finish();
}

void fake_agent::serve(script s, int connections)
{
    for (int i = 0; i < connections; i++) {
        struct pollfd p = {listen_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait_limit_ms)) <= 0)
            return;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        kel_spawn_req_t req;
        memset(&req, 0, sizeof req);
        recv_all(fd, &req, sizeof req);
        requests_.push_back(req);
        s(fd, req);
        close(fd);
    }
}

std::vector<kel_spawn_req_t> fake_agent::finish()
{
    if (thread_.joinable())
        thread_.join();
    if (listen_fd_ >= 0)
        close(listen_fd_);
    listen_fd_ = -1;
    return requests_;
}

/* ---- messages and sockets ----------------------------------------------- */

bool send_all(int fd, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool recv_all(int fd, void *buf, size_t len)
{
    char *p = static_cast<char *>(buf);
    while (len > 0) {
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(wait_limit_ms)) <= 0)
            return false;
        ssize_t n = recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int connect_to(const std::string &address, unsigned port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

kel_spawn_rsp_t make_reply(uint8_t status, const std::string &reason)
{
    kel__spawn_rsp_fields f;
    memset(&f, 0, sizeof f);
    kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_SPAWN_RSP, htonl(INADDR_LOOPBACK), 4242);
    f.status = status;
    snprintf(f.reason, sizeof f.reason, "%s", reason.c_str());
    kel_spawn_rsp_t msg;
    kel__spawn_rsp_pack(&f, &msg);
    return msg;
}

kel_proc_result_t make_result(const std::string &node, uint32_t executed, uint32_t failed, uint32_t checkpoints,
                              uint64_t elapsed_ms, const std::vector<uint8_t> &summary)
{
    kel__proc_result_fields f;
    memset(&f, 0, sizeof f);
    kel_node_id_t id = 0;
    inet_pton(AF_INET, node.c_str(), &id);
    kel__agent_hdr_init(&f.hdr, KEL_AGENT_MSG_PROC_RESULT, id, 4343);
    f.executed = executed;
    f.failed = failed;
    f.checkpoints = checkpoints;
    f.elapsed_ms = elapsed_ms;
    f.summary_len = static_cast<uint32_t>(summary.size());
    if (!summary.empty())
        memcpy(f.summary, summary.data(), std::min(summary.size(), sizeof f.summary));
    kel_proc_result_t msg;
    kel__proc_result_pack(&f, &msg);
    return msg;
}

std::vector<uint8_t> list_entry(const std::string &path, const std::string &location, const std::string &cond)
{
    std::vector<uint8_t> e;
    for (const std::string *s : {&path, &location, &cond}) {
        e.push_back(static_cast<uint8_t>(s->size()));
        e.insert(e.end(), s->begin(), s->end());
    }
    return e;
}

/* ---- files and processes ------------------------------------------------ */

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/kel_agent_test.XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        path_ = tmpl;
}

temp_dir::~temp_dir()
{
    if (path_.empty())
        return;
    if (DIR *d = opendir(path_.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                unlink((path_ + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(path_.c_str());
}

gate::gate(const std::string &path) : path_(path)
{
    if (mkfifo(path.c_str(), 0600) == 0)
        fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
}

gate::~gate()
{
    release();
}

void gate::release()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool process_gone(pid_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

std::vector<std::string> shm_entries(const std::string &prefix)
{
    std::vector<std::string> found;
    if (DIR *d = opendir("/dev/shm")) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind(prefix, 0) == 0)
                found.push_back(name);
        }
        closedir(d);
    }
    return found;
}

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace agent_test

/*
 * golden.cpp - running a test program with a time limit, masking its
 * variable output and diffing it against the expected text (see golden.h).
 * The child writes into temporary files, so neither stream can block it; a
 * pidfd tells when it ended. It is reaped only after its group was killed:
 * while it is an unreaped zombie its pid, which names the group, stays taken.
 */
#include "golden.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kel_golden {

namespace {

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<char *> c_vector(std::vector<std::string> &strings)
{
    std::vector<char *> v;
    for (std::string &s : strings)
        v.push_back(s.data());
    v.push_back(nullptr);
    return v;
}

/* A temporary file, unlinked when done. */
struct temp_file {
    std::string path;
    int fd;
    temp_file() : path("/tmp/kel_golden.XXXXXX"), fd(mkstemp(path.data())) {}
    ~temp_file()
    {
        close(fd);
        unlink(path.c_str());
    }
};

} // namespace

exit_status exited_with(int code) { return {end_kind::exited, code}; }

bool operator==(const exit_status &a, const exit_status &b) { return a.kind == b.kind && a.value == b.value; }

std::string describe(const exit_status &s)
{
    switch (s.kind) {
    case end_kind::exited:
        return "exit code " + std::to_string(s.value);
    case end_kind::signalled:
        return "signal " + std::to_string(s.value) + " (" + strsignal(s.value) + ")";
    case end_kind::timed_out:
        return "time-out after " + std::to_string(s.value) + " ms";
    case end_kind::not_started:
        return std::string("not started: ") + std::strerror(s.value);
    }
    return "unknown status";
}

run_result run_program(const std::string &path, const std::vector<std::string> &args, const run_options &options)
{
    run_result result{{end_kind::not_started, 0}, {}, {}, 0};
    const uint64_t start = now_ms();
    std::vector<std::string> argv_s{path}, env_s;
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    for (char **e = environ; *e; ++e)
        env_s.emplace_back(*e);
    for (const std::string &entry : options.env) {
        const std::string key = entry.substr(0, entry.find('=') + 1);
        auto same = std::find_if(env_s.begin(), env_s.end(), [&](const std::string &e) { return e.rfind(key, 0) == 0; });
        if (same != env_s.end())
            *same = entry;
        else
            env_s.push_back(entry);
    }
    /* Crashes end with their signal in the sanitizer builds too. */
    for (std::string &e : env_s)
        if (e.rfind("ASAN_OPTIONS=", 0) == 0 || e.rfind("TSAN_OPTIONS=", 0) == 0 || e.rfind("UBSAN_OPTIONS=", 0) == 0)
            e += ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";
    std::vector<char *> argv = c_vector(argv_s), envp = c_vector(env_s);
    temp_file out, err;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd, 2);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.status.value = rc;
        return result;
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    struct pollfd p = {pidfd, POLLIN, 0};
    int n;
    do
        n = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, int64_t(start + options.time_limit_ms - now_ms()))));
    while (n < 0 && errno == EINTR);
    close(pidfd);
    kill(-pid, SIGKILL);
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    result.elapsed_ms = now_ms() - start;
    if (n == 0)
        result.status = {end_kind::timed_out, static_cast<int>(options.time_limit_ms)};
    else if (WIFSIGNALED(ws))
        result.status = {end_kind::signalled, WTERMSIG(ws)};
    else
        result.status = exited_with(WEXITSTATUS(ws));
    result.out = read_all(out.path);
    result.err = read_all(err.path);
    return result;
}

std::string program_path(const std::string &name) { return std::string(KEL_TEST_PROGRAM_DIR) + "/" + name; }

std::string command_line(const std::string &path, const std::vector<std::string> &args)
{
    std::string line = path;
    for (const std::string &arg : args)
        line += " '" + arg + "'";
    return line;
}

normaliser default_normaliser()
{
    normaliser n;
    add_rule(n, "elapsed-time", R"(Elapsed time = \d+ ms)", "Elapsed time = <T> ms");
    add_rule(n, "pid", R"(pid=\d+)", "pid=<PID>");
    add_rule(n, "process-pid", R"(([Pp]rocess )\d+ )", "$1<PID> ");
    add_rule(n, "results-segment", R"(kel_res\.\d+\.\d+)", "kel_res.<PID>.<N>");
    add_rule(n, "pointer", R"(0x[0-9a-f]{6,})", "<PTR>");
    return n;
}

void add_rule(normaliser &n, const std::string &name, const std::string &pattern, const std::string &replacement)
{
    remove_rule(n, name);
    n.rules.push_back({name, std::regex(pattern), replacement});
}

bool remove_rule(normaliser &n, const std::string &name)
{
    auto it = std::find_if(n.rules.begin(), n.rules.end(), [&](const norm_rule &r) { return r.name == name; });
    if (it == n.rules.end())
        return false;
    n.rules.erase(it);
    return true;
}

std::string normalise(const normaliser &n, const std::string &text)
{
    std::string out;
    for (size_t start = 0; start < text.size();) {
        size_t nl = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, nl - start);
        for (const norm_rule &r : n.rules)
            line = std::regex_replace(line, r.pattern, r.replacement);
        out += line + (nl < text.size() ? "\n" : "");
        start = nl + 1;
    }
    return out;
}

::testing::AssertionResult output_matches(const std::string &expected_out, const exit_status &expected_status,
                                          const run_result &actual, const normaliser &n)
{
    const std::string out = normalise(n, actual.out);
    if (out == expected_out && actual.status == expected_status)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    if (out != expected_out) {
        temp_file e, a;
        std::ofstream(e.path, std::ios::binary) << expected_out;
        std::ofstream(a.path, std::ios::binary) << out;
        std::string diff, cmd = "diff -u --label expected --label actual " + e.path + " " + a.path +
                                " | sed -E '/^[-+ ].*[ \\t]$/s/$/$/'";
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[4096];
            for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;)
                diff.append(buf, got);
            pclose(p);
        }
        failure << "standard output differs (trailing blanks end in $):\n" << diff;
    }
    if (!(actual.status == expected_status))
        failure << "exit status: expected " << describe(expected_status) << ", got " << describe(actual.status) << "\n";
    return failure << "standard error:\n" << actual.err.substr(0, 8000);
}

} // namespace kel_golden

/*
 * golden.cpp - running test programs, masking their variable output and
 * diffing it against the expected text (see golden.h).
 *
 * The child is started with posix_spawn in a process group of its own, both
 * output pipes and a pidfd of the child are watched with one poll, so a
 * program that fills its standard error while the harness waits on standard
 * output cannot block, and the time limit is a single deadline for the whole
 * run. The child is reaped only after its group was killed: while it is an
 * unreaped zombie its pid, which names the group, cannot be reused.
 */
#include "golden.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kel_golden {

namespace {

/* More than any test program should print; protects the harness from a
 * program that loops on printf. */
constexpr size_t output_cap = 64u << 20;

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

/* Appended to the sanitizer option variables: later options win. */
constexpr const char *crash_signals_through = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";

/* The harness's environment with the extra entries added or replaced. */
std::vector<std::string> child_environment(const std::vector<std::string> &extra, bool sanitizers_catch_crashes)
{
    std::vector<std::string> env;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string &entry : extra) {
        const size_t eq = entry.find('=');
        const std::string key = entry.substr(0, eq == std::string::npos ? entry.size() : eq + 1);
        auto same = std::find_if(env.begin(), env.end(),
                                 [&key](const std::string &e) { return e.compare(0, key.size(), key) == 0; });
        if (same != env.end())
            *same = entry;
        else
            env.push_back(entry);
    }
    if (sanitizers_catch_crashes)
        return env;
    for (const char *var : {"ASAN_OPTIONS=", "TSAN_OPTIONS=", "UBSAN_OPTIONS="}) {
        auto it = std::find_if(env.begin(), env.end(),
                               [var](const std::string &e) { return e.rfind(var, 0) == 0; });
        if (it == env.end())
            env.push_back(std::string(var) + crash_signals_through);
        else
            *it += std::string(":") + crash_signals_through;
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

void append_capped(std::string &to, const char *data, size_t n, bool &cut)
{
    if (cut)
        return;
    if (to.size() + n > output_cap) {
        to.append(data, output_cap - to.size());
        to.append("\n[harness: output cut]\n");
        cut = true;
        return;
    }
    to.append(data, n);
}

/* Reads what is available on fd; closes it and sets it to -1 at end of file. */
void drain(int &fd, std::string &to, bool &cut)
{
    char buf[65536];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        append_capped(to, buf, static_cast<size_t>(n), cut);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fd);
        fd = -1;
    }
}

/* Signals a test program may find ignored in the harness and would inherit. */
void default_signals(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM, SIGTSTP,
                    SIGTTIN, SIGTTOU, SIGXFSZ})
        sigaddset(set, sig);
}

/* Whether a core file is written depends on the machine; a crash should read
 * the same everywhere. The limit is inherited by every child. */
void disable_core_dumps()
{
    struct rlimit lim;
    if (getrlimit(RLIMIT_CORE, &lim) == 0 && lim.rlim_cur != 0) {
        lim.rlim_cur = 0;
        setrlimit(RLIMIT_CORE, &lim);
    }
}

/* Starts the child in its own process group, stdin from /dev/null, stdout
 * and stderr on the write ends given. Returns 0 or an errno value. */
int spawn_child(const std::string &path, const std::vector<std::string> &args, const run_options &options,
                int out_w, int err_w, pid_t *pid)
{
    std::vector<std::string> argv_strings;
    argv_strings.push_back(path);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = child_environment(options.env, options.sanitizers_catch_crashes);
    std::vector<char *> argv = c_vector(argv_strings);
    std::vector<char *> envp = c_vector(env_strings);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_w, 1);
    posix_spawn_file_actions_adddup2(&actions, err_w, 2);
    sigset_t mask;
    sigset_t defaults;
    sigemptyset(&mask);
    default_signals(&defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &mask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int rc = posix_spawn(pid, path.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

bool needs_quotes(const std::string &s)
{
    if (s.empty())
        return true;
    for (char c : s)
        if (std::strchr(" \t\n'\"\\$`*?[]{}()<>|&;#~!", c) != nullptr)
            return true;
    return false;
}

/* ---- line diff ---------------------------------------------------------- */

/* One line of a text; only the last one can lack its line feed. */
struct text_line {
    std::string text;
    bool newline;
};

bool same_line(const text_line &a, const text_line &b)
{
    return a.newline == b.newline && a.text == b.text;
}

std::vector<text_line> split_lines(const std::string &s)
{
    std::vector<text_line> lines;
    size_t start = 0;
    while (start < s.size()) {
        const size_t nl = s.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back({s.substr(start), false});
            break;
        }
        lines.push_back({s.substr(start, nl - start), true});
        start = nl + 1;
    }
    return lines;
}

/* A diff line: kind ' ', '-' or '+', and the line's index in its text. */
struct edit {
    char kind;
    size_t a; /* index in expected (for ' ' and '-') */
    size_t b; /* index in actual (for ' ' and '+') */
};

/* Longest-common-subsequence edit script of the middle parts a[alo,ahi) and
 * b[blo,bhi); past a size where the table would be too large every line of
 * the middle counts as changed, which still shows every difference. */
void middle_edits(const std::vector<text_line> &a, size_t alo, size_t ahi, const std::vector<text_line> &b,
                  size_t blo, size_t bhi, std::vector<edit> &out)
{
    const size_t n = ahi - alo;
    const size_t m = bhi - blo;
    if (n * m > 16u * 1024u * 1024u) {
        for (size_t i = alo; i < ahi; ++i)
            out.push_back({'-', i, 0});
        for (size_t j = blo; j < bhi; ++j)
            out.push_back({'+', 0, j});
        return;
    }
    /* lcs[i][j]: common length of a[alo+i..] and b[blo+j..] */
    std::vector<uint32_t> lcs((n + 1) * (m + 1), 0);
    auto at = [m, &lcs](size_t i, size_t j) -> uint32_t & { return lcs[i * (m + 1) + j]; };
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            at(i, j) = same_line(a[alo + i], b[blo + j]) ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
    /* Walk the table; within a change removals come before additions. */
    size_t i = 0;
    size_t j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && same_line(a[alo + i], b[blo + j])) {
            out.push_back({' ', alo + i, blo + j});
            ++i;
            ++j;
        } else if (j == m || (i < n && at(i + 1, j) >= at(i, j + 1))) {
            out.push_back({'-', alo + i, 0});
            ++i;
        } else {
            out.push_back({'+', 0, blo + j});
            ++j;
        }
    }
}

std::vector<edit> edit_script(const std::vector<text_line> &a, const std::vector<text_line> &b)
{
    size_t pre = 0;
    while (pre < a.size() && pre < b.size() && same_line(a[pre], b[pre]))
        ++pre;
    size_t suf = 0;
    while (suf < a.size() - pre && suf < b.size() - pre && same_line(a[a.size() - 1 - suf], b[b.size() - 1 - suf]))
        ++suf;
    std::vector<edit> script;
    for (size_t k = 0; k < pre; ++k)
        script.push_back({' ', k, k});
    middle_edits(a, pre, a.size() - suf, b, pre, b.size() - suf, script);
    for (size_t k = suf; k > 0; --k)
        script.push_back({' ', a.size() - k, b.size() - k});
    return script;
}

/* The line as it shows in a report: trailing blanks as middle dots, tabs,
 * carriage returns and other control bytes escaped. */
std::string visible(const std::string &text)
{
    size_t trail = text.size();
    while (trail > 0 && text[trail - 1] == ' ')
        --trail;
    std::string v;
    for (size_t k = 0; k < text.size(); ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if (k >= trail) {
            v += "\xc2\xb7";
        } else if (c == '\t') {
            v += "\\t";
        } else if (c == '\r') {
            v += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            v += esc;
        } else {
            v += static_cast<char>(c);
        }
    }
    return v;
}

void append_diff_line(std::string &out, char kind, const text_line &line)
{
    out += kind;
    out += visible(line.text);
    out += '\n';
    if (!line.newline)
        out += "\\ No newline at end of file\n";
}

std::string hunk_range(size_t start, size_t count)
{
    /* Unified diff numbers lines from 1; an empty range names the line before it. */
    const size_t first = count == 0 ? start : start + 1;
    return std::to_string(first) + "," + std::to_string(count);
}

} // namespace

exit_status exited_with(int code)
{
    return {end_kind::exited, code};
}

exit_status killed_by(int signo)
{
    return {end_kind::signalled, signo};
}

bool operator==(const exit_status &a, const exit_status &b)
{
    return a.kind == b.kind && a.value == b.value;
}

std::string describe(const exit_status &status)
{
    switch (status.kind) {
    case end_kind::exited:
        return "exit code " + std::to_string(status.value);
    case end_kind::signalled:
        return "signal " + std::to_string(status.value) + " (" + strsignal(status.value) + ")";
    case end_kind::timed_out:
        return "time-out after " + std::to_string(status.value) + " ms";
    case end_kind::not_started:
        return std::string("not started: ") + std::strerror(status.value);
    }
    return "unknown status";
}

run_result run_program(const std::string &path, const std::vector<std::string> &args, const run_options &options)
{
    run_result result{{end_kind::not_started, 0}, {}, {}, 0};
    const uint64_t start = now_ms();
    const uint64_t deadline = start + options.time_limit_ms;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        result.status.value = errno;
        return result;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        result.status.value = errno;
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    disable_core_dumps();
    pid_t pid = -1;
    const int rc = spawn_child(path, args, options, out_pipe[1], err_pipe[1], &pid);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        result.status.value = rc;
        result.elapsed_ms = now_ms() - start;
        return result;
    }

    int out_fd = out_pipe[0];
    int err_fd = err_pipe[0];
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = pidfd < 0; /* without a pidfd the end of the pipes alone counts */
    bool timed_out = false;
    bool out_cut = false;
    bool err_cut = false;
    /* The output is complete when every process holding the pipes is gone,
     * not when the child alone has ended. */
    while (out_fd >= 0 || err_fd >= 0 || !ended) {
        const uint64_t now = now_ms();
        if (now >= deadline) {
            timed_out = true;
            break;
        }
        uint64_t wait_ms = deadline - now;
        struct pollfd fds[3];
        nfds_t nfds = 0;
        int out_slot = -1;
        int err_slot = -1;
        int pid_slot = -1;
        if (out_fd >= 0) {
            out_slot = static_cast<int>(nfds);
            fds[nfds++] = {out_fd, POLLIN, 0};
        }
        if (err_fd >= 0) {
            err_slot = static_cast<int>(nfds);
            fds[nfds++] = {err_fd, POLLIN, 0};
        }
        if (!ended) {
            pid_slot = static_cast<int>(nfds);
            fds[nfds++] = {pidfd, POLLIN, 0};
        }
        const int n = poll(fds, nfds, static_cast<int>(std::min<uint64_t>(wait_ms, 60000)));
        if (n < 0 && errno != EINTR)
            break;
        if (n <= 0)
            continue;
        if (out_slot >= 0 && fds[out_slot].revents != 0)
            drain(out_fd, result.out, out_cut);
        if (err_slot >= 0 && fds[err_slot].revents != 0)
            drain(err_fd, result.err, err_cut);
        if (pid_slot >= 0 && fds[pid_slot].revents != 0)
            ended = true;
    }
    if (out_fd >= 0)
        close(out_fd);
    if (err_fd >= 0)
        close(err_fd);
    if (pidfd >= 0)
        close(pidfd);

    /* Whatever is left of the group goes now: after a time-out everything,
     * after a normal end the processes the child left behind. */
    kill(-pid, SIGKILL);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.elapsed_ms = now_ms() - start;
    if (timed_out)
        result.status = {end_kind::timed_out, static_cast<int>(options.time_limit_ms)};
    else if (WIFSIGNALED(wstatus))
        result.status = killed_by(WTERMSIG(wstatus));
    else
        result.status = exited_with(WEXITSTATUS(wstatus));
    return result;
}

std::string program_path(const std::string &name)
{
    return std::string(KEL_TEST_PROGRAM_DIR) + "/" + name;
}

std::string command_line(const std::string &path, const std::vector<std::string> &args)
{
    std::string line = path;
    for (const std::string &arg : args) {
        line += ' ';
        if (!needs_quotes(arg)) {
            line += arg;
            continue;
        }
        line += '\'';
        for (char c : arg) {
            if (c == '\'')
                line += "'\\''";
            else
                line += c;
        }
        line += '\'';
    }
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
    norm_rule rule{name, std::regex(pattern, std::regex::ECMAScript | std::regex::optimize), replacement};
    for (norm_rule &r : n.rules) {
        if (r.name == name) {
            r = rule;
            return;
        }
    }
    n.rules.push_back(rule);
}

bool remove_rule(normaliser &n, const std::string &name)
{
    auto it = std::find_if(n.rules.begin(), n.rules.end(), [&name](const norm_rule &r) { return r.name == name; });
    if (it == n.rules.end())
        return false;
    n.rules.erase(it);
    return true;
}

void add_throughput_rules(normaliser &n)
{
    add_rule(n, "throughput", R"(in \d+ ms \(\d+/sec, \d+ usec/op\))", "in <T> ms (<N>/sec, <N> usec/op)");
    add_rule(n, "throughput-fast", R"(in less than 1 ms \(over \d+/sec, \d+ usec/op\))",
             "in <T> ms (<N>/sec, <N> usec/op)");
}

std::string normalise(const normaliser &n, const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        const bool has_nl = nl != std::string::npos;
        if (!has_nl)
            nl = text.size();
        std::string line = text.substr(start, nl - start);
        for (const norm_rule &r : n.rules)
            line = std::regex_replace(line, r.pattern, r.replacement);
        out += line;
        if (has_nl)
            out += '\n';
        start = nl + 1;
    }
    return out;
}

std::string unified_diff(const std::string &expected, const std::string &actual, unsigned context)
{
    if (expected == actual)
        return {};
    const std::vector<text_line> a = split_lines(expected);
    const std::vector<text_line> b = split_lines(actual);
    const std::vector<edit> script = edit_script(a, b);

    std::string out;
    size_t k = 0;
    while (k < script.size()) {
        /* Next change, then the hunk around it: changes closer together than
         * twice the context share one hunk. */
        while (k < script.size() && script[k].kind == ' ')
            ++k;
        if (k == script.size())
            break;
        const size_t first = k >= context ? k - context : 0;
        size_t last = k;
        size_t scan = k;
        while (scan < script.size()) {
            if (script[scan].kind != ' ') {
                last = scan;
                ++scan;
                continue;
            }
            size_t run = scan;
            while (run < script.size() && script[run].kind == ' ')
                ++run;
            if (run == script.size() || run - scan > 2u * context)
                break;
            scan = run;
        }
        const size_t end = std::min(script.size(), last + 1 + context);

        /* Where the hunk starts in each text: count the lines before it. */
        size_t a_start = 0;
        size_t b_start = 0;
        for (size_t x = 0; x < first; ++x) {
            if (script[x].kind != '+')
                ++a_start;
            if (script[x].kind != '-')
                ++b_start;
        }
        size_t a_count = 0;
        size_t b_count = 0;
        for (size_t x = first; x < end; ++x) {
            if (script[x].kind != '+')
                ++a_count;
            if (script[x].kind != '-')
                ++b_count;
        }
        out += "@@ -" + hunk_range(a_start, a_count) + " +" + hunk_range(b_start, b_count) + " @@\n";
        for (size_t x = first; x < end; ++x) {
            const edit &e = script[x];
            append_diff_line(out, e.kind, e.kind == '+' ? b[e.b] : a[e.a]);
        }
        k = end;
    }
    return out;
}

::testing::AssertionResult output_matches(const std::string &expected_out, const exit_status &expected_status,
                                          const run_result &actual, const normaliser &n)
{
    const std::string out = normalise(n, actual.out);
    const bool out_ok = out == expected_out;
    const bool status_ok = actual.status == expected_status;
    if (out_ok && status_ok)
        return ::testing::AssertionSuccess();

    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    if (!out_ok)
        failure << "standard output differs (- expected, + actual, after normalisation):\n"
                << unified_diff(expected_out, out);
    if (!status_ok)
        failure << "exit status: expected " << describe(expected_status) << ", got " << describe(actual.status)
                << "\n";
    if (!actual.err.empty())
        failure << "standard error:\n"
                << (actual.err.size() > 8000 ? actual.err.substr(0, 8000) + "\n[...]\n" : actual.err);
    return failure;
}

::testing::AssertionResult run_golden(const golden_case &c, const normaliser &n, const run_options &options)
{
    const std::string path = program_path(c.program);
    const run_result r = run_program(path, c.args, options);
    ::testing::AssertionResult verdict = output_matches(c.expected_out, c.expected_status, r, n);
    if (verdict)
        return verdict;
    return ::testing::AssertionFailure() << c.title << "\n$ " << command_line(path, c.args) << "\n"
                                         << verdict.message();
}

} // namespace kel_golden

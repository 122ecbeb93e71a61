/*
 * golden.h - the harness of the golden-output tests.
 *
 * A golden test runs a small kel test program as a child process, captures
 * its standard output and error, masks what legitimately changes from run to
 * run (elapsed times, pids, pointers, results-segment names), and compares
 * the whole text and the exit status with what the test expects. On a
 * mismatch it shows a unified line diff in which trailing blanks and a
 * missing final line feed are visible, because the framework prints several
 * lines in pieces and a lost blank is otherwise invisible in a report.
 *
 * Each run has a time limit; the child is started in its own process group
 * so that a program that hangs is killed together with every process it
 * started.
 */
#ifndef KEL_GOLDEN_H
#define KEL_GOLDEN_H

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace kel_golden {

/* How a run ended. */
enum class end_kind {
    exited,      /* normal exit; value is the exit code */
    signalled,   /* terminated by a signal; value is the signal number */
    timed_out,   /* killed by the harness after the time limit; value is the limit in ms */
    not_started, /* the program could not be started; value is the errno */
};

struct exit_status {
    end_kind kind;
    int value;
};

/* The expected statuses, written as the tests read. */
exit_status exited_with(int code);
exit_status killed_by(int signo);
bool operator==(const exit_status &a, const exit_status &b);
/* "exit code 3", "signal 11 (Segmentation fault)", "time-out after 500 ms". */
std::string describe(const exit_status &status);

constexpr unsigned default_time_limit_ms = 30000;

struct run_options {
    /* "NAME=value" entries added to (or replacing in) the harness's environment. */
    std::vector<std::string> env;
    unsigned time_limit_ms = default_time_limit_ms;
    /* In a sanitizer build the sanitizers catch SIGSEGV and friends and turn
     * a crash into a report and exit code 1. By default the harness tells
     * them to leave crash signals alone, so a crash ends with its signal in
     * every build; set this to get their reports instead. */
    bool sanitizers_catch_crashes = false;
};

struct run_result {
    exit_status status;
    std::string out;           /* everything the program wrote to standard output */
    std::string err;           /* everything it wrote to standard error */
    uint64_t elapsed_ms;       /* from the start until the harness saw its end */
};

/* Runs path with the arguments args (argv[0] is path itself), standard input
 * from /dev/null, and waits until it ends or the time limit expires. On
 * expiry the whole process group of the child is killed with SIGKILL and the
 * status is end_kind::timed_out; what the program wrote until then is kept.
 * The run ends when the child has ended and every process holding its
 * output pipes has closed them, so a descendant that keeps them open past
 * the limit makes a time-out too.
 * Processes the child left behind in its group are killed as well when the
 * run ends, so no test leaks processes into the next. Core dumps are turned
 * off for the child, so a crash always reads as "terminated by signal". */
run_result run_program(const std::string &path, const std::vector<std::string> &args,
                       const run_options &options = {});

/* The path of a test program built by kel_add_test_program. */
std::string program_path(const std::string &name);

/* The command line as a shell would show it, for failure messages. */
std::string command_line(const std::string &path, const std::vector<std::string> &args);

/*
 * Normalisation: a list of named rules, each a regular expression
 * (ECMAScript syntax) and its replacement ($1... refer to groups). Rules are
 * applied in order to each line separately, so ^ and $ anchor at line
 * boundaries and no rule can join two lines.
 */
struct norm_rule {
    std::string name;
    std::regex pattern;
    std::string replacement;
};

struct normaliser {
    std::vector<norm_rule> rules;
};

/* Elapsed times, pids, pointers and results-segment names. */
normaliser default_normaliser();
/* Appends a rule, or replaces the rule of the same name. */
void add_rule(normaliser &n, const std::string &name, const std::string &pattern,
              const std::string &replacement);
/* Removes the rule of that name; false when there is none. */
bool remove_rule(normaliser &n, const std::string &name);
/* Opt-in: the numbers of throughput lines, for tests whose measured time
 * varies ("in 250 ms (2000/sec, 500 usec/op)" and the "less than 1 ms" form
 * both become "in <T> ms (<N>/sec, <N> usec/op)"). */
void add_throughput_rules(normaliser &n);
std::string normalise(const normaliser &n, const std::string &text);

/* A unified line diff of expected against actual: "-" lines only in expected,
 * "+" lines only in actual, " " context lines, "@@ -a,b +c,d @@" hunk
 * headers. Trailing blanks show as "\xc2\xb7" (a middle dot) each, control
 * characters as escapes, and a last line without line feed is followed by
 * "\ No newline at end of file". Empty when the texts are equal. */
std::string unified_diff(const std::string &expected, const std::string &actual, unsigned context = 3);

/* Compares the normalised standard output and the exit status of a run with
 * the expected ones; the failure message names what differs, shows the diff
 * and the program's standard error. */
::testing::AssertionResult output_matches(const std::string &expected_out, const exit_status &expected_status,
                                          const run_result &actual, const normaliser &n = default_normaliser());

/* One golden case, written as a transcript: what is shown, the program and
 * its arguments, the whole expected standard output and the exit status. */
struct golden_case {
    std::string title;
    std::string program;            /* a name for program_path */
    std::vector<std::string> args;
    std::string expected_out;
    exit_status expected_status;
};

/* Runs the case and compares; the failure message starts with the title and
 * the command line. */
::testing::AssertionResult run_golden(const golden_case &c, const normaliser &n = default_normaliser(),
                                      const run_options &options = {});

} // namespace kel_golden

#endif /* KEL_GOLDEN_H */

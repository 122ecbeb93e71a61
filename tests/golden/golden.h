/*
 * golden.h - a C++ harness that runs a test program as a child process and
 * compares its normalised standard output and exit status with expected
 * ones, for GoogleTest suites that build their expected texts in code (the
 * agent's tests). The golden scenarios themselves use run_scenario.sh.
 *
 * Each run has a time limit; the child runs in its own process group, which
 * is killed whole at the limit and when the child ends.
 */
#ifndef KEL_GOLDEN_H
#define KEL_GOLDEN_H

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace kel_golden {

enum class end_kind { exited, signalled, timed_out, not_started };

struct exit_status {
    end_kind kind;
    int value; /* exit code, signal, limit in ms, or errno */
};

exit_status exited_with(int code);
bool operator==(const exit_status &a, const exit_status &b);
std::string describe(const exit_status &status);

struct run_options {
    std::vector<std::string> env; /* "NAME=value" added to or replacing the harness's own */
    unsigned time_limit_ms = 30000;
};

struct run_result {
    exit_status status;
    std::string out, err;
    uint64_t elapsed_ms;
};

/* Runs path with args (argv[0] is path), standard input from /dev/null. */
run_result run_program(const std::string &path, const std::vector<std::string> &args,
                       const run_options &options = {});
/* The path of a program built by kel_add_test_program. */
std::string program_path(const std::string &name);
std::string command_line(const std::string &path, const std::vector<std::string> &args);

/* Named rules (ECMAScript regular expression and replacement), applied in
 * order to each line. */
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
void add_rule(normaliser &n, const std::string &name, const std::string &pattern, const std::string &replacement);
bool remove_rule(normaliser &n, const std::string &name);
std::string normalise(const normaliser &n, const std::string &text);

/* Compares the normalised output and the exit status; a failure shows a
 * diff -u of the outputs (trailing blanks end in '$') and standard error. */
::testing::AssertionResult output_matches(const std::string &expected_out, const exit_status &expected_status,
                                          const run_result &actual, const normaliser &n = default_normaliser());

} // namespace kel_golden

#endif /* KEL_GOLDEN_H */

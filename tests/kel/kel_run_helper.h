/*
 * kel_run_helper.h - runs kel_run in the test process with a command line
 * and returns its run code and standard output, with elapsed times
 * normalised. Used by the event checker's tests.
 */
#ifndef KEL_RUN_HELPER_H
#define KEL_RUN_HELPER_H

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "kel.h"

struct KelRunResult {
    int rc;
    std::string out;
};

inline std::string kel_normalise_times(const std::string &text)
{
    static const std::regex elapsed("Elapsed time = [0-9]+ ms");
    return std::regex_replace(text, elapsed, "Elapsed time = <T> ms");
}

inline KelRunResult kel_run_captured(kel_t *kel, std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    fflush(stdout);
    testing::internal::CaptureStdout();
    int rc = kel_run(static_cast<int>(args.size()), argv.data(), kel);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    return {rc, kel_normalise_times(out)};
}

#endif

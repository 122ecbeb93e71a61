/*
 * run_bench.cpp - what the framework itself costs a test program: passing
 * checks per second inside a test body, and whole test cases per second
 * through kel_run (header, pass line and counting included, output sent to
 * /dev/null), on a plain folder and on a multi-task folder.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kel.h"

namespace {

int64_t checks_per_body;

void body_checks()
{
    for (int64_t i = 0; i < checks_per_body; i++)
        kel_check(i >= 0);
}

void body_empty() {}

/* Runs the tree quietly with the given path and returns the run code. */
int run_quiet(kel_t *kel, const char *path)
{
    std::vector<std::string> args = {"bench", "-q", path};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return kel_run(static_cast<int>(args.size()), argv.data(), kel);
}

void BM_PassingChecks(benchmark::State &state)
{
    checks_per_body = state.range(0);
    kel_t *kel = nullptr;
    kel_create(&kel);
    kel_create_test_case(kel, nullptr, "checks", "", body_checks, KEL_TC_BASIC);
    for (auto _ : state)
        benchmark::DoNotOptimize(run_quiet(kel, "checks"));
    state.SetItemsProcessed(state.iterations() * checks_per_body);
    kel_destroy(&kel);
}
BENCHMARK(BM_PassingChecks)->Arg(100000);

void BM_TestCases(benchmark::State &state)
{
    kel_t *kel = nullptr;
    kel_create(&kel);
    kel_tc_t *f = kel_create_test_folder(kel, nullptr, "f", "");
    for (int64_t i = 0; i < state.range(0); i++) {
        char name[32];
        std::snprintf(name, sizeof name, "t%lld", static_cast<long long>(i));
        kel_create_test_case(kel, f, name, "", body_empty, KEL_TC_BASIC);
    }
    FILE *saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        std::vector<std::string> args = {"bench", "f"};
        std::vector<char *> argv = {args[0].data(), args[1].data(), nullptr};
        benchmark::DoNotOptimize(kel_run(2, argv.data(), kel));
    }
    std::fclose(stdout);
    stdout = saved;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    kel_destroy(&kel);
}
BENCHMARK(BM_TestCases)->Arg(1000);

void BM_MultiTaskFolder(benchmark::State &state)
{
    kel_t *kel = nullptr;
    kel_create(&kel);
    kel_tc_t *f = kel_create_test_folder(kel, nullptr, "mt", "");
    kel_multi_task_enable(f);
    kel_tc_t *t = kel_create_test_case(kel, f, "t", "", body_empty, KEL_TC_BASIC);
    kel_multi_task_set_count(t, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(run_quiet(kel, "mt"));
    state.SetItemsProcessed(state.iterations() * state.range(0));
    kel_destroy(&kel);
}
BENCHMARK(BM_MultiTaskFolder)->Arg(64);

} // namespace

BENCHMARK_MAIN();

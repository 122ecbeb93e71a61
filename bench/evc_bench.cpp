/*
 * evc_bench.cpp - what the event checker costs the code under test and
 * the test thread.
 *
 * Submit: one matching submission through kel_evc_queue_submit_ (lookup by
 * names, comparison, counting, its trace line and the heartbeat), with one
 * and with two threads submitting at once to their own queues of one
 * checker; the one mutex of the checker serialises them.
 *
 * Wakeup: the latency from the submission that completes every queue of a
 * checker to the return of kel_evc_dispatch_ on the test thread, which was
 * asleep in the dispatcher. The submitter waits until the kernel reports
 * the dispatching thread asleep, then takes the time and submits; the
 * dispatching thread takes the time when the dispatch returns.
 *
 *   evc_bench [--benchmark_filter=...] [--benchmark_repetitions=N]
 */
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "kel.h"

namespace {

kel_evc_t *g_submit_evc;

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

/* The kernel's run state of a thread of this process ('S': asleep). */
char thread_state(pid_t tid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return '?';
    char buf[512];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    std::string text(buf);
    size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}

void BM_Submit(benchmark::State &state)
{
    const char *queue = state.thread_index() == 0 ? "q0" : "q1";
    const kel_evc_event_t e = {1, 4, "data"};
    for (auto _ : state) {
        uint32_t rc = kel_evc_queue_submit("bench", queue, &e);
        benchmark::DoNotOptimize(rc);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Submit)->Threads(1)->Threads(2)->UseRealTime();

void BM_CompletionToDispatchReturn(benchmark::State &state)
{
    kel_evc_t *evc = nullptr;
    kel_evc_queue_t *q = nullptr;
    if (kel_evc_create(&evc, "wakeup", NULL) != 0 || kel_evc_queue_create(&q, evc, "q", NULL, NULL) != 0) {
        state.SkipWithError("cannot create the checker");
        return;
    }
    const kel_evc_event_t e = {7, 0, NULL};
    const pid_t dispatching = static_cast<pid_t>(syscall(SYS_gettid));
    std::atomic<uint64_t> go{0};
    std::atomic<uint64_t> submitted_at{0};
    std::atomic<bool> stop{false};
    std::thread submitter([&] {
        uint64_t seen = 0;
        for (;;) {
            uint64_t round;
            while ((round = go.load()) == seen && !stop.load())
                std::this_thread::yield();
            if (stop.load())
                return;
            seen = round;
            while (thread_state(dispatching) != 'S')
                std::this_thread::yield();
            submitted_at = now_ns();
            kel_evc_queue_submit("wakeup", "q", &e);
        }
    });
    uint64_t round = 0;
    for (auto _ : state) {
        kel_evc_queue_expect(q, &e, 1);
        go = ++round;
        uint32_t rc = kel_evc_dispatch(evc, 0);
        const uint64_t returned = now_ns();
        if (rc != 0) {
            state.SkipWithError("dispatch failed");
            break;
        }
        state.SetIterationTime(static_cast<double>(returned - submitted_at.load()) / 1e9);
    }
    stop = true;
    submitter.join();
    kel_evc_destroy(&evc);
}
BENCHMARK(BM_CompletionToDispatchReturn)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    /* The submit benchmark's checker: one queue per thread, each expecting
     * its event more often than any run submits it. */
    kel_evc_queue_t *q = nullptr;
    const kel_evc_event_t e = {1, 4, "data"};
    if (kel_evc_create(&g_submit_evc, "bench", NULL) != 0)
        return 1;
    for (const char *name : {"q0", "q1"}) {
        if (kel_evc_queue_create(&q, g_submit_evc, name, NULL, NULL) != 0 ||
            kel_evc_queue_expect(q, &e, 0xFFFFFFFFu) != 0)
            return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kel_evc_destroy(&g_submit_evc);
    return 0;
}

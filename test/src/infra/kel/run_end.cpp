/*
 * run_end.cpp - ending a run before the run driver reaches its end.
 *
 * Some faults leave no way back to kel_run's end: a test case that calls
 * exit(), a test case that runs past its time limit in the run's own
 * process, a master that is interrupted. They all end the same way: the
 * summary of what ran so far, printed as the end of a run prints it, then
 * the process ends at once with a run code that names the fault. The
 * threads that may still run test code are not waited for: the process ends
 * under them, which is why this path uses _exit and not exit.
 */
#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "messages.h"
#include "run_end.h"
#include "summary.h"

namespace {

std::atomic<kel_t *> running_instance{nullptr};
std::atomic<bool> ending{false};

/* How long the end waits for the failure queue's lock: a thread stuck
 * inside a test case never holds it, but the end must not hang on it. */
constexpr long queue_lock_wait_ms = 1000;

bool lock_queue(kel_t *kel)
{
    if (!kel->run.failed_mutex_ok)
        return false;
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += queue_lock_wait_ms / 1000;
    return pthread_mutex_timedlock(&kel->run.failed_mutex, &until) == 0;
}

} // namespace

void kel__running_set(kel_t *kel) { running_instance.store(kel, std::memory_order_release); }

kel_t *kel__running(void) { return running_instance.load(std::memory_order_acquire); }

void kel__end_run_now(kel_t *kel, int code)
{
    if (ending.exchange(true)) {
        /* Another thread is ending the process already. */
        for (;;)
            pause();
    }
    if (kel) {
        bool locked = lock_queue(kel);
        kel__print_master_summary(kel, locked);
        if (kel__verbose(kel->cfg.verbosity)) {
            printf(KEL_FMT_ELAPSED, static_cast<unsigned long long>(kel_get_time() - kel->run.start_ms));
        }
    }
    fflush(stdout);
    _exit(code);
}

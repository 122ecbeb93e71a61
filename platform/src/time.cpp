/*
 * time.cpp - clocks, conversions and sleeping.
 *
 * Intervals and deadlines inside orv run on CLOCK_MONOTONIC so that setting
 * the wall clock never stretches or cuts a wait; CLOCK_REALTIME is offered
 * only because condition-variable deadlines of default condition variables
 * are expressed on it.
 */
#include <errno.h>

#include "orv.h"
#include "orv_internal.h"

namespace {

constexpr uint64_t NSEC_PER_SEC = 1000000000u;
constexpr uint64_t NSEC_PER_MSEC = 1000000u;

} // namespace

uint64_t orv__timespec_to_ns(const struct timespec *ts)
{
    if (ts == nullptr || ts->tv_sec < 0)
        return 0;
    return static_cast<uint64_t>(ts->tv_sec) * NSEC_PER_SEC + static_cast<uint64_t>(ts->tv_nsec);
}

void orv__ns_to_timespec(uint64_t ns, struct timespec *ts)
{
    ts->tv_sec = static_cast<time_t>(ns / NSEC_PER_SEC);
    ts->tv_nsec = static_cast<long>(ns % NSEC_PER_SEC);
}

uint64_t orv__now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return orv__timespec_to_ns(&ts);
}

uint32_t orv_time_get_timespec(struct timespec *ts)
{
    if (ts == nullptr)
        return EINVAL;
    if (clock_gettime(CLOCK_MONOTONIC, ts) != 0)
        return static_cast<uint32_t>(errno);
    return 0;
}

uint32_t orv_time_get_timespec_realtime(struct timespec *ts)
{
    if (ts == nullptr)
        return EINVAL;
    if (clock_gettime(CLOCK_REALTIME, ts) != 0)
        return static_cast<uint32_t>(errno);
    return 0;
}

uint64_t orv_time_timespec_to_msec64(const struct timespec *ts)
{
    return orv__timespec_to_ns(ts) / NSEC_PER_MSEC;
}

void orv_time_msec64_to_timespec(uint64_t msec, struct timespec *ts)
{
    if (ts == nullptr)
        return;
    ts->tv_sec = static_cast<time_t>(msec / 1000u);
    ts->tv_nsec = static_cast<long>((msec % 1000u) * NSEC_PER_MSEC);
}

uint32_t orv_time_sleep(uint32_t msec)
{
    /* An absolute deadline makes the sleep resume after a signal for exactly
     * the time still owed, however often it is interrupted. */
    struct timespec deadline;
    orv__ns_to_timespec(orv__now_ns() + msec * NSEC_PER_MSEC, &deadline);
    for (;;) {
        int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (rc == 0)
            return 0;
        if (rc != EINTR)
            return static_cast<uint32_t>(rc);
    }
}

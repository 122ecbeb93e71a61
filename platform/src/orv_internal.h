/*
 * orv_internal.h - helpers shared between the orv source files.
 *
 * Nothing here is exported from liborv.so (the library builds with hidden
 * visibility); the functions are the common clock and identity primitives the
 * dispatcher, the trace buffers and the thread family all rely on.
 */
#ifndef ORV_INTERNAL_H
#define ORV_INTERNAL_H

#include <stdint.h>
#include <time.h>

/* time.cpp */
/* CLOCK_MONOTONIC in nanoseconds. */
uint64_t orv__now_ns(void);
/* Converts between nanosecond counts and timespecs (non-negative times). */
uint64_t orv__timespec_to_ns(const struct timespec *ts);
void orv__ns_to_timespec(uint64_t ns, struct timespec *ts);

/* thread.cpp */
/* The kernel thread id of the calling thread. */
uint32_t orv__gettid(void);

#endif /* ORV_INTERNAL_H */

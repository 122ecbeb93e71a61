/*
 * evc_test_util.h - what the event checker's tests share: reading the
 * checker's trace buffers back as normalised lines, events with and
 * without values, a look at a queue's state, and the platform wrappers
 * (linked with --wrap) that count the checker's dispatchers, watched
 * booleans, timers and buffers, let a test make one platform call fail,
 * keep a buffer's lines when it is closed and tell when the dispatcher
 * is about to sleep.
 */
#ifndef EVC_TEST_UTIL_H
#define EVC_TEST_UTIL_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "evc_internal.h"
#include "kel.h"
#include "orv.h"

namespace evc_test {

using Lines = std::vector<std::string>;

/* Pointers become <PTR> and the source lines of "[..]:N:" and "N:func"
 * prefixes become <L>; everything else stays as written. */
std::string normalise(const std::string &text);

/* The normalised lines an open buffer holds, oldest first (empty when the
 * buffer is not open). */
Lines read_buffer(const char *name);
/* The lines a buffer held when it was last closed. */
Lines closed_buffer(const char *name);
/* The lines that begin with prefix, in their order. */
Lines only(const Lines &lines, const std::string &prefix);
/* Drops every record of the three buffers (when open). */
void clear_buffers();
/* True when the three buffers are open. */
bool buffers_open();

/* An event without value, and one whose value is the bytes of text. */
kel_evc_event_t ev(uint32_t type);
kel_evc_event_t ev(uint32_t type, const char *text);

/* A queue's state as the dispatch judges it. */
bool queue_idle(const kel_evc_queue_t *q);
bool has_mismatch(const kel_evc_queue_t *q);
uint32_t expectations(const kel_evc_queue_t *q);

/* The platform calls the wrappers can make fail. fail_call makes the nth
 * call (1 = the next) of one fail once: calloc and strdup with NULL,
 * dm_create EAGAIN, wb_create ENOSPC, wb_set EIO, wb_register EBUSY,
 * avl_insert EEXIST, avl_tree_init EINVAL, buffer_init EMFILE,
 * timer_register ENOMEM, timer_settime EINVAL, dm_wait EINTR. */
enum class fault {
    none, calloc_, strdup_, dm_create, wb_create, wb_set, wb_register, avl_insert, avl_tree_init,
    buffer_init, timer_register, timer_settime, dm_wait,
};
void fail_call(fault f, int nth);
/* Disarms any armed failure. */
void no_faults();

/* Live objects made through the platform: created minus destroyed. */
struct live_counts {
    int dms, wbs, registrations, timers, buffers;
    bool operator==(const live_counts &o) const = default;
};
live_counts live();

/* Called (on the dispatching thread) each time orv_dm_wait is entered,
 * and each time a timer is armed; empty to stop. */
void on_wait(std::function<void()> hook);
void on_settime(std::function<void()> hook);

/* CPU time (user + system) of the calling thread, in microseconds. */
long thread_cpu_us();

/* Fixture: every test starts and must end without checkers, faults or
 * hooks. */
class EvcTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace evc_test

#endif

/*
 * evc_test_util.cpp - trace reading, normalisation and the platform
 * wrappers of the event checker's tests.
 *
 * The test binary is linked with --wrap for the platform calls below, so
 * every call the checker's objects make reaches __wrap_X first, which
 * counts what was made and released, fails the call when a test armed that,
 * and then calls the real function (__real_X).
 */
#include "evc_test_util.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <map>
#include <mutex>
#include <regex>

namespace evc_test {
namespace {

std::atomic<int> armed_fault{static_cast<int>(fault::none)};
std::atomic<int> armed_countdown{0};

std::atomic<int> live_dms{0}, live_wbs{0}, live_registrations{0}, live_timers{0}, live_buffers{0};
std::atomic<int> uncounted{0}; /* for the wrappers that count nothing */

std::mutex state_mutex;
std::map<std::string, Lines> closed_lines;
std::function<void()> wait_hook;
std::function<void()> settime_hook;

live_counts baseline;

/* True when this call of f is the one armed to fail (never for none). */
bool hit(fault f)
{
    if (f == fault::none || armed_fault.load() != static_cast<int>(f))
        return false;
    if (armed_countdown.fetch_sub(1) != 1)
        return false;
    armed_fault = static_cast<int>(fault::none);
    return true;
}

uint32_t collect(const orv_dt_record_t *record, void *arg)
{
    static_cast<Lines *>(arg)->push_back(normalise(record->text));
    return 0;
}

Lines lines_of(orv_dt_buffer_t *buf)
{
    Lines lines;
    if (buf != nullptr)
        orv_dt_buffer_read(buf, collect, &lines);
    return lines;
}

void run_hook(const std::function<void()> &hook)
{
    std::function<void()> copy;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        copy = hook;
    }
    if (copy)
        copy();
}

} // namespace

std::string normalise(const std::string &text)
{
    static const std::regex pointer("0x[0-9a-f]+");
    static const std::regex bracket_line(R"(^(\[[^\]]*\]):[0-9]+:)");
    static const std::regex init_line(R"(^[0-9]+:kel_evc_glb_init)");
    static const std::regex error_line(R"(^([a-z_]+\(\)):[0-9]+:)");
    std::string s = std::regex_replace(text, pointer, "<PTR>");
    s = std::regex_replace(s, bracket_line, "$1:<L>:");
    s = std::regex_replace(s, init_line, "<L>:kel_evc_glb_init");
    return std::regex_replace(s, error_line, "$1:<L>:");
}

Lines read_buffer(const char *name)
{
    return lines_of(orv_dt_buffer_find(name));
}

Lines closed_buffer(const char *name)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    return closed_lines[name];
}

Lines only(const Lines &lines, const std::string &prefix)
{
    Lines out;
    for (const std::string &l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            out.push_back(l);
    return out;
}

void clear_buffers()
{
    for (const char *name : {KEL_EVC_BUF_TRACES, KEL_EVC_BUF_EVENTS, KEL_EVC_BUF_ERRORS}) {
        orv_dt_buffer_t *buf = orv_dt_buffer_find(name);
        if (buf != nullptr)
            orv_dt_buffer_clear(buf);
    }
}

bool buffers_open()
{
    return orv_dt_buffer_find(KEL_EVC_BUF_TRACES) != nullptr && orv_dt_buffer_find(KEL_EVC_BUF_EVENTS) != nullptr &&
           orv_dt_buffer_find(KEL_EVC_BUF_ERRORS) != nullptr;
}

kel_evc_event_t ev(uint32_t type)
{
    return kel_evc_event_t{type, 0, nullptr};
}

kel_evc_event_t ev(uint32_t type, const char *text)
{
    return kel_evc_event_t{type, static_cast<uint32_t>(strlen(text)), text};
}

bool queue_idle(const kel_evc_queue_t *q)
{
    return orv_queue_empty(&q->evcq_expected) && q->evcq_timeout == 1;
}

bool has_mismatch(const kel_evc_queue_t *q)
{
    return q->mismatch.file != nullptr || q->mismatch.event.val != nullptr;
}

uint32_t expectations(const kel_evc_queue_t *q)
{
    return orv_queue_size(&q->evcq_expected);
}

void fail_call(fault f, int nth)
{
    armed_fault = static_cast<int>(fault::none);
    armed_countdown = nth;
    armed_fault = static_cast<int>(f);
}

void no_faults()
{
    armed_fault = static_cast<int>(fault::none);
}

live_counts live()
{
    return {live_dms.load(), live_wbs.load(), live_registrations.load(), live_timers.load(), live_buffers.load()};
}

void on_wait(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    wait_hook = std::move(hook);
}

void on_settime(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(state_mutex);
    settime_hook = std::move(hook);
}

long thread_cpu_us()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000L + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

void EvcTest::SetUp()
{
    no_faults();
    ASSERT_EQ(kel_evc_glb, nullptr) << "a checker survived an earlier test";
    baseline = live();
}

void EvcTest::TearDown()
{
    no_faults();
    on_wait(nullptr);
    on_settime(nullptr);
    EXPECT_EQ(kel_evc_glb, nullptr) << "the test left a checker behind";
    EXPECT_TRUE(live() == baseline) << "platform objects leaked: dms " << live().dms - baseline.dms << ", wbs "
                                    << live().wbs - baseline.wbs << ", registrations "
                                    << live().registrations - baseline.registrations << ", timers "
                                    << live().timers - baseline.timers << ", buffers "
                                    << live().buffers - baseline.buffers;
}

} // namespace evc_test

using evc_test::fault;
using evc_test::hit;

/* The wrapped platform and libc calls. They are exported: with the
 * sanitizers' runtimes linked as shared libraries the linker wants the
 * wrappers of the libc calls visible. */
#pragma GCC visibility push(default)
extern "C" {

#define WRAP_DECL(ret, fn, params) \
    ret __real_##fn params;        \
    ret __wrap_##fn params;
WRAP_DECL(void *, calloc, (size_t n, size_t size))
WRAP_DECL(char *, strdup, (const char *s))
WRAP_DECL(uint32_t, orv_dm_create, (orv_dm_t **dm, const char *name, uint32_t flags))
WRAP_DECL(uint32_t, orv_dm_destroy, (orv_dm_t *dm))
WRAP_DECL(uint32_t, orv_dm_wait, (orv_dm_t *dm))
WRAP_DECL(uint32_t, orv_dm_watched_boolean_create, (const char *name, bool initial, orv_dm_wb_t **wb))
WRAP_DECL(uint32_t, orv_dm_watched_boolean_destroy, (orv_dm_wb_t *wb))
WRAP_DECL(uint32_t, orv_dm_watched_boolean_set, (orv_dm_wb_t *wb, bool value))
WRAP_DECL(uint32_t, orv_dm_watched_boolean_register,
          (orv_dm_t *dm, orv_dm_wb_t *wb, orv_dm_wb_handler_fn handler, void *ctx))
WRAP_DECL(uint32_t, orv_dm_watched_boolean_deregister, (orv_dm_t *dm, orv_dm_wb_t *wb))
WRAP_DECL(uint32_t, orv_dm_timer_register,
          (orv_dm_t *dm, orv_dm_timer_t **timer, orv_dm_timer_handler_fn handler, void *ctx))
WRAP_DECL(uint32_t, orv_dm_timer_settime, (orv_dm_t *dm, orv_dm_timer_t *timer, const struct timespec *rel))
WRAP_DECL(uint32_t, orv_avl_insert, (orv_avl_tree_t *tree, orv_avl_node_t *node))
WRAP_DECL(uint32_t, orv_avl_tree_init, (orv_avl_tree_t *tree, orv_avl_cmp_fn cmp, uint32_t flags))
WRAP_DECL(uint32_t, orv_dt_buffer_init, (orv_dt_buffer_t **buf, const char *name, uint32_t flags, uint32_t size))
WRAP_DECL(uint32_t, orv_dt_buffer_close, (orv_dt_buffer_t *buf))

/* A call that fails with err when a test armed fault f, and otherwise
 * forwards and adds delta to the live count when it succeeds. */
#define COUNTED_WRAP(fn, f, err, live, delta, params, args) \
    uint32_t __wrap_##fn params                             \
    {                                                       \
        if (hit(f))                                         \
            return err;                                     \
        uint32_t rc = __real_##fn args;                     \
        if (rc == 0)                                        \
            evc_test::live += delta;                        \
        return rc;                                          \
    }
COUNTED_WRAP(orv_dm_create, fault::dm_create, EAGAIN, live_dms, 1, (orv_dm_t **dm, const char *name, uint32_t flags),
             (dm, name, flags))
COUNTED_WRAP(orv_dm_destroy, fault::none, 0, live_dms, -1, (orv_dm_t *dm), (dm))
COUNTED_WRAP(orv_dm_watched_boolean_create, fault::wb_create, ENOSPC, live_wbs, 1,
             (const char *name, bool initial, orv_dm_wb_t **wb), (name, initial, wb))
COUNTED_WRAP(orv_dm_watched_boolean_destroy, fault::none, 0, live_wbs, -1, (orv_dm_wb_t *wb), (wb))
COUNTED_WRAP(orv_dm_watched_boolean_set, fault::wb_set, EIO, uncounted, 0, (orv_dm_wb_t *wb, bool value), (wb, value))
COUNTED_WRAP(orv_dm_watched_boolean_register, fault::wb_register, EBUSY, live_registrations, 1,
             (orv_dm_t *dm, orv_dm_wb_t *wb, orv_dm_wb_handler_fn handler, void *ctx), (dm, wb, handler, ctx))
COUNTED_WRAP(orv_dm_watched_boolean_deregister, fault::none, 0, live_registrations, -1,
             (orv_dm_t *dm, orv_dm_wb_t *wb), (dm, wb))
COUNTED_WRAP(orv_avl_insert, fault::avl_insert, EEXIST, uncounted, 0, (orv_avl_tree_t *tree, orv_avl_node_t *node),
             (tree, node))
COUNTED_WRAP(orv_avl_tree_init, fault::avl_tree_init, EINVAL, uncounted, 0,
             (orv_avl_tree_t *tree, orv_avl_cmp_fn cmp, uint32_t flags), (tree, cmp, flags))
COUNTED_WRAP(orv_dt_buffer_init, fault::buffer_init, EMFILE, live_buffers, 1,
             (orv_dt_buffer_t **buf, const char *name, uint32_t flags, uint32_t size), (buf, name, flags, size))

void *__wrap_calloc(size_t n, size_t size)
{
    return hit(fault::calloc_) ? nullptr : __real_calloc(n, size);
}

char *__wrap_strdup(const char *s)
{
    return hit(fault::strdup_) ? nullptr : __real_strdup(s);
}

uint32_t __wrap_orv_dm_wait(orv_dm_t *dm)
{
    evc_test::run_hook(evc_test::wait_hook);
    return hit(fault::dm_wait) ? EINTR : __real_orv_dm_wait(dm);
}

uint32_t __wrap_orv_dm_timer_register(orv_dm_t *dm, orv_dm_timer_t **timer, orv_dm_timer_handler_fn handler,
                                      void *ctx)
{
    const bool release = handler == nullptr && ctx == nullptr;
    if (!release && hit(fault::timer_register))
        return ENOMEM;
    uint32_t rc = __real_orv_dm_timer_register(dm, timer, handler, ctx);
    if (rc == 0)
        evc_test::live_timers += release ? -1 : 1;
    return rc;
}

uint32_t __wrap_orv_dm_timer_settime(orv_dm_t *dm, orv_dm_timer_t *timer, const struct timespec *rel)
{
    if (hit(fault::timer_settime))
        return EINVAL;
    uint32_t rc = __real_orv_dm_timer_settime(dm, timer, rel);
    evc_test::run_hook(evc_test::settime_hook);
    return rc;
}

/* Keeps the lines of a checker's buffer as it is closed. */
uint32_t __wrap_orv_dt_buffer_close(orv_dt_buffer_t *buf)
{
    evc_test::Lines lines = evc_test::lines_of(buf);
    std::string name;
    for (const char *n : {KEL_EVC_BUF_TRACES, KEL_EVC_BUF_EVENTS, KEL_EVC_BUF_ERRORS})
        if (orv_dt_buffer_find(n) == buf)
            name = n;
    uint32_t rc = __real_orv_dt_buffer_close(buf);
    if (rc == 0) {
        evc_test::live_buffers--;
        std::lock_guard<std::mutex> lock(evc_test::state_mutex);
        evc_test::closed_lines[name] = std::move(lines);
    }
    return rc;
}

} // extern "C"
#pragma GCC visibility pop

/*
 * trace_test.cpp - named trace buffers.
 *
 * Records are read back exactly: sequence, time, writer thread and text.
 * A small buffer drops its oldest records and keeps its text budget, and
 * eight writers at once must leave every record whole and in each writer's
 * own order.
 */
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orv.h"

namespace {

struct held {
    uint64_t seq;
    uint64_t msec;
    uint32_t tid;
    std::string text;
};

uint32_t collect(const orv_dt_record_t *r, void *arg)
{
    static_cast<std::vector<held> *>(arg)->push_back({r->seq, r->msec, r->tid, r->text});
    return 0;
}

std::vector<held> read_all(orv_dt_buffer_t *buf)
{
    std::vector<held> out;
    EXPECT_EQ(orv_dt_buffer_read(buf, collect, &out), 0u);
    return out;
}

uint64_t now_ms()
{
    struct timespec ts;
    orv_time_get_timespec(&ts);
    return orv_time_timespec_to_msec64(&ts);
}

uint32_t g_all_ones = UINT32_MAX;

} // namespace

TEST(Trace, RecordsReadBackExactlyAndDump)
{
    orv_dt_buffer_t *buf = nullptr;
    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test.basic", 0, 4096), 0u);
    uint64_t before = now_ms();
    _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "first %d", 1);
    _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "[%s]:%d:%s():x", "evc", 42, "fn");
    _orv_dt_log_filter_adv(buf, nullptr, 5, 0, "%s", "");
    uint64_t after = now_ms();

    std::vector<held> r = read_all(buf);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].text, "first 1");
    EXPECT_EQ(r[1].text, "[evc]:42:fn():x");
    EXPECT_EQ(r[2].text, "");
    uint32_t me = static_cast<uint32_t>(syscall(SYS_gettid));
    for (size_t i = 0; i < r.size(); i++) {
        EXPECT_EQ(r[i].seq, i + 1);
        EXPECT_EQ(r[i].tid, me);
        EXPECT_GE(r[i].msec, before);
        EXPECT_LE(r[i].msec, after);
    }
    uint32_t n = 0;
    uint64_t dropped = 1;
    ASSERT_EQ(orv_dt_buffer_stats(buf, &n, &dropped), 0u);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(dropped, 0u);

    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(orv_dt_buffer_dump(buf, f), 0u);
    fclose(f);
    std::string expected;
    for (const held &h : r)
        expected += std::to_string(h.seq) + " " + std::to_string(h.msec) + " " + std::to_string(h.tid) + " " +
                    h.text + "\n";
    EXPECT_EQ(std::string(text, len), expected);
    free(text);

    /* Clear drops everything and resets the drop count; numbering goes on. */
    ASSERT_EQ(orv_dt_buffer_clear(buf), 0u);
    EXPECT_TRUE(read_all(buf).empty());
    _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "after clear");
    r = read_all(buf);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].seq, 4u);
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);
}

TEST(Trace, NamesAreRegisteredWhileOpen)
{
    orv_dt_buffer_t *a = nullptr;
    orv_dt_buffer_t *b = nullptr;
    EXPECT_EQ(orv_dt_buffer_find("orv.test.reg"), nullptr);
    ASSERT_EQ(orv_dt_buffer_init(&a, "orv.test.reg", 0, 100), 0u);
    ASSERT_EQ(orv_dt_buffer_init(&b, "orv.test.reg2", 0, 100), 0u);
    EXPECT_EQ(orv_dt_buffer_find("orv.test.reg"), a);
    EXPECT_EQ(orv_dt_buffer_find("orv.test.reg2"), b);
    orv_dt_buffer_t *dup = a;
    EXPECT_EQ(orv_dt_buffer_init(&dup, "orv.test.reg", 0, 100), static_cast<uint32_t>(EEXIST));
    EXPECT_EQ(dup, nullptr);
    EXPECT_EQ(orv_dt_buffer_init(&dup, "", 0, 100), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_dt_buffer_init(&dup, "orv.test.zero", 0, 0), static_cast<uint32_t>(EINVAL));

    ASSERT_EQ(orv_dt_buffer_close(a), 0u);
    EXPECT_EQ(orv_dt_buffer_find("orv.test.reg"), nullptr);
    EXPECT_EQ(orv_dt_buffer_find("orv.test.reg2"), b);
    ASSERT_EQ(orv_dt_buffer_close(b), 0u);
    /* A name can be opened again once closed. */
    ASSERT_EQ(orv_dt_buffer_init(&a, "orv.test.reg", 0, 100), 0u);
    EXPECT_EQ(orv_dt_buffer_find("orv.test.reg"), a);
    ASSERT_EQ(orv_dt_buffer_close(a), 0u);
    EXPECT_EQ(orv_dt_buffer_close(nullptr), static_cast<uint32_t>(EINVAL));
}

TEST(Trace, FilterWordSelectsLevels)
{
    orv_dt_buffer_t *buf = nullptr;
    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test.filter", 0, 1000), 0u);
    uint32_t none = 0;
    uint32_t bit3 = 1u << 3;
    _orv_dt_log_filter_adv(buf, &none, 0, 0, "no-0");
    _orv_dt_log_filter_adv(buf, &bit3, 2, 0, "no-2");
    _orv_dt_log_filter_adv(buf, &bit3, 3, 0, "yes-3");
    _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "yes-all-0");
    _orv_dt_log_filter_adv(buf, &g_all_ones, 31, 0, "yes-all-31");
    _orv_dt_log_filter_adv(buf, &bit3, 35, 0, "no-35");
    _orv_dt_log_filter_adv(buf, nullptr, 7, 0, "yes-null");
    std::vector<held> r = read_all(buf);
    std::vector<std::string> texts;
    for (const held &h : r)
        texts.push_back(h.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"yes-3", "yes-all-0", "yes-all-31", "yes-null"}));
    _orv_dt_log_filter_adv(nullptr, &g_all_ones, 0, 0, "no buffer: ignored");
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);
}

TEST(Trace, FullBufferDropsOldestWithinItsBudget)
{
    /* Each "rec-NNN" record costs 7 text bytes plus its NUL: 12 fit in 100. */
    orv_dt_buffer_t *buf = nullptr;
    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test.wrap", 0, 100), 0u);
    for (int i = 1; i <= 50; i++)
        _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "rec-%03d", i);
    std::vector<held> r = read_all(buf);
    ASSERT_EQ(r.size(), 12u);
    for (size_t i = 0; i < r.size(); i++) {
        char want[16];
        snprintf(want, sizeof want, "rec-%03zu", 39 + i);
        EXPECT_EQ(r[i].text, want);
        EXPECT_EQ(r[i].seq, 39 + i);
    }
    uint32_t n = 0;
    uint64_t dropped = 0;
    orv_dt_buffer_stats(buf, &n, &dropped);
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(dropped, 38u);

    /* A longer record pushes out as many old ones as it needs. */
    std::string big(60, 'B');
    _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "%s", big.c_str());
    r = read_all(buf);
    size_t budget = 0;
    for (const held &h : r)
        budget += h.text.size() + 1;
    EXPECT_LE(budget, 100u);
    ASSERT_EQ(r.size(), 5u); /* 4 small ones (32 bytes) and the big one (61) */
    EXPECT_EQ(r.back().text, big);
    EXPECT_EQ(r.front().text, "rec-047");

    /* Texts are cut to the buffer's budget and to the record maximum. */
    std::string huge(5000, 'h');
    _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "%s", huge.c_str());
    r = read_all(buf);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, huge.substr(0, 99));
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);

    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test.max", 0, 8192), 0u);
    _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "%s", huge.c_str());
    r = read_all(buf);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].text, huge.substr(0, ORV_DT_MAX_RECORD - 1));
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);
}

namespace {

/* Counts its calls; stops the read with 77 at call number stop, or with
 * stop 0 logs into the very buffer being read. */
struct reader_ctx {
    orv_dt_buffer_t *buf;
    int stop;
    int calls;
};

uint32_t reader(const orv_dt_record_t *r, void *arg)
{
    reader_ctx *c = static_cast<reader_ctx *>(arg);
    if (c->stop != 0)
        return ++c->calls == c->stop ? 77u : 0u;
    c->calls++;
    _orv_dt_log_filter_adv(c->buf, &g_all_ones, 0, 0, "echo %" PRIu64, r->seq);
    return 0;
}

} // namespace

TEST(Trace, ReaderMayStopOrLogIntoTheSameBuffer)
{
    orv_dt_buffer_t *buf = nullptr;
    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test.reader", 0, 4096), 0u);
    for (int i = 0; i < 10; i++)
        _orv_dt_log_filter_adv(buf, &g_all_ones, 0, 0, "r%d", i);
    reader_ctx stop = {buf, 3, 0};
    EXPECT_EQ(orv_dt_buffer_read(buf, reader, &stop), 77u);
    EXPECT_EQ(stop.calls, 3);
    reader_ctx relog = {buf, 0, 0};
    EXPECT_EQ(orv_dt_buffer_read(buf, reader, &relog), 0u);
    EXPECT_EQ(relog.calls, 10) << "records written during the read wait for the next one";
    std::vector<held> r = read_all(buf);
    ASSERT_EQ(r.size(), 20u);
    EXPECT_EQ(r[19].text, "echo 10");
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);
}

namespace {

constexpr int WRITERS = 8;
constexpr int PER_WRITER = 4000;

struct writer_arg {
    orv_dt_buffer_t *buf;
    int index;
};

/* The payload repeats a letter derived from writer and counter, so a torn or
 * interleaved record shows up as a wrong letter or a wrong length. */
std::string payload(int writer, int counter)
{
    return std::string(static_cast<size_t>(10 + (writer * 7 + counter) % 50),
                       static_cast<char>('a' + (writer + counter) % 26));
}

void *writer(void *p)
{
    writer_arg *a = static_cast<writer_arg *>(p);
    for (int i = 0; i < PER_WRITER; i++)
        _orv_dt_log_filter_adv(a->buf, &g_all_ones, 0, 0, "w%d c%d %s", a->index, i,
                               payload(a->index, i).c_str());
    return nullptr;
}

struct checker {
    int last[WRITERS];
    uint64_t last_seq;
    bool ok;
    std::string bad;
};

uint32_t check_record(const orv_dt_record_t *r, void *arg)
{
    checker *c = static_cast<checker *>(arg);
    int w = -1;
    int i = -1;
    int consumed = 0;
    if (sscanf(r->text, "w%d c%d %n", &w, &i, &consumed) != 2 || w < 0 || w >= WRITERS || i < 0 ||
        std::string(r->text + consumed) != payload(w, i) || i <= c->last[w] || r->seq <= c->last_seq) {
        c->ok = false;
        c->bad = r->text;
        return 1;
    }
    c->last[w] = i;
    c->last_seq = r->seq;
    return 0;
}

void reset(checker *c)
{
    for (int &l : c->last)
        l = -1;
    c->last_seq = 0;
    c->ok = true;
}

} // namespace

TEST(Trace, EightConcurrentWritersLeaveEveryRecordWhole)
{
    orv_dt_buffer_t *buf = nullptr;
    ASSERT_EQ(orv_dt_buffer_init(&buf, "orv.test.concurrent", 0, 32767), 0u);
    writer_arg args[WRITERS];
    orv_thread_t ids[WRITERS];
    for (int i = 0; i < WRITERS; i++) {
        args[i] = {buf, i};
        ASSERT_EQ(orv_thread_create(&ids[i], nullptr, writer, &args[i], "orv writer"), 0u);
    }
    /* Read while they write: every snapshot must be consistent too. */
    checker c;
    for (int round = 0; round < 20; round++) {
        reset(&c);
        ASSERT_EQ(orv_dt_buffer_read(buf, check_record, &c), 0u) << c.bad;
    }
    for (orv_thread_t id : ids)
        ASSERT_EQ(orv_thread_join(id, nullptr), 0u);

    reset(&c);
    ASSERT_EQ(orv_dt_buffer_read(buf, check_record, &c), 0u) << c.bad;
    uint32_t n = 0;
    uint64_t dropped = 0;
    ASSERT_EQ(orv_dt_buffer_stats(buf, &n, &dropped), 0u);
    EXPECT_EQ(n + dropped, static_cast<uint64_t>(WRITERS) * PER_WRITER);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(c.last_seq, static_cast<uint64_t>(WRITERS) * PER_WRITER) << "the newest record is held";
    ASSERT_EQ(orv_dt_buffer_close(buf), 0u);
}

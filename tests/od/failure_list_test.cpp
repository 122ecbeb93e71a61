/*
 * failure_list_test.cpp - the packed failure list: what a slave packs into
 * its 1024-byte failure area (texts cut to 253 bytes, the cut mark when the
 * area fills) and how the master's summary prints a reported record, byte for
 * byte, including lists that come from a broken or hostile sender.
 *
 * Lists handed to the printer sit in heap blocks of exactly summary_len
 * bytes, so a read past the end shows up under AddressSanitizer.
 */
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failure_list.h"
#include "kel_types.h"

namespace {

using bytes = std::vector<uint8_t>;

/* Nodes below an instance node; only names and parents matter for paths. */
struct test_tree {
    kel_tc_t instance{};
    std::deque<kel_tc_t> nodes;
    std::deque<std::string> names;

    kel_tc_t *add(kel_tc_t *parent, const std::string &name)
    {
        names.push_back(name);
        nodes.emplace_back();
        kel_tc_t *tc = &nodes.back();
        tc->parent = parent != NULL ? parent : &instance;
        tc->name = names.back().data();
        return tc;
    }
};

kel_failed_info_t local_record(kel_tc_t *tc, const char *file, int line, const char *function,
                               const char *condition)
{
    kel_failed_info_t rec{};
    rec.is_local = 1;
    rec.local.tc = tc;
    rec.local.file = file;
    rec.local.line = line;
    rec.local.function = function;
    rec.local.condition = condition;
    return rec;
}

/* A 1028-byte slot area filled with a marker, so bytes the writer must not
 * touch can be checked; the writer may use 1024 of them. */
struct packed_area {
    bytes area = bytes(KEL_RES_SUMMARY_SIZE, 0xAA);
    size_t used = 0;

    packed_area() { kel__fl_init(area.data(), KEL_RES_SUMMARY_USED, &used); }
    void append(const kel_failed_info_t &rec)
    {
        kel__fl_append(area.data(), KEL_RES_SUMMARY_USED, &used, &rec);
    }
    bytes list() const { return bytes(area.begin(), area.begin() + static_cast<long>(used)); }
};

void put_text(bytes &out, const std::string &text)
{
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

bytes entry(const std::string &path, const std::string &location, const std::string &condition)
{
    bytes out;
    put_text(out, path);
    put_text(out, location);
    put_text(out, condition);
    return out;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

const bytes END = {KEL_FL_END};
const bytes CUT = {KEL_FL_TRUNCATED};

/* A reported record whose summary is a heap block of exactly the list's
 * size (NULL for an empty one); pid 0 means a remote process on node. */
struct reported {
    kel_failed_info_t rec{};

    reported(const bytes &list, uint16_t proc, int32_t pid, const char *node = "10.0.0.7")
    {
        rec.is_local = 0;
        rec.reported.proc = proc;
        rec.reported.pid = pid;
        if (pid == 0) {
            inet_pton(AF_INET, node, &rec.reported.node);
        }
        if (!list.empty()) {
            rec.reported.summary = static_cast<char *>(malloc(list.size()));
            memcpy(rec.reported.summary, list.data(), list.size());
        }
        rec.reported.summary_len = static_cast<uint32_t>(list.size());
    }
    ~reported() { free(rec.reported.summary); }
    reported(const reported &) = delete;
    reported &operator=(const reported &) = delete;

    std::string print() const
    {
        testing::internal::CaptureStdout();
        kel__fl_print_reported(&rec);
        return testing::internal::GetCapturedStdout();
    }
};

std::string print_list(const bytes &list, uint16_t proc, int32_t pid)
{
    return reported(list, proc, pid).print();
}

} // namespace

TEST(FailureList, PackedRecordsPrintAsTheSummaryShowsThem)
{
    test_tree t;
    kel_tc_t *outer = t.add(NULL, "outer");
    kel_tc_t *inner = t.add(outer, "inner");
    kel_tc_t *leaf = t.add(inner, "leaf");
    kel_tc_t *top = t.add(NULL, "top");

    packed_area p;
    EXPECT_EQ(1u, p.used);
    EXPECT_EQ(END, p.list()) << "an empty list is its end byte";

    p.append(local_record(leaf, "suite.c", 42, "check_sum", "sum == 3"));
    p.append(local_record(top, NULL, 0, NULL, NULL)); /* like an unexpected success */
    p.append(local_record(leaf, "x.c", -1, "f", ""));
    const bytes want = cat({entry("outer:inner:leaf", "suite.c:42:check_sum", "sum == 3"),
                            entry("top", ":0:", ""), entry("outer:inner:leaf", "x.c:-1:f", ""), END});
    EXPECT_EQ(want, p.list());
    EXPECT_EQ(want.size(), p.used);
    for (size_t i = p.used; i < p.area.size(); i++) {
        ASSERT_EQ(0xAA, p.area[i]) << "byte " << i << " lies past the list";
    }

    EXPECT_EQ("---- outer:inner:leaf:[PROC 3 pid=4321]\n"
              "     suite.c:42:check_sum()\n"
              "     condition(sum == 3)\n"
              "---- top:[PROC 3 pid=4321]\n"
              "     :0:()\n"
              "---- outer:inner:leaf:[PROC 3 pid=4321]\n"
              "     x.c:-1:f()\n"
              "\n",
              print_list(p.list(), 3, 4321));

    EXPECT_EQ("---- top:[PROC 65535 node=10.0.0.7]\n     :0:()\n\n",
              print_list(cat({entry("top", ":0:", ""), END}), 65535, 0)) << "a remote sender is named by its node";

    EXPECT_EQ("\n", print_list(END, 1, 4321)) << "an empty list prints only the record's end";
}

TEST(FailureList, TextsAreCutTo253Bytes)
{
    test_tree t;
    const std::string a200(200, 'a'), b100(100, 'b');
    kel_tc_t *leaf = t.add(t.add(NULL, a200), b100);
    const std::string file(300, 'f'), condition(254, 'c');

    packed_area p;
    p.append(local_record(leaf, file.c_str(), 7, "fn", condition.c_str()));
    const std::string path = (a200 + ":" + b100).substr(0, 253);
    const std::string location = file.substr(0, 253);
    const std::string cond = condition.substr(0, 253);
    EXPECT_EQ(cat({entry(path, location, cond), END}), p.list());

    EXPECT_EQ("---- " + path + ":[PROC 1 pid=10]\n     " + location + "()\n     condition(" + cond + ")\n\n",
              print_list(p.list(), 1, 10));

    /* Exactly 253 stays whole, including a location whose line number is
     * what crosses the limit. */
    const std::string n126(126, 'n'), c253(253, 'c'), f248(248, 'f');
    kel_tc_t *exact = t.add(t.add(NULL, n126), n126);
    kel_tc_t *s = t.add(NULL, "s");
    packed_area q;
    q.append(local_record(exact, f248.c_str(), 123, "", c253.c_str()));
    q.append(local_record(s, f248.c_str(), 1234, "", ""));
    EXPECT_EQ(cat({entry(n126 + ":" + n126, f248 + ":123:", c253), entry("s", f248 + ":1234", ""), END}), q.list());
}

TEST(FailureList, AFullAreaEndsWithTheCutMark)
{
    test_tree t;
    kel_tc_t *p_node = t.add(NULL, "p");
    /* Each entry is 1 + "p" + 1 + "f:1:g" + 1 + condition: 9 + k bytes, and
     * needs 10 + k bytes of room for itself and the end byte after it. */
    const std::string c253(253, 'x'), c228(228, 'y'), c229(229, 'z');
    const kel_failed_info_t big = local_record(p_node, "f", 1, "g", c253.c_str());
    const kel_failed_info_t fits = local_record(p_node, "f", 1, "g", c228.c_str());
    const kel_failed_info_t one_more = local_record(p_node, "f", 1, "g", c229.c_str());
    const kel_failed_info_t small = local_record(p_node, "f", 1, "g", NULL);

    /* Three entries of 262 bytes end at 786; an entry needing exactly the 238
     * bytes left fills the area to its last byte, and the next one is cut. */
    packed_area exact;
    for (int i = 0; i < 3; i++) {
        exact.append(big);
    }
    EXPECT_EQ(787u, exact.used);
    exact.append(fits);
    EXPECT_EQ(1024u, exact.used);
    EXPECT_EQ(KEL_FL_END, exact.area[1023]);
    exact.append(small);
    exact.append(small);
    EXPECT_EQ(1024u, exact.used);
    const bytes big_entry = entry("p", "f:1:g", c253);
    EXPECT_EQ(cat({big_entry, big_entry, big_entry, entry("p", "f:1:g", c228), CUT}), exact.list());
    for (size_t i = 1024; i < exact.area.size(); i++) {
        EXPECT_EQ(0xAA, exact.area[i]) << "byte " << i << " is beyond the 1024 usable bytes";
    }

    /* One byte more than the room: cut at 786, and a later record that would
     * fit is not taken any more. */
    packed_area over;
    for (int i = 0; i < 3; i++) {
        over.append(big);
    }
    over.append(one_more);
    over.append(small);
    EXPECT_EQ(787u, over.used);
    EXPECT_EQ(cat({big_entry, big_entry, big_entry, CUT}), over.list());
    EXPECT_EQ(0xAA, over.area[787]);

    const std::string big_lines = "---- p:[PROC 2 pid=77]\n     f:1:g()\n     condition(" + c253 + ")\n";
    EXPECT_EQ(big_lines + big_lines + big_lines + "     <truncated summary from pid=77>\n\n",
              print_list(over.list(), 2, 77));
    const std::string remote_lines = "---- p:[PROC 2 node=10.0.0.7]\n     f:1:g()\n     condition(" + c253 + ")\n";
    EXPECT_EQ(remote_lines + remote_lines + remote_lines + "     <truncated summary from node=10.0.0.7>\n\n",
              print_list(over.list(), 2, 0));
    EXPECT_EQ(big_lines + big_lines + big_lines + "---- p:[PROC 2 pid=77]\n     f:1:g()\n     condition(" + c228 +
                  ")\n     <truncated summary from pid=77>\n\n",
              print_list(exact.list(), 2, 77));
}

/* The printer stays inside summary_len whatever the bytes claim, prints the
 * entries that are whole and then says the list is malformed; every record
 * ends with the newline that closes it in the summary. */
TEST(FailureList, UntrustedListsPrintOnlyWholeEntries)
{
    const bytes a = entry("dir:case", "t.c:9:body", "x > 0");
    const std::string a_lines = "---- dir:case:[PROC 4 pid=9]\n     t.c:9:body()\n     condition(x > 0)\n";
    const std::string malformed = "     <malformed summary from pid=9>\n";
    const bytes b = entry("b", "u.c:1:g", "");

    struct row {
        const char *what;
        bytes list;
        std::string out;
    };
    const row rows[] = {
        {"no bytes at all", {}, malformed},
        {"only the cut mark", CUT, "     <truncated summary from pid=9>\n"},
        {"no end byte", a, a_lines + malformed},
        {"second entry cut by summary_len", cat({a, bytes(b.begin(), b.begin() + 4)}), a_lines + malformed},
        {"path length past the end", cat({{200}, bytes(10, 'p')}), malformed},
        {"location length byte missing", {3, 'a', 'b', 'c'}, malformed},
        {"location length is the end mark", cat({{1, 'p', KEL_FL_END, 0}, END}), malformed},
        {"condition length is the cut mark", cat({{1, 'p', 0, KEL_FL_TRUNCATED}, END}), malformed},
        {"condition runs past the end", cat({a, {1, 'p', 1, 'l', 5, 'c', 'c', 'c', 'c'}}), a_lines + malformed},
        {"zero bytes are empty entries", bytes(7, 0),
         "---- :[PROC 4 pid=9]\n     ()\n---- :[PROC 4 pid=9]\n     ()\n" + malformed},
        {"texts with NUL bytes keep their lengths",
         cat({{5, 'a', 'b', 0, 'c', 'd', 3, 'f', 0, 'g', 2, 0, 'z'}, a, END}),
         "---- ab:[PROC 4 pid=9]\n     f()\n     condition()\n" + a_lines},
        {"entries after the end byte are ignored", cat({a, END, b, END}), a_lines},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.out + "\n", print_list(r.list, 4, 9)) << r.what;
    }

    /* A remote sender is named by its node in the malformed line. */
    EXPECT_EQ("---- dir:case:[PROC 4 node=192.168.100.200]\n     t.c:9:body()\n     condition(x > 0)\n"
              "     <malformed summary from node=192.168.100.200>\n\n",
              reported(a, 4, 0, "192.168.100.200").print());

    /* A summary pointer without bytes is an empty, malformed list. */
    reported none({}, 4, 9);
    char byte = static_cast<char>(KEL_FL_END);
    none.rec.reported.summary_len = 0;
    EXPECT_EQ(malformed + "\n", none.print());
    none.rec.reported.summary = &byte;
    EXPECT_EQ(malformed + "\n", none.print());
    none.rec.reported.summary_len = 1;
    EXPECT_EQ("\n", none.print());
    none.rec.reported.summary = NULL; /* not ours to free */
}

/* The reader takes summary_len as the size of the list, not the 1024 bytes a
 * slot's writer uses: a longer list in a larger block is read to its end. */
TEST(FailureList, ReaderTrustsOnlySummaryLen)
{
    const bytes e = entry(std::string(100, 'p'), std::string(100, 'l'), std::string(60, 'c'));
    const std::string record = "---- " + std::string(100, 'p') + ":[PROC 1 pid=5]\n     " + std::string(100, 'l') +
                               "()\n     condition(" + std::string(60, 'c') + ")\n";
    bytes list;
    std::string fifteen;
    for (int i = 0; i < 15; i++) {
        list.insert(list.end(), e.begin(), e.end());
        fifteen += record;
    }
    list.push_back(KEL_FL_END);
    list.resize(5000, 0xEE);
    EXPECT_EQ(fifteen + "\n", print_list(list, 1, 5));

    /* The same bytes with summary_len stopping inside the sixth entry. */
    bytes cut(list.begin(), list.begin() + static_cast<long>(5 * e.size() + 150));
    EXPECT_EQ(fifteen.substr(0, 5 * record.size()) + "     <malformed summary from pid=5>\n\n", print_list(cut, 1, 5));
}

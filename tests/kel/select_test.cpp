/*
 * select_test.cpp - resolving test case paths, the marks they leave for the
 * executor, the -T thread count, and the tree listings kel_run prints instead
 * of running (usage text, depth line, narrowed listing).
 */
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "cmdline.h"
#include "kel_types.h"
#include "select.h"
#include "tree.h"
#include "expected_text.h"

namespace {

void body(void) {}

constexpr uint8_t SEL = KEL_TCF_SELECTED;
constexpr uint8_t TGT = KEL_TCF_TARGET;
constexpr uint8_t SUB = KEL_TCF_SUBTREE;
constexpr uint8_t THR = KEL_TCF_THREADED;
constexpr uint8_t MARKS = SEL | TGT | SUB | THR;

uint8_t marks(const kel_tc_t *tc) { return static_cast<uint8_t>(tc->flags & MARKS); }

/* The listing of the whole tree built by SelectTree, line by line. */
const char *const L_ALL = "   all     \t(All test cases)\n";
const char *const L_FOLDER10 = "   folder10\t(Folder ten)\n";
const char *const L_T1 = "      t1      \t(Test one)\n";
const char *const L_FOLDER1 = "   folder1 \t(Folder one)\n";
const char *const L_TEST1 = "      test1   \t(First)\n";
const char *const L_TEST2 = "      test2   \t(Second)\n";
const char *const L_SECRET = "      {secret}\t(Explicit only)\n";
const char *const L_SUB = "      sub     \t(Sub folder)\n";
const char *const L_DEEP = "         deep    \t(Deep test)\n";
const char *const L_NET = "   net     *2x4\t(Network tests)\n";
const char *const L_PING = "      ping    \t(Ping)\n";
const char *const L_FARM = "   farm    *R**3x\t(Remote farm)\n";
const char *const L_JOB = "      job     \t(Job)\n";

std::string lines(std::initializer_list<const char *> l)
{
    std::string s;
    for (const char *x : l)
        s += x;
    return s;
}

const std::string WHOLE_TREE = lines({L_ALL, L_FOLDER10, L_T1, L_FOLDER1, L_TEST1, L_TEST2, L_SECRET,
                                      L_SUB, L_DEEP, L_NET, L_PING, L_FARM, L_JOB, "\n"});

class SelectTree : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, kel_create(&kel_));
        folder10_ = kel_create_test_folder(kel_, nullptr, "folder10", "Folder ten");
        t1_ = kel_create_test_case(kel_, folder10_, "t1", "Test one", body, KEL_TC_BASIC);
        folder1_ = kel_create_test_folder(kel_, nullptr, "folder1", "Folder one");
        test1_ = kel_create_test_case(kel_, folder1_, "test1", "First", body, KEL_TC_BASIC);
        test2_ = kel_create_test_case(kel_, folder1_, "test2", "Second", body, KEL_TC_PERF);
        secret_ = kel_create_test_case(kel_, folder1_, "secret", "Explicit only", body,
                                       KEL_TC_BASIC | KEL_TC_EXPLICIT);
        sub_ = kel_create_test_folder(kel_, folder1_, "sub", "Sub folder");
        deep_ = kel_create_test_case(kel_, sub_, "deep", "Deep test", body, KEL_TC_BASIC);
        net_ = kel_create_test_folder(kel_, nullptr, "net", "Network tests");
        kel_multi_task_enable(net_);
        kel_seq_set_count(net_, 2);
        kel_multi_task_set_count(net_, 4);
        ping_ = kel_create_test_case(kel_, net_, "ping", "Ping", body, KEL_TC_BASIC);
        farm_ = kel_create_test_folder(kel_, nullptr, "farm", "Remote farm");
        kel_multi_process_enable(farm_);
        kel_seq_set_count(farm_, 3);
        farm_->flags |= KEL_TCF_REMOTE;
        job_ = kel_create_test_case(kel_, farm_, "job", "Job", body, KEL_TC_BASIC);
        ASSERT_NE(nullptr, job_);
    }
    void TearDown() override { kel_destroy(&kel_); }

    void tokenize(std::vector<std::string> words)
    {
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        kel__tokenize(&args_, static_cast<int>(argv.size()), argv.data());
    }

    /* Tokenizes and selects as kel_run does (options are not parsed). */
    kel_tc_t *select(const std::vector<const char *> &path)
    {
        std::vector<std::string> words{"prog"};
        words.insert(words.end(), path.begin(), path.end());
        tokenize(words);
        kel_tc_reset(&kel_->tc);
        return kel_tc_select(&kel_->tc, &args_);
    }

    /* kel_run's command line flow up to the point where it runs: options,
     * reset, the listing cases after the options and after the selection.
     * Returns the run code of a listing, or 0 when kel_run would run.
     * stdout is captured into out_. */
    int command(const std::vector<const char *> &words)
    {
        tokenize({words.begin(), words.end()});
        kel_->cfg.threads = 0;
        bool help = false;
        int32_t depth = 0;
        testing::internal::CaptureStdout();
        int rc = kel__parse_options(&args_, kel_, words[0], &help, &depth);
        if (rc == 0) {
            kel_tc_reset(&kel_->tc);
            selected_ = args_.index < args_.count ? kel_tc_select(&kel_->tc, &args_) : nullptr;
            rc = kel__list_for_run(kel_, &args_, words[0], help, depth, selected_);
        }
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }

    std::string list(kel_tc_t *node, int indent, int depth)
    {
        testing::internal::CaptureStdout();
        kel_tc_list(node, indent, depth);
        return testing::internal::GetCapturedStdout();
    }

    kel_t *kel_ = nullptr;
    kel_tc_t *folder10_, *t1_, *folder1_, *test1_, *test2_, *secret_, *sub_, *deep_;
    kel_tc_t *net_, *ping_, *farm_, *job_;
    kel_args_t args_{};
    kel_tc_t *selected_ = nullptr;
    std::string out_;
};

TEST_F(SelectTree, NamesMatchCaseBlindExactBeforeAbbreviatedFirstOfTwins)
{
    kel_tc_t *first = kel_create_test_case(kel_, folder1_, "Dup", "one", body, KEL_TC_BASIC);
    ASSERT_NE(nullptr, kel_create_test_case(kel_, folder1_, "dUP", "two", body, KEL_TC_BASIC));
    struct {
        std::vector<const char *> path;
        kel_tc_t *target;
    } const rows[] = {
        {{"folder1"}, folder1_},             /* exact, though folder10 comes first */
        {{"fold"}, folder10_},               /* an abbreviation: the first that starts so */
        {{"FOLDER1"}, folder1_},             /* case does not count */
        {{"Folder10"}, folder10_},
        {{"FOLDER1", "su", "D"}, deep_},     /* one level per token */
        {{"a"}, kel_->root},                 /* "all" is the instance's first child */
        {{"ALL"}, kel_->root},
        {{"folder1", "dup"}, first},         /* the first of same-named siblings */
        {{"folder1", "DUP"}, first},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(r.target, select(r.path)) << r.path.back();
        EXPECT_EQ(args_.count, args_.index);
    }
    /* A top-level node named "a" takes "a" from "all". */
    kel_tc_t *a = kel_create_test_folder(kel_, nullptr, "a", "A");
    EXPECT_EQ(a, select({"a"}));
    EXPECT_EQ(kel_->root, select({"al"}));
}

TEST_F(SelectTree, MarksForTheExecutor)
{
    ASSERT_EQ(folder1_, select({"folder1"}));
    EXPECT_EQ(SEL | SUB | TGT, marks(folder1_));
    EXPECT_EQ(SEL | SUB, marks(test1_));
    EXPECT_EQ(SEL | SUB, marks(test2_));
    EXPECT_EQ(SEL | SUB, marks(sub_));
    EXPECT_EQ(SEL | SUB, marks(deep_));
    /* An explicit-only node is left out of a wholly selected folder. */
    EXPECT_EQ(0, marks(secret_));
    EXPECT_EQ(0, marks(folder10_));
    EXPECT_EQ(0, marks(t1_));
    EXPECT_EQ(0, marks(&kel_->tc));
    EXPECT_STREQ("", args_.error);

    /* Naming it runs it. Nodes above the target carry selected only
     * (subtree stays from the earlier selection: the reset keeps it). */
    ASSERT_EQ(secret_, select({"folder1", "secret"}));
    EXPECT_EQ(SEL | SUB | TGT, marks(secret_));
    EXPECT_EQ(SEL, marks(folder1_) & (SEL | TGT));
    EXPECT_EQ(0, marks(test1_) & SEL);
    EXPECT_EQ(0, marks(sub_) & SEL);

    ASSERT_EQ(sub_, select({"folder1", "sub"}));
    EXPECT_EQ(SEL | SUB | TGT, marks(sub_));
    EXPECT_EQ(SEL | SUB, marks(deep_));
    EXPECT_EQ(0, marks(test1_) & SEL);
}

TEST_F(SelectTree, PathsThatSelectNothing)
{
    const std::string big(256, 'q');
    struct {
        std::vector<const char *> path;
        std::string error;
        int index;
    } const rows[] = {
        {{"folder1", "nothing"}, "Invalid test case name: nothing", 2},
        {{"zzz"}, "Invalid test case name: zzz", 1},
        {{"folder100"}, "Invalid test case name: folder100", 1}, /* longer than any name */
        {{"folder1", "test1", "extra"}, "", 3},                   /* below a leaf: no text */
        {{big.c_str()}, "Invalid test case name: " + std::string(127 - 24, 'q'), 1}, /* cut to 127 */
    };
    for (const auto &r : rows) {
        EXPECT_EQ(nullptr, select(r.path)) << r.error;
        EXPECT_EQ(r.error, args_.error);
        EXPECT_EQ(r.index, args_.index) << r.error;
    }
    /* The matched level keeps its mark; it narrows the listing. */
    select({"folder1", "test1", "extra"});
    EXPECT_EQ(SEL, marks(test1_));
    select({"folder1", "nothing"});
    EXPECT_EQ(SEL, marks(folder1_));
}

TEST_F(SelectTree, ThreadCountGoesToWhatRunsInThreads)
{
    kel_->cfg.threads = 4;
    struct {
        const char *what;
        std::vector<const char *> path;
        kel_tc_t *runs_in_threads; /* the node given the count */
        kel_tc_t *starts_them;     /* the node marked to start the threads */
    } const rows[] = {
        {"a normal folder: each child", {"folder1"}, test1_, folder1_},
        {"a leaf: started by its parent", {"folder1", "test1"}, test1_, folder1_},
        {"a multi-task folder with children: itself", {"net"}, net_, &kel_->tc},
        {"a normal folder without children: itself", {"all"}, kel_->root, &kel_->tc},
    };
    for (const auto &r : rows) {
        select(r.path);
        EXPECT_EQ(4u, r.runs_in_threads->threads) << r.what;
        EXPECT_EQ(THR, marks(r.starts_them) & THR) << r.what;
        EXPECT_EQ(0, marks(r.runs_in_threads) & THR) << r.what;
        EXPECT_EQ(0u, r.starts_them->threads) << r.what;
    }
    select({"folder1"});
    for (kel_tc_t *c : {test2_, secret_, sub_})
        EXPECT_EQ(4u, c->threads);
    EXPECT_EQ(0u, deep_->threads) << "only the folder's own children";
    EXPECT_EQ(0u, ping_->threads);
    select({"folder1", "test1"});
    EXPECT_EQ(0u, test2_->threads) << "a leaf's count is its own";

    /* No count, or one below 1, applies nothing. */
    for (int32_t n : {0, -2}) {
        kel_->cfg.threads = n;
        ASSERT_EQ(folder1_, select({"folder1"}));
        EXPECT_EQ(0, marks(folder1_) & THR);
        EXPECT_EQ(0u, test1_->threads);
    }
}

TEST_F(SelectTree, ListingShowsEveryMarker)
{
    EXPECT_EQ(WHOLE_TREE, list(&kel_->tc, 1, KEL_DEPTH_UNLIMITED));
    EXPECT_EQ(WHOLE_TREE, list(&kel_->tc, 1, -1));
    EXPECT_EQ(WHOLE_TREE, list(&kel_->tc, 1, INT32_MIN));
    EXPECT_EQ(lines({L_ALL, L_FOLDER10, L_FOLDER1, L_NET, L_FARM, "\n"}), list(&kel_->tc, 1, 1));
    EXPECT_EQ(lines({L_ALL, L_FOLDER10, L_T1, L_FOLDER1, L_TEST1, L_TEST2, L_SECRET, L_SUB, L_NET,
                     L_PING, L_FARM, L_JOB, "\n"}),
              list(&kel_->tc, 1, 2));
    /* Deeper indents get no closing empty line; a node without children
     * lists nothing but that line at indent 1. */
    EXPECT_EQ("         deep    \t(Deep test)\n", list(sub_, 3, 5));
    EXPECT_EQ("\n", list(test1_, 1, 5));
    EXPECT_EQ("", list(test1_, 2, 5));

    kel_t *k = nullptr;
    ASSERT_EQ(0u, kel_create(&k));
    kel_tc_t *longf = kel_create_test_folder(k, nullptr, "averylongname", "Long");
    kel_multi_task_enable(longf);
    kel_multi_task_set_count(longf, 3);
    kel_tc_t *hidden = kel_create_test_case(k, nullptr, "hidden", "Explicit folder", nullptr,
                                            KEL_TC_EXPLICIT);
    kel_multi_process_enable(hidden);
    hidden->flags |= KEL_TCF_REMOTE;
    kel_tc_t *plain = kel_create_test_case(k, nullptr, "nodesc", "x", body, KEL_TC_BASIC);
    free(plain->description);
    plain->description = nullptr;
    kel_tc_t *pct = kel_create_test_case(k, nullptr, "50%s", "100%d", body, KEL_TC_BASIC);
    ASSERT_NE(nullptr, pct);
    EXPECT_EQ("   all     \t(All test cases)\n"
              "   averylongname*1x3\t(Long)\n"
              "   {hidden}*R**\t(Explicit folder)\n"
              "   nodesc  \n"
              "   50%s    \t(100%d)\n"
              "\n",
              list(&k->tc, 1, KEL_DEPTH_UNLIMITED));
    kel_destroy(&k);
}

TEST_F(SelectTree, RunListsInsteadOfRunning)
{
    const std::string folder1_all = lines({L_FOLDER1, L_TEST1, L_TEST2, L_SECRET, L_SUB, L_DEEP, "\n"});
    const std::string depth1 = lines({L_ALL, L_FOLDER10, L_FOLDER1, L_NET, L_FARM, "\n"});
    struct {
        const char *what;
        std::vector<const char *> words;
        std::string out;
    } const rows[] = {
        {"no path: a request for one and the whole tree", {"./tests"},
         kel_usage_text("./tests", "Select test case pathname") + WHOLE_TREE},
        {"no path after the options", {"prog", "-q", "-x"},
         kel_usage_text("prog", "Select test case pathname") + WHOLE_TREE},
        {"-h without path: the usage alone", {"prog", "-h"}, kel_usage_text("prog", nullptr)},
        {"-h with a depth and no path", {"prog", "-h", "3"}, kel_usage_text("prog", nullptr)},
        {"all: the whole tree to the depth", {"prog", "-h", "1", "all"}, "Only showing depth of 1 !\n" + depth1},
        {"all without depth", {"prog", "-h", "all"}, WHOLE_TREE},
        /* Another node: the path above it, everything below it (its explicit
         * child too), the depth counted from the top level. */
        {"a folder to depth 2", {"prog", "-h", "2", "folder1"},
         "Only showing depth of 2 !\n" + lines({L_FOLDER1, L_TEST1, L_TEST2, L_SECRET, L_SUB, "\n"})},
        {"a folder", {"prog", "-h", "FOLDER1"}, folder1_all},
        {"a sub-folder", {"prog", "-h", "folder1", "sub"}, lines({L_FOLDER1, L_SUB, L_DEEP, "\n"})},
        {"a negative depth", {"prog", "-h", "-1", "net"},
         "Only showing depth of -1 !\n" + lines({L_NET, L_PING, "\n"})},
        {"-h and a wrong path: narrowed to what matched, no error", {"prog", "-h", "folder1", "nothing"},
         folder1_all},
        {"-h 0: the 0 is a path token that matches nothing", {"prog", "-h", "0", "folder1"}, WHOLE_TREE},
        {"a wrong path", {"prog", "folder1", "nothing"},
         kel_usage_text("prog", "Invalid test case name: nothing") + folder1_all},
        {"a wrong top-level name", {"prog", "zzz"},
         kel_usage_text("prog", "Invalid test case name: zzz") + WHOLE_TREE},
        {"the usage names the program untokenized; its second word is a path", {"./unit tests"},
         kel_usage_text("./unit tests", "Invalid test case name: tests") + WHOLE_TREE},
        {"below a leaf: an empty message line", {"prog", "folder1", "test1", "x"},
         kel_usage_text("prog", "") + lines({L_FOLDER1, L_TEST1, "\n"})},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(1, command(r.words)) << r.what;
        EXPECT_EQ(r.out, out_) << r.what;
    }

    /* A selection without -h lists nothing: the run goes on. */
    EXPECT_EQ(0, command({"prog", "folder1 test2"}));
    EXPECT_EQ("", out_);
    EXPECT_EQ(test2_, selected_);
    /* -T 0 warns and still selects. */
    EXPECT_EQ(0, command({"prog", "-T", "0", "folder1"}));
    EXPECT_EQ(kel_usage_text("prog", "Error: <threads> must be > 0"), out_);
    EXPECT_EQ(folder1_, selected_);
    EXPECT_EQ(0u, test1_->threads);
}

} // namespace

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

namespace {

void body(void) {}

constexpr uint8_t SEL = KEL_TCF_SELECTED;
constexpr uint8_t TGT = KEL_TCF_TARGET;
constexpr uint8_t SUB = KEL_TCF_SUBTREE;
constexpr uint8_t THR = KEL_TCF_THREADED;
constexpr uint8_t MARKS = SEL | TGT | SUB | THR;

uint8_t marks(const kel_tc_t *tc) { return static_cast<uint8_t>(tc->flags & MARKS); }

/* The usage head and options (the full text is pinned in cmdline_test); here
 * it only has to be recognised in front of a listing. */
std::string usage(const char *prog, const char *message)
{
    testing::internal::CaptureStdout();
    kel_usage(prog, message);
    return testing::internal::GetCapturedStdout();
}

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

    /* Tokenizes and selects as kel_run does (options are not parsed). */
    kel_tc_t *select(std::initializer_list<const char *> path)
    {
        std::vector<std::string> store{"prog"};
        for (const char *p : path)
            store.emplace_back(p);
        std::vector<char *> argv;
        for (std::string &s : store)
            argv.push_back(s.data());
        kel__tokenize(&args_, static_cast<int>(argv.size()), argv.data());
        kel_tc_reset(&kel_->tc);
        return kel_tc_select(&kel_->tc, &args_);
    }

    /* kel_run's command line flow up to the point where it runs: options,
     * reset, the listing cases after the options and after the selection.
     * Returns the run code of a listing, or 0 when kel_run would run.
     * stdout is captured into out_. */
    int command(std::initializer_list<const char *> words)
    {
        std::vector<std::string> store(words.begin(), words.end());
        std::vector<char *> argv;
        for (std::string &s : store)
            argv.push_back(s.data());
        kel__tokenize(&args_, static_cast<int>(argv.size()), argv.data());
        kel_->threads = 0;
        bool help = false;
        int32_t depth = 0;
        testing::internal::CaptureStdout();
        int rc = kel__parse_options(&args_, kel_, argv[0], &help, &depth);
        if (rc == 0) {
            kel_tc_reset(&kel_->tc);
            if (args_.index >= args_.count) {
                rc = kel__list_for_run(kel_, &args_, argv[0], help, depth, nullptr);
            } else {
                selected_ = kel_tc_select(&kel_->tc, &args_);
                rc = kel__list_for_run(kel_, &args_, argv[0], help, depth, selected_);
            }
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

TEST_F(SelectTree, ExactNameBeatsEarlierAbbreviation)
{
    EXPECT_EQ(folder1_, select({"folder1"}));
    EXPECT_EQ(folder10_, select({"fold"}));
    EXPECT_EQ(folder1_, select({"FOLDER1"}));
    EXPECT_EQ(folder10_, select({"Folder10"}));
    EXPECT_EQ(deep_, select({"FOLDER1", "su", "D"}));
    EXPECT_EQ(args_.count, args_.index);
    /* "all" is the first child of the instance: "a" abbreviates it. */
    EXPECT_EQ(kel_->root, select({"a"}));
    EXPECT_EQ(kel_->root, select({"ALL"}));
}

TEST_F(SelectTree, FirstOfSameNamedSiblingsWins)
{
    kel_tc_t *first = kel_create_test_case(kel_, folder1_, "Dup", "one", body, KEL_TC_BASIC);
    kel_tc_t *second = kel_create_test_case(kel_, folder1_, "dUP", "two", body, KEL_TC_BASIC);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(first, select({"folder1", "dup"}));
    EXPECT_EQ(first, select({"folder1", "DUP"}));
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
    EXPECT_EQ(nullptr, select({"folder1", "nothing"}));
    EXPECT_STREQ("Invalid test case name: nothing", args_.error);
    EXPECT_EQ(2, args_.index);
    /* The matched level keeps its mark; it narrows the listing. */
    EXPECT_EQ(SEL, marks(folder1_));

    EXPECT_EQ(nullptr, select({"zzz"}));
    EXPECT_STREQ("Invalid test case name: zzz", args_.error);
    EXPECT_EQ(1, args_.index);

    /* A name longer than the token does not match a shorter name. */
    EXPECT_EQ(nullptr, select({"folder100"}));
    EXPECT_STREQ("Invalid test case name: folder100", args_.error);

    /* A token below a node without children: no text. */
    EXPECT_EQ(nullptr, select({"folder1", "test1", "extra"}));
    EXPECT_STREQ("", args_.error);
    EXPECT_EQ(3, args_.index);
    EXPECT_EQ(SEL, marks(test1_));

    /* The text is cut to 127 characters. */
    const std::string big(256, 'q');
    EXPECT_EQ(nullptr, select({big.c_str()}));
    EXPECT_EQ(127u, strlen(args_.error));
    EXPECT_EQ("Invalid test case name: " + std::string(127 - 24, 'q'), args_.error);
}

TEST_F(SelectTree, ThreadCountOnFolderAndLeaf)
{
    kel_->threads = 4;
    /* A normal folder: each child runs in 4 threads. */
    ASSERT_EQ(folder1_, select({"folder1"}));
    EXPECT_EQ(THR, marks(folder1_) & THR);
    EXPECT_EQ(0u, folder1_->threads);
    for (kel_tc_t *c : {test1_, test2_, secret_, sub_}) {
        EXPECT_EQ(4u, c->threads);
        EXPECT_EQ(0, marks(c) & THR);
    }
    EXPECT_EQ(0u, deep_->threads);
    EXPECT_EQ(0, marks(&kel_->tc) & THR);

    /* A leaf: it runs in 4 threads started by its parent. */
    ASSERT_EQ(test1_, select({"folder1", "test1"}));
    EXPECT_EQ(4u, test1_->threads);
    EXPECT_EQ(THR, marks(folder1_) & THR);
    EXPECT_EQ(0u, test2_->threads);

    /* A multi-task folder with children runs itself in 4 threads. */
    ASSERT_EQ(net_, select({"net"}));
    EXPECT_EQ(4u, net_->threads);
    EXPECT_EQ(0u, ping_->threads);
    EXPECT_EQ(0, marks(net_) & THR);
    EXPECT_EQ(THR, marks(&kel_->tc) & THR);

    /* So does a normal folder without children ("all" here). */
    ASSERT_EQ(kel_->root, select({"all"}));
    EXPECT_EQ(4u, kel_->root->threads);
    EXPECT_EQ(THR, marks(&kel_->tc) & THR);

    /* No count, or one below 1, applies nothing. */
    for (int32_t n : {0, -2}) {
        kel_->threads = n;
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

TEST_F(SelectTree, ListingNarrowsToTheSelection)
{
    ASSERT_EQ(sub_, select({"folder1", "sub"}));
    EXPECT_EQ(lines({L_FOLDER1, L_SUB, L_DEEP, "\n"}), list(&kel_->tc, 1, KEL_DEPTH_UNLIMITED));
    /* A wholly selected folder hides its unmarked explicit child. */
    ASSERT_EQ(folder1_, select({"folder1"}));
    EXPECT_EQ(lines({L_FOLDER1, L_TEST1, L_TEST2, L_SUB, L_DEEP, "\n"}),
              list(&kel_->tc, 1, KEL_DEPTH_UNLIMITED));
}

TEST_F(SelectTree, RunListsWithoutPath)
{
    /* No path: usage with a request for one, and the whole tree. */
    EXPECT_EQ(1, command({"./tests"}));
    EXPECT_EQ(usage("./tests", "Select test case pathname") + WHOLE_TREE, out_);
    EXPECT_EQ(1, command({"prog", "-q", "-x"}));
    EXPECT_EQ(usage("prog", "Select test case pathname") + WHOLE_TREE, out_);

    /* -h without path: the usage text alone. */
    EXPECT_EQ(1, command({"prog", "-h"}));
    EXPECT_EQ(usage("prog", nullptr), out_);
    EXPECT_EQ(1, command({"prog", "-h", "3"}));
    EXPECT_EQ(usage("prog", nullptr), out_);
}

TEST_F(SelectTree, RunListsWithHelpAndPath)
{
    /* "all": the whole tree to the depth, with the depth line. */
    EXPECT_EQ(1, command({"prog", "-h", "1", "all"}));
    EXPECT_EQ(std::string("Only showing depth of 1 !\n") +
                  lines({L_ALL, L_FOLDER10, L_FOLDER1, L_NET, L_FARM, "\n"}),
              out_);
    EXPECT_EQ(1, command({"prog", "-h", "all"}));
    EXPECT_EQ(WHOLE_TREE, out_);

    /* Another node: the path above it, everything below it (its explicit
     * child too), the depth counted from the top level. */
    EXPECT_EQ(1, command({"prog", "-h", "2", "folder1"}));
    EXPECT_EQ(std::string("Only showing depth of 2 !\n") +
                  lines({L_FOLDER1, L_TEST1, L_TEST2, L_SECRET, L_SUB, "\n"}),
              out_);
    EXPECT_EQ(1, command({"prog", "-h", "FOLDER1"}));
    EXPECT_EQ(lines({L_FOLDER1, L_TEST1, L_TEST2, L_SECRET, L_SUB, L_DEEP, "\n"}), out_);
    EXPECT_EQ(1, command({"prog", "-h", "folder1", "sub"}));
    EXPECT_EQ(lines({L_FOLDER1, L_SUB, L_DEEP, "\n"}), out_);
    EXPECT_EQ(1, command({"prog", "-h", "-1", "net"}));
    EXPECT_EQ(std::string("Only showing depth of -1 !\n") + lines({L_NET, L_PING, "\n"}), out_);

    /* A path that does not resolve: narrowed to what matched, no error. */
    EXPECT_EQ(1, command({"prog", "-h", "folder1", "nothing"}));
    EXPECT_EQ(lines({L_FOLDER1, L_TEST1, L_TEST2, L_SECRET, L_SUB, L_DEEP, "\n"}), out_);
    /* The token 0 is the first path token and matches nothing. */
    EXPECT_EQ(1, command({"prog", "-h", "0", "folder1"}));
    EXPECT_EQ(WHOLE_TREE, out_);
}

TEST_F(SelectTree, RunListsAfterAWrongPath)
{
    EXPECT_EQ(1, command({"prog", "folder1", "nothing"}));
    EXPECT_EQ(usage("prog", "Invalid test case name: nothing") +
                  lines({L_FOLDER1, L_TEST1, L_TEST2, L_SECRET, L_SUB, L_DEEP, "\n"}),
              out_);
    EXPECT_EQ(1, command({"prog", "zzz"}));
    EXPECT_EQ(usage("prog", "Invalid test case name: zzz") + WHOLE_TREE, out_);
    /* The usage names the program untokenized; its second word is a path. */
    EXPECT_EQ(1, command({"./unit tests"}));
    EXPECT_EQ(usage("./unit tests", "Invalid test case name: tests") + WHOLE_TREE, out_);
    /* Below a leaf: an empty message line. */
    EXPECT_EQ(1, command({"prog", "folder1", "test1", "x"}));
    EXPECT_EQ(usage("prog", "") + lines({L_FOLDER1, L_TEST1, "\n"}), out_);
    EXPECT_EQ(0u, out_.find("\n\n\nUsage: prog "));

    /* A selection without -h lists nothing: the run goes on. */
    EXPECT_EQ(0, command({"prog", "folder1 test2"}));
    EXPECT_EQ("", out_);
    EXPECT_EQ(test2_, selected_);
    /* -T 0 warns and still selects. */
    EXPECT_EQ(0, command({"prog", "-T", "0", "folder1"}));
    EXPECT_EQ(usage("prog", "Error: <threads> must be > 0"), out_);
    EXPECT_EQ(folder1_, selected_);
    EXPECT_EQ(0u, test1_->threads);
}

} // namespace

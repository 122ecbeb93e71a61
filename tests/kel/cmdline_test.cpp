/*
 * cmdline_test.cpp - the command line of kel_run: how the argument vector
 * becomes tokens, how the options fill the run configuration, and the exact
 * usage text.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "cmdline.h"
#include "kel_types.h"
#include "vars.h"

namespace {

/* An argument vector with writable strings; nullptr entries stay NULL. */
class Argv {
public:
    Argv(std::initializer_list<const char *> args)
    {
        store_.reserve(args.size());
        for (const char *a : args)
            store_.emplace_back(a != nullptr ? a : "");
        size_t i = 0;
        for (const char *a : args) {
            ptrs_.push_back(a != nullptr ? store_[i].data() : nullptr);
            i++;
        }
    }
    Argv(const Argv &) = delete;
    Argv &operator=(const Argv &) = delete;
    int argc() const { return static_cast<int>(ptrs_.size()); }
    char **argv() { return ptrs_.data(); }

private:
    std::vector<std::string> store_;
    std::vector<char *> ptrs_;
};

std::vector<std::string> tokens_of(const kel_args_t &a)
{
    std::vector<std::string> v;
    for (int i = 0; i < a.count; i++)
        v.emplace_back(a.tokens[i]);
    return v;
}

/* The usage text as the user sees it, written out independently of the
 * sources' format macros. */
std::string usage_text(const char *prog, const char *message)
{
    std::string s;
    if (message != nullptr)
        s += std::string("\n") + message + "\n";
    s += std::string("\nUsage: ") + prog +
         " [-h [depth]]            [-q|-d ][-b|-p] [-s] [-x <times>][-T <threads>][-P]\n"
         "            [-D <variables-list>]\n"
         "            [<folder-name>]* [<test-case-name>]\n";
    s += "Executes the Orv test suite as selected.\n"
         "  -h [depth]: help, print all options or test case names under given folder to the given depth\n"
         "  -q: verbosity level=quiet (lowest)\n"
         "  -d: verbosity level=debug (highest)\n"
         "  -b: execute basic test cases only\n"
         "  -p: execute performance test cases only\n"
         "  -s: strict mode consider all checkpoints as asserts\n"
         "  -D: define variables must be followed by a list of one or more\n"
         "      name=value pairs separated by \":\", examples:\n"
         "      -D days=31:color=red -D flag=0xFF00ABCD:delta=-28\n"
         "  -x: repeat <times> times the selected leaf test cases (default=1)\n"
         "  -T: if <test-case-name> is a normal folder test case then\n"
         "         execute each child test case in <threads> threads\n"
         "      else <test-case-name> is a leaf or a multi-threaded test case\n"
         "         execute <test-case-name> in <threads> threads\n"
         "  -P: execute each threaded test case in a spawned KEL slave process\n"
         "\nLegend:\n"
         "\t*R\tRemote\n"
         "\t*\tMulti-threaded folder\n"
         "\t**\tMulti-process folder\n"
         "\tAxB\tSequence-count x Multi-count\n"
         "\n\t[<folder-name>]* <test-case-name>:\n"
         "\n";
    return s;
}

std::string captured_usage(const char *prog, const char *message)
{
    testing::internal::CaptureStdout();
    kel_usage(prog, message);
    return testing::internal::GetCapturedStdout();
}

TEST(CmdLineUsage, TextIsExact)
{
    EXPECT_EQ(usage_text("orv", nullptr), captured_usage(nullptr, nullptr));
    EXPECT_EQ(usage_text("./unit tests", "Error: Invalid option"),
              captured_usage("./unit tests", "Error: Invalid option"));
    /* An empty message still gives its two line feeds. */
    const std::string empty = captured_usage("t", "");
    EXPECT_EQ(usage_text("t", ""), empty);
    EXPECT_EQ(0u, empty.find("\n\n\nUsage: t "));
    /* A '%' in the program name is printed, not interpreted. */
    EXPECT_EQ(usage_text("a%sb%n", nullptr), captured_usage("a%sb%n", nullptr));
}

TEST(CmdLineTokens, BlankSplittingAcrossArguments)
{
    kel_args_t a;
    Argv v{"prog", "-q", "folder1 test3"};
    EXPECT_EQ(4, kel__tokenize(&a, v.argc(), v.argv()));
    EXPECT_EQ((std::vector<std::string>{"prog", "-q", "folder1", "test3"}), tokens_of(a));
    EXPECT_EQ(1, a.index);
    EXPECT_STREQ("", a.error);

    /* Runs of blanks, leading and trailing blanks, empty and NULL elements
     * give nothing; only 0x20 separates, a tab belongs to the token; no
     * token spans two arguments. */
    Argv w{"  prog  ", "", nullptr, "a   b ", "   ", "c\td", "e", "f"};
    EXPECT_EQ(6, kel__tokenize(&a, w.argc(), w.argv()));
    EXPECT_EQ((std::vector<std::string>{"prog", "a", "b", "c\td", "e", "f"}), tokens_of(a));

    /* Only argc elements are read. */
    EXPECT_EQ(3, kel__tokenize(&a, 4, w.argv()));
    EXPECT_EQ(0, kel__tokenize(&a, 0, w.argv()));
    EXPECT_EQ(0, kel__tokenize(&a, -1, w.argv()));
    Argv blanks{"", "  ", nullptr};
    EXPECT_EQ(0, kel__tokenize(&a, blanks.argc(), blanks.argv()));

    /* A missing program name: the next word is taken as token 0. */
    Argv noname{nullptr, "", "x y", "z"};
    EXPECT_EQ(3, kel__tokenize(&a, noname.argc(), noname.argv()));
    EXPECT_STREQ("x", a.tokens[0]);
}

TEST(CmdLineTokens, LimitsCutSilently)
{
    kel_args_t a;
    /* Seventeen words in one argument, and spread over arguments. */
    Argv one{"p w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12 w13 w14 w15 w16"};
    EXPECT_EQ(16, kel__tokenize(&a, one.argc(), one.argv()));
    EXPECT_STREQ("w15", a.tokens[15]);
    Argv many{"p", "w1", "w2", "w3", "w4", "w5", "w6", "w7", "w8", "w9", "w10", "w11", "w12",
              "w13", "w14", "w15", "w16", "w17"};
    EXPECT_EQ(16, kel__tokenize(&a, many.argc(), many.argv()));
    EXPECT_STREQ("w15", a.tokens[15]);

    /* A 300-character word becomes 256 characters; the next word is whole. */
    const std::string big(300, 'x');
    const std::string line = "p " + big + " next";
    Argv longw{line.c_str(), big.c_str()};
    EXPECT_EQ(4, kel__tokenize(&a, longw.argc(), longw.argv()));
    EXPECT_EQ(std::string(256, 'x'), a.tokens[1]);
    EXPECT_STREQ("next", a.tokens[2]);
    EXPECT_EQ(std::string(256, 'x'), a.tokens[3]);
    /* Exactly 256 characters is kept as is. */
    const std::string edge(256, 'y');
    Argv edgew{"p", edge.c_str()};
    EXPECT_EQ(2, kel__tokenize(&a, edgew.argc(), edgew.argv()));
    EXPECT_EQ(edge, a.tokens[1]);
}

class CmdLineOptions : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, kel_create(&kel_)); }
    void TearDown() override { kel_destroy(&kel_); }

    /* Tokenizes and parses; returns the parser's result. Output is captured
     * into out_. */
    int parse(Argv v)
    {
        kel__tokenize(&args_, v.argc(), v.argv());
        testing::internal::CaptureStdout();
        const int rc = kel__parse_options(&args_, kel_, "prog", &help_, &depth_);
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }
    /* The first path token, or "" when none is left. */
    std::string path() const
    {
        return args_.index < args_.count ? args_.tokens[args_.index] : "";
    }

    kel_t *kel_ = nullptr;
    kel_args_t args_{};
    bool help_ = true;
    int32_t depth_ = 0;
    std::string out_;
};

TEST_F(CmdLineOptions, EveryOptionFillsItsField)
{
    ASSERT_EQ(0, parse({"prog", "-q", "-b", "-s", "-P", "-trace-forks", "-fork_id", "7",
                        "-shm_results_slot_id", "3", "-x", "5", "folder1", "-d"}));
    EXPECT_EQ("", out_);
    /* The path begins at folder1; a later '-' token is a name. */
    EXPECT_EQ("folder1", path());
    EXPECT_EQ(args_.count - 2, args_.index);
    ASSERT_EQ(0, parse({"prog", "-seq 2 -node_num 9 -T 4"}));
    EXPECT_EQ(0, kel_->verbosity);
    EXPECT_EQ(1u, kel_->type_mask);
    EXPECT_EQ(1, kel_->strict);
    EXPECT_EQ(1, kel_->process_mode);
    EXPECT_EQ(1, kel_->trace_forks);
    EXPECT_EQ(7, kel_->fork_id);
    EXPECT_EQ(3, kel_->shm_slot);
    EXPECT_EQ(5, kel_->repeat_times);
    EXPECT_EQ(2, kel_->slave_seq);
    EXPECT_EQ(9u, kel_->node_num);
    EXPECT_EQ(4, kel_->threads);
    EXPECT_FALSE(help_);
    EXPECT_EQ(KEL_DEPTH_UNLIMITED, depth_);

    ASSERT_EQ(0, parse({"prog", "-d", "-p", "x"}));
    EXPECT_EQ(2, kel_->verbosity);
    EXPECT_EQ(2u, kel_->type_mask);
    EXPECT_EQ("x", path());
}

TEST_F(CmdLineOptions, NumbersReadLikeStrtol)
{
    ASSERT_EQ(0, parse({"prog", "-x", "+12", "-fork_id", "abc", "-seq", "-5", "-node_num", "42xyz"}));
    EXPECT_EQ(12, kel_->repeat_times);
    EXPECT_EQ(0, kel_->fork_id);
    EXPECT_EQ(-5, kel_->slave_seq);
    EXPECT_EQ(42u, kel_->node_num);
    EXPECT_EQ("", path());
    /* Only the low 32 bits are kept. */
    ASSERT_EQ(0, parse({"prog", "-x", "4294967297", "-shm_results_slot_id", "4294967295"}));
    EXPECT_EQ(1, kel_->repeat_times);
    EXPECT_EQ(-1, kel_->shm_slot);
}

TEST_F(CmdLineOptions, ShmResIsAnOwnCopy)
{
    ASSERT_EQ(0, parse({"prog", "-shm_res", "kel_res.10.1", "-shm_res", "kel_res.10.2", "t"}));
    ASSERT_NE(nullptr, kel_->shm_res);
    EXPECT_STREQ("kel_res.10.2", kel_->shm_res);
    /* Not a pointer into the token table, which dies with the call. */
    EXPECT_FALSE(kel_->shm_res >= reinterpret_cast<char *>(&args_) &&
                 kel_->shm_res < reinterpret_cast<char *>(&args_ + 1));
    /* A later call replaces it (the sanitizers catch a leak of the old one). */
    ASSERT_EQ(0, parse({"prog", "-shm_res", "other"}));
    EXPECT_STREQ("other", kel_->shm_res);
}

TEST_F(CmdLineOptions, VariableListsGoToTheStore)
{
    ASSERT_EQ(0, parse({"prog", "-D", "days=31:color=red", "-D", "flag=0xFF", "folder"}));
    EXPECT_EQ("folder", path());
    ASSERT_NE(nullptr, kel_->vars_text);
    EXPECT_NE(nullptr, strstr(kel_->vars_text, "days=31"));
    EXPECT_NE(nullptr, strstr(kel_->vars_text, "flag=0xFF"));
    kel__vars_release(kel_);
}

TEST_F(CmdLineOptions, InvalidOptionPrintsUsage)
{
    for (const char *bad : {"-qd", "-Q", "-", "--q", "-h2", "-t", "-trace_forks"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(1, parse({"prog", "-q", bad, "folder1"}));
        EXPECT_EQ(usage_text("prog", "Error: Invalid option"), out_);
    }
}

TEST_F(CmdLineOptions, ThreadsBelowOneWarnAndGoOn)
{
    ASSERT_EQ(0, parse({"prog", "-T", "0", "-q", "folder1"}));
    EXPECT_EQ(usage_text("prog", "Error: <threads> must be > 0"), out_);
    EXPECT_EQ(0, kel_->verbosity);
    EXPECT_EQ("folder1", path());
    EXPECT_LT(kel_->threads, 1);

    ASSERT_EQ(0, parse({"prog", "-T", "-3", "folder1"}));
    EXPECT_EQ(usage_text("prog", "Error: <threads> must be > 0"), out_);
    EXPECT_LT(kel_->threads, 1);
}

TEST_F(CmdLineOptions, HelpTakesOnlyANonZeroDepth)
{
    ASSERT_EQ(0, parse({"prog", "-h"}));
    EXPECT_TRUE(help_);
    EXPECT_EQ(KEL_DEPTH_UNLIMITED, depth_);
    EXPECT_EQ("", path());

    ASSERT_EQ(0, parse({"prog", "-h", "2", "folder1"}));
    EXPECT_TRUE(help_);
    EXPECT_EQ(2, depth_);
    EXPECT_EQ("folder1", path());

    /* The token 0 reads as 0: no depth, and it is the first path token. */
    ASSERT_EQ(0, parse({"prog", "-h", "0", "folder1"}));
    EXPECT_TRUE(help_);
    EXPECT_EQ(KEL_DEPTH_UNLIMITED, depth_);
    EXPECT_EQ("0", path());

    ASSERT_EQ(0, parse({"prog", "-h", "folder1"}));
    EXPECT_EQ(KEL_DEPTH_UNLIMITED, depth_);
    EXPECT_EQ("folder1", path());

    /* An option after -h reads as 0 and is parsed as an option. */
    ASSERT_EQ(0, parse({"prog", "-h", "-q", "folder1"}));
    EXPECT_EQ(KEL_DEPTH_UNLIMITED, depth_);
    EXPECT_EQ(0, kel_->verbosity);
    EXPECT_EQ("folder1", path());

    ASSERT_EQ(0, parse({"prog", "-h", "-1", "3x"}));
    EXPECT_EQ(-1, depth_);
    EXPECT_EQ("3x", path());

    ASSERT_EQ(0, parse({"prog", "-q"}));
    EXPECT_FALSE(help_);
}

TEST_F(CmdLineOptions, ValueOptionAtTheEndEndsParsing)
{
    kel_->repeat_times = 1;
    for (const char *opt : {"-x", "-T", "-fork_id", "-shm_res", "-D", "-seq", "-node_num",
                            "-shm_results_slot_id"}) {
        SCOPED_TRACE(opt);
        ASSERT_EQ(0, parse({"prog", "-q", opt}));
        EXPECT_EQ("", out_);
        EXPECT_EQ(args_.count, args_.index);
    }
    EXPECT_EQ(1, kel_->repeat_times);
    EXPECT_EQ(nullptr, kel_->shm_res);
    EXPECT_EQ(nullptr, kel_->vars_text);
    /* The value may itself look like an option or a path. */
    kel_->verbosity = 1;
    ASSERT_EQ(0, parse({"prog", "-x", "-q", "folder"}));
    EXPECT_EQ(1, kel_->verbosity);
    EXPECT_EQ("folder", path());
}

} // namespace

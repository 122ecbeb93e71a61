/*
 * cmdline_test.cpp - the command line of kel_run: how the argument vector
 * becomes tokens, how the options fill the run configuration, and the exact
 * usage text.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "cmdline.h"
#include "kel_types.h"
#include "expected_text.h"
#include "vars.h"

namespace {

/* An argument vector with writable strings; nullptr entries stay NULL. */
struct Argv {
    std::vector<std::string> store;
    std::vector<char *> ptrs;
    Argv(std::initializer_list<const char *> args) : Argv(std::vector<const char *>(args)) {}
    Argv(const std::vector<const char *> &args)
    {
        store.assign(args.size(), "");
        for (size_t i = 0; i < args.size(); i++) {
            if (args[i] != nullptr)
                store[i] = args[i];
            ptrs.push_back(args[i] != nullptr ? store[i].data() : nullptr);
        }
    }
    int argc() const { return static_cast<int>(ptrs.size()); }
};

std::vector<std::string> tokenize(Argv v, int argc = -2)
{
    kel_args_t a;
    int n = kel__tokenize(&a, argc == -2 ? v.argc() : argc, v.ptrs.data());
    std::vector<std::string> out(a.tokens, a.tokens + a.count);
    EXPECT_EQ(n, a.count);
    EXPECT_EQ(1, a.index);
    EXPECT_STREQ("", a.error);
    return out;
}

std::string captured_usage(const char *prog, const char *message)
{
    testing::internal::CaptureStdout();
    kel_usage(prog, message);
    return testing::internal::GetCapturedStdout();
}

TEST(CmdLineUsage, TextIsExact)
{
    EXPECT_EQ(kel_usage_text("orv", nullptr), captured_usage(nullptr, nullptr));
    EXPECT_EQ(kel_usage_text("./unit tests", "Error: Invalid option"),
              captured_usage("./unit tests", "Error: Invalid option"));
    /* An empty message still gives its two line feeds. */
    EXPECT_EQ(kel_usage_text("t", ""), captured_usage("t", ""));
    EXPECT_EQ(0u, captured_usage("t", "").find("\n\n\nUsage: t "));
    /* A '%' in the program name is printed, not interpreted. */
    EXPECT_EQ(kel_usage_text("a%sb%n", nullptr), captured_usage("a%sb%n", nullptr));
}

TEST(CmdLineTokens, BlanksSplitAndLimitsCutSilently)
{
    using T = std::vector<std::string>;
    const std::string big(300, 'x'), edge(256, 'y'), line = "p " + big + " next";
    EXPECT_EQ((T{"prog", "-q", "folder1", "test3"}), tokenize({"prog", "-q", "folder1 test3"}));
    /* Runs of blanks, leading and trailing blanks, empty and NULL elements
     * give nothing; only 0x20 separates, a tab belongs to the token; no token
     * spans two arguments. */
    Argv w({"  prog  ", "", nullptr, "a   b ", "   ", "c\td", "e", "f"});
    EXPECT_EQ((T{"prog", "a", "b", "c\td", "e", "f"}), tokenize(w));
    /* Only argc elements are read. */
    EXPECT_EQ((T{"prog", "a", "b"}), tokenize(w, 4));
    EXPECT_EQ(T{}, tokenize(w, 0));
    EXPECT_EQ(T{}, tokenize(w, -1));
    EXPECT_EQ(T{}, tokenize({"", "  ", nullptr}));
    /* A missing program name: the next word is taken as token 0. */
    EXPECT_EQ((T{"x", "y", "z"}), tokenize({nullptr, "", "x y", "z"}));
    /* Seventeen words, in one argument or spread over several: 16 tokens. */
    T sixteen{"p"};
    for (int i = 1; i <= 15; i++)
        sixteen.push_back("w" + std::to_string(i));
    EXPECT_EQ(sixteen, tokenize({"p w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12 w13 w14 w15 w16"}));
    EXPECT_EQ(sixteen, tokenize({"p", "w1", "w2", "w3", "w4", "w5", "w6", "w7", "w8", "w9", "w10", "w11", "w12",
                                 "w13", "w14", "w15", "w16", "w17"}));
    /* A 300-character word becomes 256 characters; the next word is whole;
     * exactly 256 characters is kept as is. */
    EXPECT_EQ((T{"p", std::string(256, 'x'), "next", std::string(256, 'x')}), tokenize({line.c_str(), big.c_str()}));
    EXPECT_EQ((T{"p", edge}), tokenize({"p", edge.c_str()}));
}

class CmdLineOptions : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, kel_create(&kel_)); }
    void TearDown() override { kel_destroy(&kel_); }

    /* Tokenizes and parses; returns the parser's result. Output is captured
     * into out_. */
    int parse(Argv v)
    {
        kel__tokenize(&args_, v.argc(), v.ptrs.data());
        testing::internal::CaptureStdout();
        const int rc = kel__parse_options(&args_, kel_, "prog", &help_, &depth_);
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }
    /* The first path token, or "" when none is left. */
    std::string path() const { return args_.index < args_.count ? args_.tokens[args_.index] : ""; }

    kel_t *kel_ = nullptr;
    kel_args_t args_{};
    bool help_ = true;
    int32_t depth_ = 0;
    std::string out_;
};

TEST_F(CmdLineOptions, OptionsEndAtThePathAndReadNumbersLikeStrtol)
{
    /* (What each option does is shown by the runs that use it.) The path
     * begins at folder1; a later '-' token is a name. */
    ASSERT_EQ(0, parse({"prog", "-q", "-b", "-s", "-P", "-trace-forks", "-fork_id", "7", "-shm_results_slot_id", "3",
                        "-x", "5", "folder1", "-d"}));
    EXPECT_EQ("", out_);
    EXPECT_EQ("folder1", path());
    EXPECT_EQ(args_.count - 2, args_.index);
    EXPECT_EQ(0, kel_->cfg.verbosity);
    EXPECT_FALSE(help_);
    EXPECT_EQ(KEL_DEPTH_UNLIMITED, depth_);
    /* Options in one argument are tokens like any other. */
    ASSERT_EQ(0, parse({"prog", "-seq 2 -node_num 9 -T 4"}));
    EXPECT_EQ(2, kel_->cfg.slave_seq);
    EXPECT_EQ(9u, kel_->cfg.node_num);
    EXPECT_EQ(4, kel_->cfg.threads);

    ASSERT_EQ(0, parse({"prog", "-x", "+12", "-fork_id", "abc", "-seq", "-5", "-node_num", "42xyz"}));
    EXPECT_EQ(12, kel_->cfg.repeat_times);
    EXPECT_EQ(0, kel_->cfg.fork_id);
    EXPECT_EQ(-5, kel_->cfg.slave_seq);
    EXPECT_EQ(42u, kel_->cfg.node_num);
    EXPECT_EQ("", path());
    /* Only the low 32 bits are kept. */
    ASSERT_EQ(0, parse({"prog", "-x", "4294967297", "-shm_results_slot_id", "4294967295"}));
    EXPECT_EQ(1, kel_->cfg.repeat_times);
    EXPECT_EQ(-1, kel_->cfg.shm_slot);
}

TEST_F(CmdLineOptions, ShmResAndVariablesAreOwnCopies)
{
    ASSERT_EQ(0, parse({"prog", "-shm_res", "kel_res.10.1", "-shm_res", "kel_res.10.2", "t"}));
    ASSERT_NE(nullptr, kel_->cfg.shm_res);
    EXPECT_STREQ("kel_res.10.2", kel_->cfg.shm_res);
    /* Not a pointer into the token table, which dies with the call. */
    EXPECT_FALSE(kel_->cfg.shm_res >= reinterpret_cast<char *>(&args_) &&
                 kel_->cfg.shm_res < reinterpret_cast<char *>(&args_ + 1));
    /* A later call replaces it (the sanitizers catch a leak of the old one). */
    ASSERT_EQ(0, parse({"prog", "-shm_res", "other"}));
    EXPECT_STREQ("other", kel_->cfg.shm_res);

    ASSERT_EQ(0, parse({"prog", "-D", "days=31:color=red", "-D", "flag=0xFF", "folder"}));
    EXPECT_EQ("folder", path());
    ASSERT_NE(nullptr, kel_->run.vars_text);
    EXPECT_NE(nullptr, strstr(kel_->run.vars_text, "days=31"));
    EXPECT_NE(nullptr, strstr(kel_->run.vars_text, "flag=0xFF"));
    kel__vars_release(kel_);
}

TEST_F(CmdLineOptions, InvalidOptionsAndThreadCountsPrintTheUsage)
{
    for (const char *bad : {"-qd", "-Q", "-", "--q", "-h2", "-t", "-trace_forks"}) {
        EXPECT_EQ(1, parse({"prog", "-q", bad, "folder1"})) << bad;
        EXPECT_EQ(kel_usage_text("prog", "Error: Invalid option"), out_) << bad;
    }
    /* A thread count below 1 warns and parsing goes on. */
    for (const char *n : {"0", "-3"}) {
        ASSERT_EQ(0, parse({"prog", "-T", n, "-q", "folder1"})) << n;
        EXPECT_EQ(kel_usage_text("prog", "Error: <threads> must be > 0"), out_) << n;
        EXPECT_EQ(0, kel_->cfg.verbosity);
        EXPECT_EQ("folder1", path());
        EXPECT_LT(kel_->cfg.threads, 1);
    }
}

TEST_F(CmdLineOptions, HelpTakesOnlyANonZeroDepth)
{
    struct {
        std::vector<const char *> args;
        int32_t depth;
        const char *path;
    } const rows[] = {
        {{"prog", "-h"}, KEL_DEPTH_UNLIMITED, ""},
        {{"prog", "-h", "2", "folder1"}, 2, "folder1"},
        {{"prog", "-h", "0", "folder1"}, KEL_DEPTH_UNLIMITED, "0"}, /* 0 is no depth but the first path token */
        {{"prog", "-h", "folder1"}, KEL_DEPTH_UNLIMITED, "folder1"},
        {{"prog", "-h", "-q", "folder1"}, KEL_DEPTH_UNLIMITED, "folder1"}, /* an option after -h stays an option */
        {{"prog", "-h", "-1", "3x"}, -1, "3x"},
    };
    kel_->cfg.verbosity = 1;
    for (const auto &r : rows) {
        ASSERT_EQ(0, parse(r.args));
        EXPECT_TRUE(help_);
        EXPECT_EQ(r.depth, depth_) << r.path;
        EXPECT_EQ(r.path, path());
    }
    EXPECT_EQ(0, kel_->cfg.verbosity) << "-q after -h was not parsed as an option";
    ASSERT_EQ(0, parse({"prog", "-q"}));
    EXPECT_FALSE(help_);
}

TEST_F(CmdLineOptions, ValueOptionAtTheEndEndsParsing)
{
    kel_->cfg.repeat_times = 1;
    for (const char *opt :
         {"-x", "-T", "-fork_id", "-shm_res", "-D", "-seq", "-node_num", "-shm_results_slot_id"}) {
        ASSERT_EQ(0, parse({"prog", "-q", opt})) << opt;
        EXPECT_EQ("", out_);
        EXPECT_EQ(args_.count, args_.index);
    }
    EXPECT_EQ(1, kel_->cfg.repeat_times);
    EXPECT_EQ(nullptr, kel_->cfg.shm_res);
    EXPECT_EQ(nullptr, kel_->run.vars_text);
    /* The value may itself look like an option or a path. */
    kel_->cfg.verbosity = 1;
    ASSERT_EQ(0, parse({"prog", "-x", "-q", "folder"}));
    EXPECT_EQ(1, kel_->cfg.verbosity);
    EXPECT_EQ("folder", path());
}

} // namespace

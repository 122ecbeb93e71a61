/*
 * vars_test.cpp - run variables from -D lists and injections, read by test
 * code with the typed getters, and mandatory variables.
 */
#include <gtest/gtest.h>

#include <string>

#include "kel_run_helper.h"

namespace {

std::string got;
int line_missing;

void body_read()
{
    got.clear();
    got += std::to_string(kel_get_int_var("hex", NULL, -1)) + " ";
    got += std::to_string(kel_get_int_var("oct", NULL, -1)) + " ";
    got += std::to_string(kel_get_int_var("neg", NULL, -1)) + " ";
    got += std::string(kel_get_str_var("a", NULL, "none")) + " ";
    got += std::string(kel_get_str_var("k", NULL, "none")) + " ";
    got += std::string(kel_get_str_var("empty", NULL, "none")) + "|";
    got += std::string(kel_get_str_var("undefined", NULL, "dflt")) + " ";
    got += std::string(kel_get_str_var("y", NULL, "no-y")) + " ";
    got += std::string(kel_get_str_var("z", NULL, "no-z"));
}

void body_long()
{
    /* Longer than a command-line token may be: injected. */
    std::string list = std::string(200, 'n') + "=" + std::string(300, 'v');
    kel_wb_inject_nvp(list.c_str());
    got = std::string(kel_get_str_var(std::string(128, 'n').c_str(), NULL, "none"));
}

void body_inject()
{
    kel_wb_inject_nvp("late=9");
    got = std::to_string(kel_get_int_var("late", NULL, 0));
}

void body_mandatory()
{
    line_missing = __LINE__;
    kel_get_int_var("count", "number of rounds", 0);
    got = "not reached";
}

class Vars : public ::testing::Test {
protected:
    kel_t *kel = nullptr;
    void SetUp() override { ASSERT_EQ(kel_create(&kel), 0u); }
    void TearDown() override { kel_destroy(&kel); }
};

TEST_F(Vars, ListsParseIntoTypedValues)
{
    kel_create_test_case(kel, NULL, "read", "", body_read, KEL_TC_BASIC);
    KelRunResult r = kel_run_captured(
        kel, {"vars", "-q", "-D", "hex=0x10:oct=010:neg=-28", "-D", "a=b=c:=5:k=6:empty=", "-D", "x=1:y:z=3", "read"});
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS) << r.out;
    /* "=5" is skipped, "y" has no '=' and ends its list, so z stays unset. */
    EXPECT_EQ(got, "16 8 -28 b=c 6 |dflt no-y no-z");

    /* Variables live for one run only. */
    r = kel_run_captured(kel, {"vars", "-q", "read"});
    EXPECT_EQ(got, "-1 -1 -1 none none none|dflt no-y no-z");
}

TEST_F(Vars, LaterDefinitionWinsLongTextsAreCutInjectionsShowAtOnce)
{
    kel_create_test_case(kel, NULL, "read", "", body_read, KEL_TC_BASIC);
    kel_create_test_case(kel, NULL, "long", "", body_long, KEL_TC_BASIC);
    kel_create_test_case(kel, NULL, "inject", "", body_inject, KEL_TC_BASIC);
    kel_run_captured(kel, {"vars", "-q", "-D", "k=1:k=2", "-D", "k=3", "read"});
    EXPECT_EQ(got, "-1 -1 -1 none 3 none|dflt no-y no-z");
    kel_run_captured(kel, {"vars", "-q", "long"});
    EXPECT_EQ(got, std::string(256, 'v'));
    KelRunResult r = kel_run_captured(kel, {"vars", "-q", "inject"});
    EXPECT_EQ(got, "9");
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
}

TEST_F(Vars, MissingMandatoryVariableFailsTheTestCase)
{
    kel_create_test_case(kel, NULL, "needs", "", body_mandatory, KEL_TC_BASIC);
    got.clear();
    KelRunResult r = kel_run_captured(kel, {"vars", "needs"});
    EXPECT_EQ(got, "");
    std::string expected = "\n---- needs:\n"
                           "***  int variable \"count\" (number of rounds) is mandatory\n"
                           "     use -D count=<value>\n"
                           "---> ##### CHECKPOINT FAILED\n     Missing variable\n"
                           "     test/src/infra/kel:kel_get_var()\n     condition(kel_fail())\n";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected) << r.out;
    EXPECT_EQ(r.rc, KEL_RC_FAILED);
}

} // namespace

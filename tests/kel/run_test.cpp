/*
 * run_test.cpp - run codes and the calls of kel_run that run nothing.
 */
#include <gtest/gtest.h>

#include "kel_run_helper.h"
#include "tree.h"

namespace {

void body() { kel_check(1); }

TEST(RunCodes, Texts)
{
    EXPECT_STREQ(kel_run_code_to_str(KEL_RC_SUCCESS), "success");
    EXPECT_STREQ(kel_run_code_to_str(KEL_RC_INVALID_ARGUMENTS), "invalid arguments");
    EXPECT_STREQ(kel_run_code_to_str(KEL_RC_NO_TEST_CASE), "no test case was selected");
    EXPECT_STREQ(kel_run_code_to_str(KEL_RC_FAILED), "at least one test case failed");
    EXPECT_STREQ(kel_run_code_to_str(-1), "unknown");
    EXPECT_STREQ(kel_run_code_to_str(4), "unknown");
}

TEST(RunCodes, NothingToRun)
{
    kel_t *kel = nullptr;
    ASSERT_EQ(kel_create(&kel), 0u);
    kel_create_test_case(kel, NULL, "t", "", body, KEL_TC_BASIC);

    testing::internal::CaptureStdout();
    EXPECT_EQ(kel_run(1, nullptr, kel), KEL_RC_INVALID_ARGUMENTS);
    EXPECT_EQ(kel_run(1, nullptr, nullptr), KEL_RC_INVALID_ARGUMENTS);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    /* No token at all: the usage text without a program name. */
    char empty[] = "", blanks[] = "   ";
    char *none[] = {empty, blanks, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(kel_run(2, none, kel), KEL_RC_INVALID_ARGUMENTS);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("\nUsage: orv [-h [depth]]", 0), 0u) << out;

    char prog[] = "prog";
    char *zero[] = {prog, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(kel_run(0, zero, kel), KEL_RC_INVALID_ARGUMENTS);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("\nUsage: orv [-h [depth]]", 0), 0u) << out;

    /* The run driver still works after all that. */
    KelRunResult r = kel_run_captured(kel, {"prog", "-q", "t"});
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
    kel_destroy(&kel);
    EXPECT_EQ(kel, nullptr);
    kel_destroy(&kel);
    kel_destroy(nullptr);
    EXPECT_EQ(kel_create(nullptr), 22u);
}

TEST(Tree, PathsAndOptions)
{
    kel_t *kel = nullptr;
    ASSERT_EQ(kel_create(&kel), 0u);
    kel_tc_t *a = kel_create_test_folder(kel, NULL, "A", "");
    kel_tc_t *b = kel_create_test_folder(kel, a, "B", "");
    kel_tc_t *leaf = kel_create_test_case(kel, b, "leaf", "", body, KEL_TC_BASIC);
    EXPECT_EQ(kel_create_test_case(kel, b, NULL, "", body, KEL_TC_BASIC), nullptr);

    EXPECT_EQ(kel_tc_path_len(leaf), 9u);
    EXPECT_EQ(kel_tc_path_len(&kel->tc), 0u);
    char buf[9];
    char *end = kel_tc_path_join(leaf, ':', buf);
    ASSERT_EQ(end, buf + 9);
    end[-1] = '\0';
    EXPECT_STREQ(buf, "A:B:leaf");
    char *args[5] = {};
    EXPECT_EQ(kel_tc_path_args(leaf, args, 1), 4);
    EXPECT_STREQ(args[1], "A");
    EXPECT_STREQ(args[3], "leaf");

    /* Counts keep their low 16 bits, and 0 reads as 1. */
    kel_seq_set_count(leaf, 0);
    kel_multi_task_set_count(leaf, 65537);
    kel_multi_task_enable(b);
    kel_multi_process_enable(b);
    kel_set_option(b, 3);
    kel_set_option(b, 2);
    testing::internal::CaptureStdout();
    char prog[] = "p", h[] = "-h", path[] = "a";
    char *argv[] = {prog, h, path, nullptr};
    EXPECT_EQ(kel_run(3, argv, kel), KEL_RC_INVALID_ARGUMENTS);
    std::string out = testing::internal::GetCapturedStdout();
    /* mode 2 only (the later call replaced the mode); "1x1" shows both
     * counts stored as 1. */
    EXPECT_EQ(out, "   A       \t()\n      B       **\t()\n         leaf    1x1\t()\n\n");
    kel_destroy(&kel);
}

} // namespace

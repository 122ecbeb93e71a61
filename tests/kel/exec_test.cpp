/*
 * exec_test.cpp - the executor, checks and failure records seen from a test
 * program: exact test lines, failure blocks, summaries and counts for the
 * outcomes a test case can have, fixtures, fixture variables and cookies,
 * checks from threads given a test's token, and services called outside a
 * test case.
 */
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <string>

#include "expected_text.h"
#include "kel_run_helper.h"
#include "kel_types.h"

namespace {

std::string F = __FILE__;
int line_fail, line_assert, line_setup_fail, line_teardown_fail, line_token_fail;
std::string log_text;
std::atomic<int> token_checks;

/* The location and condition lines of a failure block or summary record. */
std::string loc(const char *func, int line, const char *condition = nullptr)
{
    return "     " + F + ":" + std::to_string(line) + ":" + func + "()\n" +
           (condition ? std::string("     condition(") + condition + ")\n" : "");
}

void body_pass2()
{
    kel_check(1);
    kel_check(2 > 1);
}

void body_fail()
{
    int x = 3;
    line_fail = __LINE__ + 1;
    kel_check(x == 4, "x is %d", x);
    log_text += "not reached";
}

void body_one() { kel_check(true); }

void body_assert()
{
    kel_check(1);
    line_assert = __LINE__ + 1;
    kel_assert(0);
}

void body_xfail()
{
    kel_expect_failure();
    kel_check(0);
}

void body_xpass() { kel_expect_failure(); }

void body_caught()
{
    kel_expect_failure();
    kel_catch_unexpected_success();
}

void body_caught_fail()
{
    kel_catch_unexpected_success();
    line_fail = __LINE__ + 1;
    kel_fail("boom");
}

void body_pass_early()
{
    kel_check(1);
    kel_pass();
    kel_check(0);
}

void body_many()
{
    for (int i = 0; i < 10000; i++)
        kel_check(i >= 0);
}

void body_log()
{
    line_fail = __LINE__ + 1;
    kel_log_error("bad value %d", 7);
    kel_check(kel_error_logged());
}

class Exec : public ::testing::Test {
protected:
    kel_t *kel = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(kel_create(&kel), 0u);
        log_text.clear();
    }
    void TearDown() override { kel_destroy(&kel); }
};

TEST_F(Exec, PassFailAndSummaryLines)
{
    kel_tc_t *f = kel_create_test_folder(kel, NULL, "f", "F");
    kel_create_test_case(kel, f, "pass", "two checks", body_pass2, KEL_TC_BASIC);
    kel_create_test_case(kel, f, "fail", "fails", body_fail, KEL_TC_BASIC);
    kel_create_test_case(kel, f, "one", "one check", body_one, KEL_TC_BASIC);

    KelRunResult r = kel_run_captured(kel, {"spine", "f"});
    const std::string block =
        "---> ##### CHECKPOINT FAILED\n     x is 3\n" + loc("body_fail", line_fail, "x == 4");
    EXPECT_EQ(r.out, "\n---- f:pass:\n     PASSED (2 checkpoints)\n\n---- f:fail:\n" + block +
                         "\n---- f:one:\n     PASSED\n"
                         "\n---- SUMMARY OF FAILED TESTS:\n\n---- f:fail:\n" +
                         loc("body_fail", line_fail, "x == 4") + "\n" +
                         kel_summary_text("FAILED (pass rate=66%)", 3, 1, 3));
    EXPECT_EQ(r.rc, KEL_RC_FAILED);
    EXPECT_EQ(log_text, "");

    /* Quiet: no headers, no pass lines, no list, no elapsed time. */
    r = kel_run_captured(kel, {"spine", "-q", "f"});
    EXPECT_EQ(r.out, block + kel_summary_text("FAILED (pass rate=66%)", 3, 1, 3, true));
    EXPECT_EQ(r.rc, KEL_RC_FAILED);

    /* The verbosity stays with the instance: quiet again, and with nothing
     * failed nothing at all is printed. */
    r = kel_run_captured(kel, {"spine", "f", "one"});
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
    EXPECT_EQ(r.out, "");
}

TEST_F(Exec, ExpectedFailuresAndEarlyPass)
{
    kel_tc_t *g = kel_create_test_folder(kel, NULL, "g", "G");
    kel_create_test_case(kel, g, "xfail", "", body_xfail, KEL_TC_BASIC);
    kel_create_test_case(kel, g, "xpass", "", body_xpass, KEL_TC_BASIC);
    kel_create_test_case(kel, g, "caught", "", body_caught, KEL_TC_BASIC);
    kel_create_test_case(kel, g, "cfail", "", body_caught_fail, KEL_TC_BASIC);
    kel_create_test_case(kel, g, "early", "", body_pass_early, KEL_TC_BASIC);

    KelRunResult r = kel_run_captured(kel, {"spine", "g"});
    EXPECT_EQ(r.out, "\n---- g:xfail:\n     PASSED (failed as expected)\n"
                     "\n---- g:xpass:\n---> ##### UNEXPECTED SUCCESS\n     FAIL (did not fail as expected)\n\n"
                     "\n---- g:caught:\n     PASSED (unexpected success caught as expected)\n"
                     "\n---- g:cfail:\n---> ##### CHECKPOINT FAILED\n     boom\n" +
                         loc("body_caught_fail", line_fail, "kel_fail()") +
                         "\n---- g:early:\n     PASSED\n"
                         "\n---- SUMMARY OF FAILED TESTS:\n\n"
                         "---- g:xpass:\n     (UNEXPECTED SUCCESS)\n"
                         "---- g:cfail:\n" +
                         loc("body_caught_fail", line_fail, "kel_fail()") + "\n" +
                         kel_summary_text("FAILED (pass rate=80%)", 5, 1, 2));
    EXPECT_EQ(r.rc, KEL_RC_FAILED);
}

TEST_F(Exec, AssertEndsTheRunAndStrictTurnsCheckpointsIntoAsserts)
{
    kel_tc_t *a = kel_create_test_folder(kel, NULL, "a", "A");
    kel_create_test_case(kel, a, "first", "", body_assert, KEL_TC_BASIC);
    kel_create_test_case(kel, a, "second", "", body_one, KEL_TC_BASIC);

    /* The test case and its enclosing folders (a, and the instance's own
     * node the run starts from) stay counted as executed and failed; the
     * second test case and the later runs never start. */
    KelRunResult r = kel_run_captured(kel, {"spine", "-x", "3", "a"});
    EXPECT_EQ(r.out, "\n---------------- RUN #1/3 ----------------\n\n"
                     "\n---- a:first:\n---> ##### ASSERT FAILED\n     \n" +
                         loc("body_assert", line_assert, "0") +
                         "\n---- SUMMARY OF FAILED TESTS:\n\n---- a:first:\n" +
                         loc("body_assert", line_assert, "0") + "\n" +
                         kel_summary_text("FAILED (pass rate=0%)", 3, 3, 1));
    EXPECT_EQ(r.rc, KEL_RC_FAILED);

    /* -s stays set on the instance: the second run, without it, is strict
     * too. */
    kel_tc_t *s = kel_create_test_folder(kel, NULL, "s", "S");
    kel_create_test_case(kel, s, "fail", "", body_fail, KEL_TC_BASIC);
    kel_create_test_case(kel, s, "after", "", body_one, KEL_TC_BASIC);
    for (const char *strict : {"-s", "-q"}) {
        r = kel_run_captured(kel, {"spine", "-q", strict, "s"});
        EXPECT_EQ(r.out, "---> ##### CHECKPOINT FAILED\n     x is 3\n" + loc("body_fail", line_fail, "x == 4") +
                             kel_summary_text("FAILED (pass rate=0%)", 3, 3, 0, true))
            << strict;
    }
}

TEST_F(Exec, TenThousandCheckpointsAndLoggedErrors)
{
    kel_tc_t *m = kel_create_test_folder(kel, NULL, "m", "M");
    kel_create_test_case(kel, m, "many", "", body_many, KEL_TC_BASIC);
    kel_create_test_case(kel, m, "log", "", body_log, KEL_TC_BASIC);
    KelRunResult r = kel_run_captured(kel, {"spine", "m"});
    /* A logged error does not end or fail the test case by itself: the
     * record is listed, the count of failed test cases stays 0. */
    EXPECT_EQ(r.out, "\n---- m:many:\n     PASSED (10000 checkpoints)\n"
                     "\n---- m:log:\n---> ##### ERROR\n     bad value 7\n" +
                         loc("body_log", line_fail) +
                         "     PASSED\n"
                         "\n---- SUMMARY OF FAILED TESTS:\n\n---- m:log:\n" +
                         loc("body_log", line_fail) + kel_summary_text("PASSED", 2, 0, 10001));
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
}

/* ---- fixtures ------------------------------------------------------------ */

void su_outer() { log_text += "S1 "; }
void td_outer() { log_text += "T1 "; }
void su_mid() { log_text += "S2 "; }
void td_mid() { log_text += "T2 "; }
void su_inner() { log_text += "S3 "; }
void td_inner() { log_text += "T3 "; }
void body_note() { log_text += "B "; }
void su_ok() { log_text += "s0 "; }
void td_ok() { log_text += "t0 "; }
void su_never() { log_text += "s2 "; }
void td_never() { log_text += "t1 "; }
void noop() {}

void su_fail()
{
    log_text += "s1 ";
    line_setup_fail = __LINE__ + 1;
    kel_fail("setup broke");
}

void td_fail()
{
    log_text += "t0 ";
    line_teardown_fail = __LINE__ + 1;
    kel_check(0 == 1);
}

void body_fail_plain()
{
    line_fail = __LINE__ + 1;
    kel_check(false);
}

TEST_F(Exec, FixturesRunOuterToInnerAndUndoInReverse)
{
    kel_tc_t *outer = kel_create_test_folder(kel, NULL, "outer", "");
    kel_tc_t *mid = kel_create_test_folder(kel, outer, "mid", "");
    kel_tc_t *inner = kel_create_test_folder(kel, mid, "inner", "");
    kel_add_fixture(outer, su_outer, td_outer);
    kel_add_fixture(mid, su_mid, td_mid);
    kel_add_fixture(inner, su_inner, td_inner);
    kel_create_test_case(kel, inner, "t1", "", body_note, KEL_TC_BASIC);
    kel_create_test_case(kel, inner, "t2", "", body_note, KEL_TC_BASIC);
    KelRunResult r = kel_run_captured(kel, {"spine", "-q", "outer"});
    EXPECT_EQ(log_text, "S1 S2 S3 B B T3 T2 T1 ");
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
    EXPECT_EQ(r.out, "");

    /* Slots: a fixture without both functions is refused, a ninth too; a
     * teardown-only fixture gets a do-nothing setup, so all eight teardowns
     * run. */
    log_text.clear();
    kel_tc_t *leaf = kel_create_test_case(kel, NULL, "leaf", "", body_one, KEL_TC_BASIC);
    testing::internal::CaptureStdout();
    kel_add_fixture(leaf, NULL, NULL);
    for (int i = 0; i < 9; i++)
        kel_add_fixture(leaf, i == 0 ? NULL : noop, td_ok);
    kel_multi_process_enable(leaf);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: tried to add null setup and teardown functions"
                                                       "Warning: too many fixtures for this test case!\n"
                                                       "KEL ERROR: kel_multi_task_enable() must be called on a folder");
    r = kel_run_captured(kel, {"spine", "-q", "leaf"});
    EXPECT_EQ(log_text, "t0 t0 t0 t0 t0 t0 t0 t0 ");
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS);
}

TEST_F(Exec, FailingSetupUndoesOnlyCompletedSetupsAndTeardownFailureIsReported)
{
    kel_tc_t *leaf = kel_create_test_case(kel, NULL, "leaf", "", body_note, KEL_TC_BASIC);
    kel_add_fixture(leaf, su_ok, td_fail);
    kel_add_fixture(leaf, su_fail, td_never);
    kel_add_fixture(leaf, su_never, td_never);
    KelRunResult r = kel_run_captured(kel, {"spine", "leaf"});
    EXPECT_EQ(log_text, "s0 s1 t0 ");
    EXPECT_EQ(r.out, "\n---- leaf:\n---> ##### CHECKPOINT FAILED during setup\n     setup broke\n" +
                         loc("su_fail", line_setup_fail, "kel_fail()") +
                         "---> ##### CHECKPOINT FAILED during teardown\n     \n" +
                         loc("td_fail", line_teardown_fail, "0 == 1") +
                         "\n---- SUMMARY OF FAILED TESTS:\n\n---- leaf:\n" +
                         loc("su_fail", line_setup_fail, "kel_fail()") + "\n---- leaf:\n" +
                         loc("td_fail", line_teardown_fail, "0 == 1") + "\n" +
                         kel_summary_text("FAILED (pass rate=0%)", 1, 1, 0));

    /* A folder whose setup fails runs none of its children and counts as
     * one executed and failed test case; a body failure survives a failing
     * teardown. */
    kel_tc_t *fold = kel_create_test_folder(kel, NULL, "fold", "");
    kel_add_fixture(fold, su_fail, NULL);
    kel_create_test_case(kel, fold, "never", "", body_note, KEL_TC_BASIC);
    log_text.clear();
    r = kel_run_captured(kel, {"spine", "-q", "fold"});
    EXPECT_EQ(log_text, "s1 ");
    EXPECT_EQ(r.out, "---> ##### CHECKPOINT FAILED during setup\n     setup broke\n" +
                         loc("su_fail", line_setup_fail, "kel_fail()") +
                         kel_summary_text("FAILED (pass rate=0%)", 1, 1, 0, true));

    kel_tc_t *both = kel_create_test_case(kel, NULL, "both", "", body_fail_plain, KEL_TC_BASIC);
    kel_add_fixture(both, NULL, td_fail);
    log_text.clear();
    r = kel_run_captured(kel, {"spine", "-q", "both"});
    EXPECT_EQ(log_text, "t0 ");
    EXPECT_EQ(r.out, "---> ##### CHECKPOINT FAILED\n     \n" + loc("body_fail_plain", line_fail, "false") +
                         "---> ##### CHECKPOINT FAILED during teardown\n     \n" +
                         loc("td_fail", line_teardown_fail, "0 == 1") +
                         kel_summary_text("FAILED (pass rate=0%)", 1, 1, 0, true));
}

/* ---- fixture variables and cookies ----------------------------------------- */

int outer_value = 1, inner_value = 2;
void *seen_by_leaf;
void *cookie_seen;

void su_set_outer() { kel_set("k", &outer_value); }
void td_unset() { kel_set("k", NULL); }
void su_set_inner() { kel_set("k", &inner_value); }
void body_read_k() { seen_by_leaf = kel_get("k", true); }
void su_cookie() { static_cast<int *>(kel_create_cookie(64))[0] = 42; }
void td_cookie() { kel_destroy_cookie(); }
void body_cookie() { cookie_seen = kel_get_cookie(); }
void body_destroy_outer_cookie() { kel_destroy_cookie(); }
void body_leak_var() { kel_set("leaked", &outer_value); }
void su_leak() { kel_set("left", &outer_value); }

void body_set_twice()
{
    kel_set("twice", &outer_value);
    kel_set("twice", &outer_value);
}

void body_missing()
{
    line_fail = __LINE__ + 1;
    kel_get("nothing", true);
}

TEST_F(Exec, FixtureVariablesShadowAndCookiesReachInnerTests)
{
    kel_tc_t *outer = kel_create_test_folder(kel, NULL, "outer", "");
    kel_add_fixture(outer, su_set_outer, td_unset);
    kel_add_fixture(outer, su_cookie, td_cookie);
    kel_tc_t *inner = kel_create_test_folder(kel, outer, "inner", "");
    kel_add_fixture(inner, su_set_inner, td_unset);
    kel_create_test_case(kel, inner, "read", "", body_read_k, KEL_TC_BASIC);
    kel_create_test_case(kel, outer, "read_outer", "", body_read_k, KEL_TC_BASIC);
    kel_create_test_case(kel, outer, "cookie", "", body_cookie, KEL_TC_BASIC);

    KelRunResult r = kel_run_captured(kel, {"spine", "-q", "outer", "inner", "read"});
    EXPECT_EQ(seen_by_leaf, &inner_value);
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS) << r.out;
    r = kel_run_captured(kel, {"spine", "-q", "outer", "read_outer"});
    EXPECT_EQ(seen_by_leaf, &outer_value);
    r = kel_run_captured(kel, {"spine", "-q", "outer", "cookie"});
    ASSERT_NE(cookie_seen, nullptr);
    EXPECT_EQ(r.rc, KEL_RC_SUCCESS) << r.out;

    /* The inner test destroys the folder's cookie: the next test must not
     * get the freed block (ASan would catch it) but a clean failure. */
    kel_tc_t *c = kel_create_test_folder(kel, NULL, "c", "");
    kel_add_fixture(c, su_cookie, td_cookie);
    kel_create_test_case(kel, c, "destroy", "", body_destroy_outer_cookie, KEL_TC_BASIC);
    kel_create_test_case(kel, c, "after", "", body_cookie, KEL_TC_BASIC);
    cookie_seen = &outer_value;
    kel->cfg.verbosity = 1; /* -q stays with the instance */
    r = kel_run_captured(kel, {"spine", "c"});
    EXPECT_NE(r.out.find("\n---- c:after:\n---> ##### CHECKPOINT FAILED\n     Cannot get cookie back\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(cookie_seen, &outer_value);
}

TEST_F(Exec, MisusedFixtureVariablesFailTheTest)
{
    kel_tc_t *leaf = kel_create_test_case(kel, NULL, "leaky", "", body_one, KEL_TC_BASIC);
    kel_add_fixture(leaf, su_leak, NULL);
    KelRunResult r = kel_run_captured(kel, {"spine", "leaky"});
    EXPECT_EQ(r.out, "\n---- leaky:\n"
                     "---> ##### ERROR during teardown\n     Fixture variable left has not been removed\n"
                     "     test/src/infra/kel:745:kel_exec_teardown()\n"
                     "---> ##### CHECKPOINT FAILED during teardown\n     \n"
                     "     test/src/infra/kel:752:kel_exec_teardown()\n     condition(kel_check_ok())\n"
                     "\n---- SUMMARY OF FAILED TESTS:\n\n"
                     "---- leaky:\n     test/src/infra/kel:745:kel_exec_teardown()\n"
                     "---- leaky:\n     test/src/infra/kel:752:kel_exec_teardown()\n"
                     "     condition(kel_check_ok())\n\n" +
                         kel_summary_text("FAILED (pass rate=0%)", 1, 1, 1));

    /* A leaf without fixtures has no teardown stage; the variable it left is
     * released with its context. Only a node with fixtures checks them. */
    kel_tc_t *v = kel_create_test_folder(kel, NULL, "v", "");
    kel_create_test_case(kel, v, "leak", "", body_leak_var, KEL_TC_BASIC);
    kel_create_test_case(kel, v, "twice", "", body_set_twice, KEL_TC_BASIC);
    kel_create_test_case(kel, v, "missing", "", body_missing, KEL_TC_BASIC);
    r = kel_run_captured(kel, {"spine", "-q", "v"});
    EXPECT_EQ(r.out, "---> ##### CHECKPOINT FAILED\n     Fixture variable twice already set\n"
                     "     test/src/infra/kel:kel_set()\n     condition(kel_fail())\n"
                     "---> ##### CHECKPOINT FAILED\n     kel_get cannot find variable with key=nothing\n" +
                         loc("body_missing", line_fail) +
                         kel_summary_text("FAILED (pass rate=33%)", 3, 2, 0, true));
}

/* ---- threads given the test's context ---------------------------------- */

void *token_thread_checks(void *token)
{
    kel_set_thread_token(token);
    for (int i = 0; i < 100; i++)
        kel_check(i < 100);
    token_checks++;
    return nullptr;
}

void *token_thread_fails(void *token)
{
    kel_set_thread_token(token);
    line_token_fail = __LINE__ + 1;
    kel_check(token == nullptr, "from helper thread");
    token_checks = -1; /* not reached: the helper thread ends */
    return nullptr;
}

void *token_thread_asserts(void *token)
{
    kel_set_thread_token(token);
    kel_assert(false);
    token_checks = -1;
    return nullptr;
}

void run_threads(void *(*fn)(void *), int n)
{
    pthread_t t[4];
    for (int i = 0; i < n; i++)
        pthread_create(&t[i], NULL, fn, kel_get_thread_token());
    for (int i = 0; i < n; i++)
        pthread_join(t[i], NULL);
    log_text += "joined ";
}

void body_with_threads() { run_threads(token_thread_checks, 4); }
void body_thread_fails() { run_threads(token_thread_fails, 1); }
void body_thread_asserts() { run_threads(token_thread_asserts, 1); }

TEST_F(Exec, ChecksFromThreadsGivenTheTestsToken)
{
    kel_tc_t *t = kel_create_test_folder(kel, NULL, "t", "");
    kel_create_test_case(kel, t, "four", "", body_with_threads, KEL_TC_BASIC);
    kel_create_test_case(kel, t, "fails", "", body_thread_fails, KEL_TC_BASIC);
    kel_create_test_case(kel, t, "next", "", body_one, KEL_TC_BASIC);
    token_checks = 0;
    KelRunResult r = kel_run_captured(kel, {"spine", "-q", "t"});
    EXPECT_EQ(token_checks, 4);
    /* The failure raised on the helper thread fails the test case whose
     * token it held; the helper thread ends, the body goes on and the next
     * test case runs. */
    EXPECT_EQ(log_text, "joined joined ");
    EXPECT_EQ(r.out, "---> ##### CHECKPOINT FAILED\n     from helper thread\n" +
                         loc("token_thread_fails", line_token_fail, "token == nullptr") +
                         kel_summary_text("FAILED (pass rate=66%)", 3, 1, 401, true));

    /* An assert there ends the run once the body has joined the thread,
     * without a jump across threads. */
    kel_create_test_case(kel, t, "asserts", "", body_thread_asserts, KEL_TC_BASIC);
    kel_create_test_case(kel, t, "never", "", body_note, KEL_TC_BASIC);
    log_text.clear();
    r = kel_run_captured(kel, {"spine", "-q", "t", "asserts"});
    EXPECT_EQ(token_checks, 4);
    EXPECT_EQ(log_text, "joined ");
    EXPECT_NE(r.out.find("---> ##### ASSERT FAILED\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kel_summary_text("FAILED (pass rate=0%)", 3, 3, 0, true)), std::string::npos) << r.out;
    EXPECT_EQ(r.rc, KEL_RC_FAILED);
}

/* ---- services outside a test case --------------------------------------- */

TEST(Services, OutsideATestCaseOnlyNotices)
{
    testing::internal::CaptureStdout();
    kel_check__(0, 0, "c", "file.c", "fn", 12, "\377");
    kel_log_error_("f", "g", 1, "x");
    EXPECT_FALSE(kel_error_logged());
    kel_printf("hello %d\n", 5);
    EXPECT_FALSE(kel_debug());
    kel_pass();
    kel_expect_failure();
    kel_catch_unexpected_success();
    EXPECT_STREQ(kel_get_test_case_name(), "?");
    EXPECT_STREQ(kel_get_test_case_description(), "?");
    EXPECT_EQ(kel_get_int_var("n", NULL, 17), 17);
    EXPECT_EQ(kel_get_task_number(), 0u);
    EXPECT_EQ(kel_get_node_num(), 0xFFFFFFFFu);
    EXPECT_EQ(kel_get_thread_token(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "file.c:12:fn(): kel_check__ cannot be called from non kel-enabled thread!\n"
              "kel_log_error_: cannot be called from non kel-enabled thread\n"
              "kel_error_logged: cannot be called from non kel-enabled thread\n"
              "kel_printf: cannot be called from non kel-enabled thread, msg was:\nhello 5\n"
              "kel_debug: cannot be called from non kel-enabled thread\n"
              "kel_pass: cannot be called from non kel-enabled thread\n"
              "kel_expect_failure: cannot be called from non kel-enabled thread\n"
              "kel_catch_unexpected_success: cannot be called from non kel-enabled thread\n"
              "kel_get_test_case_name: cannot be called from non kel-enabled thread\n"
              "kel_get_test_case_description: cannot be called from non kel-enabled thread\n"
              "test/src/infra/kel:0:kel_get_var(): kel_check__ cannot be called from non kel-enabled thread!\n"
              "kel_get_task_number: cannot be called from non kel-enabled thread\n");
}

} // namespace

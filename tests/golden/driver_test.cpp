/*
 * driver_test.cpp - the run driver seen from the command line: usage text,
 * listings, invalid options and paths, repeated runs, variables, the type
 * filter, run codes, and a slave run delivering its results into a slot of
 * a results segment. Each case is a transcript: the command line, the whole
 * expected standard output and the exit status.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "golden.h"
#include "orv.h"

using namespace kel_golden;

namespace {

const std::string usage_tail = "            [-D <variables-list>]\n"
                               "            [<folder-name>]* [<test-case-name>]\n"
                               "Executes the Orv test suite as selected.\n"
                               "  -h [depth]: help, print all options or test case names under given folder to the "
                               "given depth\n"
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

/* The usage text naming the program; "<none>" for no message at all. */
std::string usage(const std::string &message)
{
    std::string text = message == "<none>" ? "" : "\n" + message + "\n";
    return text + "\nUsage: " + program_path("driver_tree") +
           " [-h [depth]]            [-q|-d ][-b|-p] [-s] [-x <times>][-T <threads>][-P]\n" + usage_tail;
}

const std::string full_listing = "   all     \t(All test cases)\n"
                                 "   net     *2x4\t(Network tests)\n"
                                 "      ping    \t(Ping)\n"
                                 "   folder1 \t(First folder)\n"
                                 "      pass    \t(Passes)\n"
                                 "      fail    \t(Fails)\n"
                                 "      {hidden}\t(Explicit only)\n"
                                 "      procs   **\t(Processes)\n"
                                 "         child_with_long_name3x\t(Long name)\n"
                                 "   misc    \t(Miscellaneous)\n"
                                 "      vars    \t(Reads variables)\n"
                                 "      numbers \t(Repeat numbers)\n"
                                 "      perf    \t(Performance)\n"
                                 "      {assert}\t(Asserts)\n"
                                 "\n";

normaliser sources()
{
    normaliser n = default_normaliser();
    add_rule(n, "source-dir", "/[^ :]*/tests/programs/", "<SRC>/tests/programs/");
    return n;
}

const std::string summary_passed_1 = "\n\nSUMMARY: PASSED\nTest case(s) executed:    1\n"
                                     "Test case(s) failed:      0\nTotal checkpoints(s):     1\n"
                                     "\nElapsed time = <T> ms\n\n";

TEST(Driver, UsageAndListings)
{
    EXPECT_TRUE(run_golden({"-h alone prints only the usage text", "driver_tree", {"-h"}, usage("<none>"),
                            exited_with(1)}));
    EXPECT_TRUE(run_golden({"no path: the usage asks for one and the whole tree is listed", "driver_tree", {"-q"},
                            usage("Select test case pathname") + full_listing, exited_with(1)}));
    EXPECT_TRUE(run_golden({"-h with a depth lists that many levels of the whole tree", "driver_tree",
                            {"-h", "1", "all"},
                            "Only showing depth of 1 !\n"
                            "   all     \t(All test cases)\n"
                            "   net     *2x4\t(Network tests)\n"
                            "   folder1 \t(First folder)\n"
                            "   misc    \t(Miscellaneous)\n"
                            "\n",
                            exited_with(1)}));
    EXPECT_TRUE(run_golden({"-h with a path lists the path and everything below it", "driver_tree",
                            {"-h", "FOLDER1", "pro"},
                            "   folder1 \t(First folder)\n"
                            "      procs   **\t(Processes)\n"
                            "         child_with_long_name3x\t(Long name)\n"
                            "\n",
                            exited_with(1)}));
    EXPECT_TRUE(run_golden({"an unknown option", "driver_tree", {"-Q", "folder1"},
                            usage("Error: Invalid option"), exited_with(1)}));
    EXPECT_TRUE(run_golden({"a name that matches nothing lists what did match", "driver_tree",
                            {"folder1", "nope"},
                            usage("Invalid test case name: nope") +
                                "   folder1 \t(First folder)\n"
                                "      pass    \t(Passes)\n"
                                "      fail    \t(Fails)\n"
                                "      {hidden}\t(Explicit only)\n"
                                "      procs   **\t(Processes)\n"
                                "         child_with_long_name3x\t(Long name)\n"
                                "\n",
                            exited_with(1)}));
    EXPECT_TRUE(run_golden({"a name below a leaf gives an empty message", "driver_tree",
                            {"folder1", "pass", "deeper"},
                            usage("") +
                                "   folder1 \t(First folder)\n"
                                "      pass    \t(Passes)\n"
                                "\n",
                            exited_with(1)}));
}

TEST(Driver, RunsRepeatsVariablesAndFilters)
{
    EXPECT_TRUE(run_golden({"three runs print a banner before each", "driver_tree", {"-x", "3", "misc", "numbers"},
                            "\n---------------- RUN #1/3 ----------------\n\n"
                            "\n---- misc:numbers:\nrun 1 of 3\n     PASSED\n"
                            "\n---------------- RUN #2/3 ----------------\n\n"
                            "\n---- misc:numbers:\nrun 2 of 3\n     PASSED\n"
                            "\n---------------- RUN #3/3 ----------------\n\n"
                            "\n---- misc:numbers:\nrun 3 of 3\n     PASSED\n"
                            "\n\nSUMMARY: PASSED\nTest case(s) executed:    3\n"
                            "Test case(s) failed:      0\nTotal checkpoints(s):     0\n"
                            "\nElapsed time = <T> ms\n\n",
                            exited_with(0)}));
    EXPECT_TRUE(run_golden({"a run count of letters runs once", "driver_tree", {"-x", "many", "-q", "misc", "num"},
                            "run 1 of 1\n", exited_with(0)}));
    EXPECT_TRUE(run_golden({"-D lists, given once or several times", "driver_tree",
                            {"-q", "-D", "color=red", "-D days=31:flag=0xFF00ABCD", "misc", "vars"},
                            "color=red days=31 flag=0xFF00ABCD\n", exited_with(0)}));
    EXPECT_TRUE(run_golden({"-p with only basic test cases selected runs nothing", "driver_tree", {"-p", "folder1"},
                            "There is no test case matching the test type\n", exited_with(2)}));
    EXPECT_TRUE(run_golden({"a leaf named on the command line runs whatever its type", "driver_tree",
                            {"-b", "-q", "misc", "perf"}, "", exited_with(0)}));
}

TEST(Driver, FailuresAndAsserts)
{
    const std::string fail_block = "---> ##### CHECKPOINT FAILED\n     got 5\n"
                                   "     <SRC>/tests/programs/driver_tree.c:23:fail_check()\n"
                                   "     condition(got == 6)\n";
    EXPECT_TRUE(run_golden({"a failing and a passing test case", "driver_tree", {"folder1", "fail"},
                            "\n---- folder1:fail:\n" + fail_block +
                                "\n---- SUMMARY OF FAILED TESTS:\n\n"
                                "---- folder1:fail:\n     <SRC>/tests/programs/driver_tree.c:23:fail_check()\n"
                                "     condition(got == 6)\n\n"
                                "\n\nSUMMARY: FAILED (pass rate=0%)\nTest case(s) executed:    1\n"
                                "Test case(s) failed:      1\nTotal checkpoints(s):     0\n"
                                "\nElapsed time = <T> ms\n\n",
                            exited_with(3)},
                           sources()));
    EXPECT_TRUE(run_golden({"quiet: the failure block and the summary, no list, no time", "driver_tree",
                            {"-q", "folder1", "fail"},
                            fail_block +
                                "\n\nSUMMARY: FAILED (pass rate=0%)\nTest case(s) executed:    1\n"
                                "Test case(s) failed:      1\nTotal checkpoints(s):     0\n",
                            exited_with(3)},
                           sources()));
    EXPECT_TRUE(run_golden({"an assert ends the run; its folders stay counted", "driver_tree",
                            {"-q", "misc", "assert"},
                            "---> ##### ASSERT FAILED\n     stop the run\n"
                            "     <SRC>/tests/programs/driver_tree.c:26:fail_assert()\n"
                            "     condition(0 > 1)\n"
                            "\n\nSUMMARY: FAILED (pass rate=0%)\nTest case(s) executed:    3\n"
                            "Test case(s) failed:      3\nTotal checkpoints(s):     0\n",
                            exited_with(3)},
                           sources()));
}

TEST(Driver, OneInstanceRunTwiceFromCxx)
{
    EXPECT_TRUE(run_golden({"two calls of kel_run with different options", "driver_twice", {},
                            "\n---- f:counted:\n     PASSED\n" + summary_passed_1 +
                                "---> ##### CHECKPOINT FAILED\n     n is 0\n"
                                "     <SRC>/tests/programs/driver_twice.cpp:11:counted()\n"
                                "     condition(kel_get_int_var(\"n\", nullptr, 0) > 0)\n"
                                "\n\nSUMMARY: FAILED (pass rate=0%)\nTest case(s) executed:    1\n"
                                "Test case(s) failed:      1\nTotal checkpoints(s):     0\n"
                                "first: success\nsecond: at least one test case failed\n",
                            exited_with(3)},
                           sources()));
}

/* A results segment of two slots, made as a master makes one. */
class SlaveSlot : public ::testing::Test {
protected:
    std::string name = "kel_res_drivertest." + std::to_string(getpid());
    orv_shm_t shm{};
    struct slot {
        uint32_t executed, failed, checkpoints, unused;
        uint64_t elapsed_ms;
        uint32_t summary_len;
        uint8_t summary[1028];
    };
    slot *slots = nullptr;
    void SetUp() override
    {
        static_assert(sizeof(slot) == 1056, "result slot layout");
        orv_shm_unlink(name.c_str());
        bool created = false;
        ASSERT_EQ(orv_shm_open(name.c_str(), 2 * sizeof(slot), &shm, &created), 0u);
        ASSERT_TRUE(created);
        slots = static_cast<slot *>(shm.addr);
        slots[0].executed = slots[1].executed = 0xFFFFFFFFu;
    }
    void TearDown() override
    {
        orv_shm_close(&shm);
        orv_shm_unlink(name.c_str());
    }
};

TEST_F(SlaveSlot, SlaveRunWritesItsSlotAndPrintsItsBlock)
{
    run_result r = run_program(program_path("driver_tree"), {"-fork_id", "2", "-shm_res", name,
                                                            "-shm_results_slot_id", "1", "-seq", "3", "folder1",
                                                            "fail"});
    std::string expected = "\n---- folder1:fail:[PROC 2 pid=<PID>]\n"
                           "---> ##### CHECKPOINT FAILED\n     got 5\n"
                           "     <SRC>/tests/programs/driver_tree.c:23:fail_check()\n"
                           "     condition(got == 6)\n"
                           "\n---- folder1:fail:[SEQ 3][PROC 2 pid=<PID>]\n"
                           "     SUMMARY: FAILED (pass rate=0%)\n"
                           "Test case(s) executed:    1\nTest case(s) failed:      1\nTotal checkpoints(s):     0\n"
                           "Elapsed time = <T> ms\n";
    /* Delivered: the slave returns 0 whatever its counts, the master reads
     * the outcome from the slot. */
    EXPECT_TRUE(output_matches(expected, exited_with(0), r, sources()));
    EXPECT_EQ(slots[0].executed, 0xFFFFFFFFu);
    EXPECT_EQ(slots[1].executed, 1u);
    EXPECT_EQ(slots[1].failed, 1u);
    EXPECT_EQ(slots[1].checkpoints, 0u);

    std::string path = "folder1:fail";
    std::string cond = "got == 6";
    const uint8_t *p = slots[1].summary;
    ASSERT_EQ(p[0], path.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p + 1), path.size()), path);
    p += 1 + path.size();
    std::string loc(reinterpret_cast<const char *>(p + 1), p[0]);
    EXPECT_NE(loc.find("/tests/programs/driver_tree.c:23:fail_check"), std::string::npos) << loc;
    p += 1 + p[0];
    ASSERT_EQ(p[0], cond.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p + 1), cond.size()), cond);
    p += 1 + cond.size();
    EXPECT_EQ(p[0], 0xFE);
    EXPECT_EQ(slots[1].summary_len, static_cast<uint32_t>(p - slots[1].summary) + 1);
}

TEST_F(SlaveSlot, SlaveWithoutSegmentOrWithABadSlotFallsBackToItsRunCode)
{
    run_result r = run_program(program_path("driver_tree"), {"-q", "-fork_id", "1", "folder1", "fail"});
    EXPECT_EQ(r.status, exited_with(3));
    r = run_program(program_path("driver_tree"),
                    {"-q", "-fork_id", "1", "-shm_res", name, "-shm_results_slot_id", "2", "folder1", "fail"});
    EXPECT_EQ(r.status, exited_with(3));
    r = run_program(program_path("driver_tree"),
                    {"-q", "-fork_id", "1", "-shm_res", name, "-shm_results_slot_id", "-1", "folder1", "pass"});
    EXPECT_EQ(r.status, exited_with(0));
    EXPECT_EQ(slots[0].executed, 0xFFFFFFFFu);
    EXPECT_EQ(slots[1].executed, 0xFFFFFFFFu);
    /* A passing slave writes an empty list: one end byte. */
    r = run_program(program_path("driver_tree"),
                    {"-q", "-fork_id", "1", "-shm_res", name, "-shm_results_slot_id", "0", "folder1", "pass"});
    EXPECT_EQ(r.status, exited_with(0));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(slots[0].executed, 1u);
    EXPECT_EQ(slots[0].checkpoints, 2u);
    EXPECT_EQ(slots[0].summary_len, 1u);
    EXPECT_EQ(slots[0].summary[0], 0xFE);
}

} // namespace

/*
 * driver_test.cpp - the run driver seen from the command line of a real test
 * program: usage text, listings, repeated runs, failures and asserts with
 * their run codes, and a slave run delivering its results into a slot of a
 * results segment. Each case is a transcript: the command line, the whole
 * expected standard output and the exit status. (Every listing and message
 * case of the command line is pinned by the unit tests in tests/kel.)
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "expected_text.h"
#include "golden.h"
#include "orv.h"

using namespace kel_golden;

namespace {

/* The program's path as the source-dir rule masks it. */
std::string usage(const char *message)
{
    return kel_usage_text("<SRC>/tests/programs/driver_tree", message);
}

const std::string FOLDER1 = "   folder1 \t(First folder)\n"
                            "      pass    \t(Passes)\n"
                            "      fail    \t(Fails)\n"
                            "      {hidden}\t(Explicit only)\n"
                            "      procs   **\t(Processes)\n"
                            "         child_with_long_name3x\t(Long name)\n";
const std::string FULL_LISTING = "   all     \t(All test cases)\n"
                                 "   net     *2x4\t(Network tests)\n"
                                 "      ping    \t(Ping)\n" +
                                 FOLDER1 +
                                 "   misc    \t(Miscellaneous)\n"
                                 "      vars    \t(Reads variables)\n"
                                 "      numbers \t(Repeat numbers)\n"
                                 "      perf    \t(Performance)\n"
                                 "      {assert}\t(Asserts)\n"
                                 "\n";
const std::string FAIL_LOC = "     <SRC>/tests/programs/driver_tree.c:23:fail_check()\n     condition(got == 6)\n";
const std::string FAIL_BLOCK = "---> ##### CHECKPOINT FAILED\n     got 5\n" + FAIL_LOC;

normaliser sources()
{
    normaliser n = default_normaliser();
    add_rule(n, "source-dir", "/[^ :]*/tests/programs/", "<SRC>/tests/programs/");
    return n;
}

TEST(Driver, UsageListingsAndRunCodes)
{
    const golden_case cases[] = {
        {"-h alone prints only the usage text", "driver_tree", {"-h"}, usage(nullptr), exited_with(1)},
        {"no path: the usage asks for one and the whole tree is listed", "driver_tree", {"-q"},
         usage("Select test case pathname") + FULL_LISTING, exited_with(1)},
        {"-h with a path lists the path and everything below it", "driver_tree", {"-h", "FOLDER1"},
         FOLDER1 + "\n", exited_with(1)},
        {"a name that matches nothing lists what did match", "driver_tree", {"folder1", "nope"},
         usage("Invalid test case name: nope") + FOLDER1 + "\n", exited_with(1)},
        {"three runs print a banner before each", "driver_tree", {"-x", "3", "misc", "numbers"},
         "\n---------------- RUN #1/3 ----------------\n\n\n---- misc:numbers:\nrun 1 of 3\n     PASSED\n"
         "\n---------------- RUN #2/3 ----------------\n\n\n---- misc:numbers:\nrun 2 of 3\n     PASSED\n"
         "\n---------------- RUN #3/3 ----------------\n\n\n---- misc:numbers:\nrun 3 of 3\n     PASSED\n" +
             kel_summary_text("PASSED", 3, 0, 0),
         exited_with(0)},
        {"a run count of letters runs once", "driver_tree", {"-x", "many", "-q", "misc", "num"}, "run 1 of 1\n",
         exited_with(0)},
        {"-D lists, given once or several times", "driver_tree",
         {"-q", "-D", "color=red", "-D days=31:flag=0xFF00ABCD", "misc", "vars"}, "color=red days=31 flag=0xFF00ABCD\n",
         exited_with(0)},
        {"-p with only basic test cases selected runs nothing", "driver_tree", {"-p", "folder1"},
         "There is no test case matching the test type\n", exited_with(2)},
        {"a leaf named on the command line runs whatever its type", "driver_tree", {"-b", "-q", "misc", "perf"}, "",
         exited_with(0)},
        {"a failing test case", "driver_tree", {"folder1", "fail"},
         "\n---- folder1:fail:\n" + FAIL_BLOCK + "\n---- SUMMARY OF FAILED TESTS:\n\n---- folder1:fail:\n" + FAIL_LOC +
             "\n" + kel_summary_text("FAILED (pass rate=0%)", 1, 1, 0),
         exited_with(3)},
        {"an assert ends the run; its folders stay counted", "driver_tree", {"-q", "misc", "assert"},
         "---> ##### ASSERT FAILED\n     stop the run\n     <SRC>/tests/programs/driver_tree.c:26:fail_assert()\n"
         "     condition(0 > 1)\n" +
             kel_summary_text("FAILED (pass rate=0%)", 3, 3, 0, true),
         exited_with(3)},
        {"one instance run twice from C++ with different options", "driver_twice", {},
         "\n---- f:counted:\n     PASSED\n" + kel_summary_text("PASSED", 1, 0, 1) +
             "---> ##### CHECKPOINT FAILED\n     n is 0\n"
             "     <SRC>/tests/programs/driver_twice.cpp:11:counted()\n"
             "     condition(kel_get_int_var(\"n\", nullptr, 0) > 0)\n" +
             kel_summary_text("FAILED (pass rate=0%)", 1, 1, 0, true) +
             "first: success\nsecond: at least one test case failed\n",
         exited_with(3)},
    };
    for (const golden_case &c : cases)
        EXPECT_TRUE(run_golden(c, sources()));
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
    run_result slave(const char *slot_id, const char *leaf)
    {
        return run_program(program_path("driver_tree"), {"-q", "-fork_id", "1", "-shm_res", name,
                                                         "-shm_results_slot_id", slot_id, "folder1", leaf});
    }
};

TEST_F(SlaveSlot, SlaveRunWritesItsSlotAndPrintsItsBlock)
{
    run_result r = run_program(program_path("driver_tree"), {"-fork_id", "2", "-shm_res", name,
                                                            "-shm_results_slot_id", "1", "-seq", "3", "folder1",
                                                            "fail"});
    /* Delivered: the slave returns 0 whatever its counts, the master reads
     * the outcome from the slot. */
    EXPECT_TRUE(output_matches("\n---- folder1:fail:[PROC 2 pid=<PID>]\n" + FAIL_BLOCK +
                                   "\n---- folder1:fail:[SEQ 3][PROC 2 pid=<PID>]\n"
                                   "     SUMMARY: FAILED (pass rate=0%)\n" +
                                   kel_counts_text(1, 1, 0) + "Elapsed time = <T> ms\n",
                               exited_with(0), r, sources()));
    EXPECT_EQ(slots[0].executed, 0xFFFFFFFFu);
    EXPECT_EQ(slots[1].executed, 1u);
    EXPECT_EQ(slots[1].failed, 1u);
    EXPECT_EQ(slots[1].checkpoints, 0u);

    /* The list: length-prefixed path, location and condition, end byte. */
    const uint8_t *p = slots[1].summary;
    ASSERT_EQ(std::string(reinterpret_cast<const char *>(p), 13), std::string("\x0c") + "folder1:fail");
    std::string location(reinterpret_cast<const char *>(p + 14), p[13]);
    EXPECT_NE(location.find("/tests/programs/driver_tree.c:23:fail_check"), std::string::npos) << location;
    p += 14 + p[13];
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p), 10), std::string("\x08got == 6\xfe", 10));
    EXPECT_EQ(slots[1].summary_len, static_cast<uint32_t>(p + 10 - slots[1].summary));
}

TEST_F(SlaveSlot, SlaveWithoutSegmentOrWithABadSlotFallsBackToItsRunCode)
{
    run_result r = run_program(program_path("driver_tree"), {"-q", "-fork_id", "1", "folder1", "fail"});
    EXPECT_EQ(r.status, exited_with(3));
    EXPECT_EQ(slave("2", "fail").status, exited_with(3));
    EXPECT_EQ(slave("-1", "pass").status, exited_with(0));
    EXPECT_EQ(slots[0].executed, 0xFFFFFFFFu);
    EXPECT_EQ(slots[1].executed, 0xFFFFFFFFu);
    /* A passing slave writes an empty list: one end byte. */
    r = slave("0", "pass");
    EXPECT_EQ(r.status, exited_with(0));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(slots[0].executed, 1u);
    EXPECT_EQ(slots[0].checkpoints, 2u);
    EXPECT_EQ(slots[0].summary_len, 1u);
    EXPECT_EQ(slots[0].summary[0], 0xFE);
}

} // namespace

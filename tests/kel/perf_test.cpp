/*
 * perf_test.cpp - throughput texts and the reference/alternative comparison
 * of performance data sets. Times are given to the internal calls directly,
 * so nothing here depends on how fast the machine is.
 */
#include <gtest/gtest.h>

#include <string>

#include "exec.h"
#include "kel_run_helper.h"
#include "perf.h"

namespace {

std::string throughput(uint64_t ops, const char *unit, uint64_t ms)
{
    testing::internal::CaptureStdout();
    print_throughput(ops, unit, ms);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Perf, ThroughputTexts)
{
    EXPECT_EQ(throughput(500, "ops", 250), "500 ops in 250 ms (2000/sec, 500 usec/op)");
    EXPECT_EQ(throughput(500, "ops", 1), "500 ops in less than 1 ms (over 500000/sec, 2 usec/op)");
    EXPECT_EQ(throughput(500, "ops", 0), "500 ops in less than 1 ms (over 500000/sec, 0 usec/op)");
    EXPECT_EQ(throughput(0, "msgs", 10), "0 msgs in 10 ms (0/sec, 0 usec/op)");
    EXPECT_EQ(kel__throughput(1000, 100), 10000u);
    EXPECT_EQ(kel__throughput(7, 1), 7000u);
}

struct Sample {
    const char *desc;
    int bound;
    uint64_t ops, ms;
};
Sample samples[3];
int sample_count;

/* Stores the prepared samples as this test case's measurements. */
void body_store()
{
    kel_tctx_t *ctx = static_cast<kel_tctx_t *>(kel_get_thread_token());
    for (int i = 0; i < sample_count; i++) {
        kel_start_pds(samples[i].desc, "ds", samples[i].bound);
        pds_store(ctx, "ops", samples[i].ops, samples[i].ms);
        ctx->perf_desc = NULL;
    }
}

class PerfRun : public ::testing::Test {
protected:
    kel_t *kel = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(kel_create(&kel), 0u);
        kel_create_test_case(kel, NULL, "store", "", body_store, KEL_TC_PERF);
    }
    void TearDown() override { kel_destroy(&kel); }
    std::string run(std::initializer_list<Sample> list)
    {
        sample_count = 0;
        for (const Sample &s : list)
            samples[sample_count++] = s;
        return kel_run_captured(kel, {"perf", "-q", "store"}).out;
    }
};

TEST_F(PerfRun, AlternativeIsComparedWithTheReferenceWithinItsBound)
{
    const std::string ref = "COMP PERF ds\n     REF plain: 1000 ops in 100 ms (10000/sec, 100 usec/op)\n";
    const std::string faster = ref + "     ALT faster: 1200 ops in 100 ms (12000/sec, 83 usec/op) => +20%\n";
    const std::string slower = ref + "     ALT slower: 850 ops in 100 ms (8500/sec, 117 usec/op) => -15%\n";
    const std::string error = "---> ##### ERROR\n     Alt throughput ";
    struct {
        const char *what;
        std::initializer_list<Sample> samples;
        std::string out;
    } const rows[] = {
        {"20% over a bound of 10%", {{"plain", 0, 1000, 100}, {"faster", 10, 1200, 100}},
         faster + error + "(12000) is over 10% past the ref throughput (10000)\n     test/src/infra/kel:pds_check()\n"},
        {"within a bound of 25%", {{"plain", 0, 1000, 100}, {"faster", 25, 1200, 100}}, faster},
        /* The alternative arrives first: the comparison waits for the
         * reference and still prints the reference first. */
        {"15% under a bound of -10%", {{"slower", -10, 850, 100}, {"plain", 0, 1000, 100}},
         slower + error + "(8500) is over -10% below the ref throughput (10000)\n     test/src/infra/kel:pds_check()\n"},
        {"within a bound of -20%", {{"slower", -20, 850, 100}, {"plain", 0, 1000, 100}}, slower},
        {"no alternative: two samples without bound", {{"a", 0, 10, 10}, {"b", 0, 10, 10}}, ""},
        {"no reference: two samples with bounds", {{"a", 5, 10, 10}, {"b", 5, 10, 10}}, ""},
        {"a reference without operations is not divided by", {{"none", 0, 0, 100}, {"some", 10, 100, 100}},
         "COMP PERF ds\n     REF none: 0 ops in 100 ms (0/sec, 0 usec/op)\n"
         "     ALT some: 100 ops in 100 ms (1000/sec, 1000 usec/op) => no reference throughput\n"},
        {"a third sample is refused", {{"a", 0, 10, 10}, {"b", 0, 10, 10}, {"c", 3, 10, 10}},
         "---> ##### ERROR\n     Already 2 samples for performance data set ds\n     test/src/infra/kel:pds_store()\n"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(r.out, run(r.samples)) << r.what;
    }
}

void body_stop_without_start()
{
    kel_start_pds(NULL, NULL, 0);
    kel_stop_perf("ops", 3);
}

void body_plain()
{
    kel_start_perf("loop");
    kel_stop_perf("ops", 3);
}

TEST(PerfMisuse, NullDescriptionAndStopWithoutStart)
{
    kel_t *kel = nullptr;
    ASSERT_EQ(kel_create(&kel), 0u);
    kel_create_test_case(kel, NULL, "stop", "", body_stop_without_start, KEL_TC_PERF);
    kel_create_test_case(kel, NULL, "plain", "", body_plain, KEL_TC_PERF);
    KelRunResult r = kel_run_captured(kel, {"perf", "-q", "stop"});
    EXPECT_EQ(r.out, "Warning: kel_start_perf() called with null desc\n"
                     "kel_stop_perf: called without an orv_start_perf()");
    /* A plain measurement prints nothing when quiet. */
    r = kel_run_captured(kel, {"perf", "-q", "plain"});
    EXPECT_EQ(r.out, "");
    /* -b leaves out performance test cases unless named as the target. */
    r = kel_run_captured(kel, {"perf", "-b", "all"});
    EXPECT_EQ(r.rc, KEL_RC_NO_TEST_CASE);
    EXPECT_EQ(r.out, "There is no test case matching the test type\n");
    kel_destroy(&kel);
}

} // namespace

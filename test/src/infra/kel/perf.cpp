/*
 * perf.cpp - time and performance measurement.
 *
 * A plain measurement prints its throughput at once. A measurement that
 * names a data set stores its sample instead; a data set holds a reference
 * sample (no bound) and an alternative one (with a bound in percent), and as
 * soon as both are there the two throughputs are compared and an error is
 * logged when the alternative is outside its bound. Throughput arithmetic is
 * unsigned 64-bit; the comparison is signed 64-bit.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "checks.h"
#include "context.h"
#include "messages.h"
#include "perf.h"

namespace {

typedef unsigned long long ull;

kel_pds_t *find_pds(kel_t *kel, const char *name)
{
    for (kel_pds_t *p = static_cast<kel_pds_t *>(orv_queue_peek_head(&kel->run.pds_queue)); p;
         p = static_cast<kel_pds_t *>(orv_queue_get_next(&kel->run.pds_queue, p)))
        if (strncmp(p->name, name, 256) == 0)
            return p;
    return NULL;
}

} // namespace

uint64_t kel__throughput(uint64_t ops, uint64_t ms)
{
    return ms > 1 ? ops * 1000u / ms : ops * 1000u;
}

void print_throughput(uint64_t ops, const char *unit, uint64_t ms)
{
    uint64_t usec_per_op = ops ? ms * 1000u / ops : 0;
    if (ms < 2)
        printf(KEL_FMT_THROUGHPUT_FAST, static_cast<ull>(ops), unit, static_cast<ull>(ops * 1000u),
               static_cast<ull>(usec_per_op));
    else
        printf(KEL_FMT_THROUGHPUT, static_cast<ull>(ops), unit, static_cast<ull>(ms),
               static_cast<ull>(ops * 1000u / ms), static_cast<ull>(usec_per_op));
}

void pds_check(const char *name, const kel_pds_sample_t *ref, const kel_pds_sample_t *alt, const char *unit)
{
    uint64_t ref_tp = kel__throughput(ref->ops, ref->ms);
    uint64_t alt_tp = kel__throughput(alt->ops, alt->ms);

    flockfile(stdout);
    printf(KEL_FMT_PDS_COMP, name);
    printf(KEL_FMT_PDS_REF, ref->desc);
    print_throughput(ref->ops, unit, ref->ms);
    printf("\n");
    printf(KEL_FMT_PDS_ALT, alt->desc);
    print_throughput(alt->ops, unit, alt->ms);
    /* Without reference operations there is nothing to compare against. */
    if (ref_tp == 0) {
        printf(KEL_MSG_PDS_NO_REF);
        funlockfile(stdout);
        return;
    }
    int64_t diff = (static_cast<int64_t>(alt_tp) - static_cast<int64_t>(ref_tp)) * 100 / static_cast<int64_t>(ref_tp);
    printf(KEL_FMT_PDS_DIFF, static_cast<long long>(diff));
    funlockfile(stdout);

    int32_t bound = alt->threshold;
    int64_t limit = (static_cast<int64_t>(bound) + 100) * static_cast<int64_t>(ref_tp) / 100;
    if (bound > 0 && static_cast<int64_t>(alt_tp) > limit)
        kel_log_error_(KEL_FW_FILE, "pds_check", 0, KEL_FMT_PDS_OVER, static_cast<ull>(alt_tp), bound,
                       static_cast<ull>(ref_tp));
    else if (bound < 0 && static_cast<int64_t>(alt_tp) < limit)
        kel_log_error_(KEL_FW_FILE, "pds_check", 0, KEL_FMT_PDS_BELOW, static_cast<ull>(alt_tp), bound,
                       static_cast<ull>(ref_tp));
}

void pds_store(kel_tctx_t *ctx, const char *unit, uint64_t ops, uint64_t ms)
{
    kel_t *kel = ctx->tc->instance;
    kel_pds_t *pds = find_pds(kel, ctx->pds_name);
    if (!pds) {
        pds = static_cast<kel_pds_t *>(calloc(1, sizeof *pds));
        if (!pds)
            kel__die(KEL_FAIL_COND, KEL_FW_FILE, "pds_store", 0, KEL_MARKED_PDS_ALLOC);
        pds->name = ctx->pds_name;
        pds->unit = unit;
        orv_queue_enqueue(&kel->run.pds_queue, pds);
    }
    if (pds->count >= 2) {
        kel_log_error_(KEL_FW_FILE, "pds_store", 0, KEL_FMT_PDS_FULL, pds->name);
        return;
    }
    kel_pds_sample_t *s = &pds->samples[pds->count++];
    s->desc = ctx->perf_desc;
    s->ops = ops;
    s->ms = ms;
    s->threshold = static_cast<int32_t>(ctx->pds_param);
    if (pds->count == 2) {
        bool b0 = pds->samples[0].threshold != 0;
        bool b1 = pds->samples[1].threshold != 0;
        if (b0 != b1) {
            const kel_pds_sample_t *ref = b0 ? &pds->samples[1] : &pds->samples[0];
            const kel_pds_sample_t *alt = b0 ? &pds->samples[0] : &pds->samples[1];
            pds_check(pds->name, ref, alt, pds->unit);
        }
    }
}

void kel__pds_release(kel_t *kel)
{
    void *p;
    while ((p = orv_queue_dequeue(&kel->run.pds_queue)) != NULL)
        free(p);
}

extern "C" {

uint64_t kel_get_time(void)
{
    struct timespec ts;
    orv_time_get_timespec(&ts);
    return orv_time_timespec_to_msec64(&ts);
}

uint32_t kel_sleep(uint32_t msec)
{
    return orv_time_sleep(msec);
}

void kel_start_pds(const char *description, const char *pds_name, int bound)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_start_pds");
    if (!ctx)
        return;
    if (!description)
        puts(KEL_MSG_PERF_NULL_DESC);
    ctx->perf_desc = description;
    ctx->pds_name = pds_name;
    ctx->pds_param = static_cast<uint32_t>(bound);
    ctx->perf_start_ms = kel_get_time();
}

void kel_start_perf(const char *description)
{
    kel_start_pds(description, NULL, 0);
}

void kel_stop_perf_(const char *unit, uint64_t ops)
{
    kel_tctx_t *ctx = kel__tctx_or_notice("kel_stop_perf_");
    if (!ctx)
        return;
    if (!ctx->perf_desc) {
        printf(KEL_MSG_PERF_NO_START);
        return;
    }
    uint64_t elapsed = kel_get_time() - ctx->perf_start_ms;
    if (!ctx->pds_name) {
        if (kel__verbose(ctx->tc->instance->cfg.verbosity)) {
            flockfile(stdout);
            printf(KEL_FMT_PERF_TITLE, ctx->perf_desc);
            printf(KEL_INDENT);
            print_throughput(ops, unit, elapsed);
            printf("\n");
            funlockfile(stdout);
        }
    } else {
        pds_store(ctx, unit, ops, elapsed);
    }
    ctx->perf_desc = NULL;
}

} // extern "C"

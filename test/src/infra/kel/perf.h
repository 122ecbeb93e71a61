/*
 * perf.h - performance measurement: throughput lines and data sets.
 */
#ifndef KEL_PERF_H
#define KEL_PERF_H

#include "kel_types.h"

/* Prints "N unit in M ms (T/sec, U usec/op)" or its "less than 1 ms" form,
 * without a line feed. */
void print_throughput(uint64_t ops, const char *unit, uint64_t ms);
/* Operations per second of a sample (ms 0 or 1 counts as 1 ms). */
uint64_t kel__throughput(uint64_t ops, uint64_t ms);
/* Stores a sample in the data set of the context's measurement. */
void pds_store(kel_tctx_t *ctx, const char *unit, uint64_t ops, uint64_t ms);
/* Compares the reference and the alternative sample of a data set. */
void pds_check(const char *name, const kel_pds_sample_t *ref, const kel_pds_sample_t *alt, const char *unit);
/* Frees every data set of the run. */
void kel__pds_release(kel_t *kel);

#endif

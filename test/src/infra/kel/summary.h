/*
 * summary.h - the end-of-run summaries and the slave's result delivery.
 */
#ifndef KEL_SUMMARY_H
#define KEL_SUMMARY_H

#include "kel_types.h"

/* Master: the list of failed tests (unless quiet, or without with_records),
 * SUMMARY and counts. */
void kel__print_master_summary(kel_t *kel, bool with_records);
/* Slave: the one-block summary naming the process. */
void kel__print_slave_summary(kel_t *kel, const kel_tc_t *selected, uint64_t elapsed_ms);
/* Slave: writes counts and the packed failure list into its result slot and
 * returns the run code (0 when delivered). */
int kel__deliver_slave_results(kel_t *kel, uint64_t elapsed_ms);
/* Releases every failure record left in failed_queue. */
void kel__drop_failed_records(kel_t *kel);

#endif

/*
 * failure.h - failure records, the failure block and the test header line,
 * and the folding of what child processes report into the instance.
 */
#ifndef KEL_FAILURE_H
#define KEL_FAILURE_H

#include <stdarg.h>

#include "kel_types.h"

/* The bound of the run's three totals: the summary prints them as int. */
#define KEL_RUN_TOTAL_MAX 0x7FFFFFFFu

/* Makes a local failure record, queues it and prints the failure block.
 * format may be NULL; ap may be NULL (then format is printed as plain text). */
void keep_failed_test_info(const char *title, kel_tctx_t *ctx, const char *condition, const char *file,
                           const char *function, int line, const char *format, va_list *ap);
/* Appends a record of either form under failed_mutex (frees it on failure). */
void enqueue_failed_test_info(kel_t *kel, kel_failed_info_t *rec);
/* Prints the test header once per context (nothing when quiet). */
void print_test_header(kel_tctx_t *ctx);
/* Prints where a failure happened, after lead, by the one rule of every
 * output: the file, ":<line>" when the line is known (above 0), then
 * ":<function>()" when the function is known. Used by the failure block,
 * the summary's record of a local failure and the packed list's entries.
 * A packed entry carries its place already joined, "<file>:<line>:<function>"
 * with every field even when unknown (its wire form, which slaves and
 * agents of any build send); it comes here as the function alone, so a
 * framework failure at line 0 reads "file:0:function()" from a child but
 * "file:function()" from the master's own records. */
void kel__print_location(const char *lead, const char *file, int line, const char *function);
/* Frees a record and, for a reported one, its packed list. */
void kel__failed_info_free(kel_failed_info_t *rec);

/* Pass rate in percent: (executed - failed) * 100 / executed; 0 when
 * nothing was executed or more failed than were executed. */
uint32_t kel__pass_rate(uint32_t executed, uint32_t failed);
/* Folds what a child process reported (a local slave's slot or a remote
 * agent's result, read into a slot with summary_len bounded) into the instance: adds its counts and, when it failed,
 * queues a reported record (local 0) with a copy of its packed failure list
 * for the summary. pid is the slave's, 0 for a remote child, whose node is
 * then given; info is the child's spawn record. Returns the child's pass rate.
 * A result that cannot be a child's (more failed than executed, or counts
 * that would take a run total past KEL_RUN_TOTAL_MAX) is replaced in *res
 * by one test case executed and failed, with no checkpoints and no list,
 * and its record prints the malformed-result line instead of a list; the
 * run records it too (run_records.h). */
uint32_t kel__fold_child(kel_t *kel, const spawn_info *info, int32_t pid, kel_node_id_t node, kel_res_slot_t *res);

#endif

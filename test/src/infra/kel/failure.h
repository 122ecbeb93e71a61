/*
 * failure.h - failure records, the failure block and the test header line.
 */
#ifndef KEL_FAILURE_H
#define KEL_FAILURE_H

#include <stdarg.h>

#include "kel_types.h"

/* Makes a local failure record, queues it and prints the failure block.
 * format may be NULL; ap may be NULL (then format is printed as plain text). */
void keep_failed_test_info(const char *title, kel_tctx_t *ctx, const char *condition, const char *file,
                           const char *function, int line, const char *format, va_list *ap);
/* Appends a record of either form under failed_mutex (frees it on failure). */
void enqueue_failed_test_info(kel_t *kel, kel_failed_info_t *rec);
/* Prints the test header once per context (nothing when quiet). */
void print_test_header(kel_tctx_t *ctx);
/* Frees a record and, for a reported one, its packed list. */
void kel__failed_info_free(kel_failed_info_t *rec);

#endif

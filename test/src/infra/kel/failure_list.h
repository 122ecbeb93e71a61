/*
 * failure_list.h - the packed failure list that slaves write into their
 * result slot, agents send in their result, and the summary prints.
 *
 * Layout: entries back to back, each three length-prefixed texts (path,
 * location "file:line:function", condition; lengths 0..253), then the end
 * byte 0xFE; 0xFF instead of an entry marks a list cut short. Readers never
 * trust the bytes: they stay inside the area and report a malformed list.
 */
#ifndef KEL_FAILURE_LIST_H
#define KEL_FAILURE_LIST_H

#include "kel_types.h"

/* Starts an empty list in area (size bytes usable, at least 1). */
void kel__fl_init(uint8_t *area, size_t size, size_t *used);
/* Appends one entry built from a local record; when it does not fit, writes
 * 0xFF and every later append does nothing. */
void kel__fl_append(uint8_t *area, size_t size, size_t *used, const kel_failed_info_t *rec);
/* Prints a reported record (local 0) for the summary of failed tests,
 * ending with the newline that closes the record. */
void kel__fl_print_reported(const kel_failed_info_t *rec);

#endif

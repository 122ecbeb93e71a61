/*
 * cmdline.h - the command line of kel_run: tokens, options, usage text.
 */
#ifndef KEL_CMDLINE_H
#define KEL_CMDLINE_H

#include "kel_types.h"

/* The listing depth when -h names none: every level. */
#define KEL_DEPTH_UNLIMITED 2147483647
/* The largest -T a run accepts (KEL_MSG_TOO_MANY_THREADS names it). */
#define KEL_MAX_THREADS 4096

/* Clears args, then splits the non-NULL strings of argv[0..argc-1] at blanks
 * (0x20 only) into at most 16 tokens of at most 256 characters; longer words
 * are cut and further text is dropped, both silently. Sets index to 1 (token
 * 0 is the program name) and returns the token count. */
int kel__tokenize(kel_args_t *args, int argc, char **argv);

/* Reads the options from args->index on into the instance and leaves index at
 * the first path token, or at count when none is left. Sets *help and *depth
 * (KEL_DEPTH_UNLIMITED unless -h names a depth). Only the options given are
 * stored; resetting the per-run defaults is the caller's. -shm_res stores a
 * heap copy, freeing the previous one. Returns 0, or 1 for an invalid option
 * after printing the usage text with prog. */
int kel__parse_options(kel_args_t *args, kel_t *kel, const char *prog, bool *help, int32_t *depth);

/* Prints the usage text on stdout: the message (when not NULL), the usage
 * head naming prog ("orv" when NULL), the options and the legend. */
void kel_usage(const char *prog, const char *message);

#endif

/*
 * vars.h - run variables (-D lists, injections) of the instance.
 */
#ifndef KEL_VARS_H
#define KEL_VARS_H

#include "kel_types.h"

/* Parses a name=value list into the instance's store and appends it to
 * vars_text. */
void parse_nvp_list(kel_t *kel, const char *list);
/* Removes and frees every variable, the store and vars_text. */
void kel__vars_release(kel_t *kel);

#endif

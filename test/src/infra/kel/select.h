/*
 * select.h - resolving a test case path and listing the tree.
 */
#ifndef KEL_SELECT_H
#define KEL_SELECT_H

#include "kel_types.h"

/* Resolves the path tokens from args->index on, one level per token, starting
 * among node's children, and marks the nodes for the run (selected on the
 * path; selected, subtree and target on the target; the -T count of the
 * instance). Returns the target, or NULL with args->error holding "Invalid
 * test case name: ..." or left unchanged when the path goes on below a node
 * without children. args->index ends after the last matched token. */
kel_tc_t *kel_tc_select(kel_tc_t *node, kel_args_t *args);

/* Prints node's children and theirs, one line each, indented by indent
 * levels, depth levels deep (a negative depth: all). When a child is
 * selected, only the selected children are listed. indent 1 adds an empty
 * line after the level. */
void kel_tc_list(kel_tc_t *node, int indent, int depth);

/* The usage and listing outputs of kel_run, which returns what this returns.
 * Call it after the options when no path token is left (selected NULL), and
 * after kel_tc_select when help was asked or nothing was selected (selected
 * is its result). It prints the usage text (naming prog), the depth line and
 * the listing that the case calls for, narrowing the listing to the marks the
 * selection left, and returns 1. With a selection and no help there is
 * nothing to list: it prints nothing and returns 0. */
int kel__list_for_run(kel_t *kel, kel_args_t *args, const char *prog, bool help, int32_t depth,
                      kel_tc_t *selected);

#endif

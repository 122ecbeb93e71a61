/*
 * tree.h - walks over the test tree: path names, selection marks, freeing.
 * The public builders (kel_create, kel_create_test_case, ...) are in kel.h.
 */
#ifndef KEL_TREE_H
#define KEL_TREE_H

#include "kel_types.h"

/* Prints each name of the node's path top-down, each followed by ':'. */
void kel_tc_print_path(const kel_tc_t *tc);
/* Bytes needed for the joined path including its NUL; 0 for the instance. */
size_t kel_tc_path_len(const kel_tc_t *tc);
/* Writes each path name followed by sep into buf (kel_tc_path_len bytes);
 * returns the position after the last separator (callers overwrite the last
 * separator with NUL). */
char *kel_tc_path_join(const kel_tc_t *tc, char sep, char *buf);
/* Stores pointers to the path names into args from index on; returns the
 * index after the last one stored. */
int kel_tc_path_args(const kel_tc_t *tc, char **args, int index);
/* The path joined by sep in a new heap text ("" for the instance); NULL when
 * memory runs out. */
char *kel__tc_path_dup(const kel_tc_t *tc, char sep);
/* Clears selected, target and threaded and zeroes threads, node and below. */
void kel_tc_reset(kel_tc_t *tc);
/* Sets selected and subtree on the node and every non-explicit descendant. */
void kel_tc_mark(kel_tc_t *tc);
/* Frees the node's children and everything below them. */
void kel_tc_free_subtree(kel_tc_t *tc);
/* The setup that stands in for a fixture given only a teardown. */
void kel_noop_setup(void);

static inline uint32_t kel__tc_mode(const kel_tc_t *tc) { return tc->flags & KEL_TCF_MODE_MASK; }
static inline bool kel__tc_is_leaf(const kel_tc_t *tc) { return tc->body != NULL; }
static inline kel_tc_t *kel__tc_first_child(const kel_tc_t *tc)
{
    return static_cast<kel_tc_t *>(orv_queue_peek_head(&tc->children));
}
/* Thread count of a child: -T count, else multi count, else 1. */
static inline uint32_t kel__child_threads(const kel_tc_t *tc)
{
    return tc->threads ? tc->threads : tc->multi_count ? tc->multi_count : 1;
}
static inline kel_tc_t *kel__tc_next_sibling(const kel_tc_t *tc)
{
    return reinterpret_cast<kel_tc_t *>(tc->link.next);
}

#endif

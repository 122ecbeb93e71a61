/*
 * tree.cpp - the test tree: the instance, folders and leaf test cases, their
 * fixtures and run options, and the walks over the tree (paths, selection
 * marks, freeing) that selection, execution and failure reporting use.
 *
 * The tree is built and destroyed by one thread, before and after kel_run;
 * during a run it is only read (apart from the selection marks that each run
 * sets before it executes anything), so nothing here takes a lock.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "messages.h"
#include "run_records.h"
#include "tree.h"

namespace {

char *dup_text(const char *s)
{
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(malloc(n));
    if (p)
        memcpy(p, s, n);
    return p;
}

/* The path's nodes top-down: the ancestors below the instance's own node,
 * then the node. Depth is bounded by memory, so walk twice instead of keeping
 * an array: count, then visit by index. */
int path_depth(const kel_tc_t *tc)
{
    int depth = 0;
    for (const kel_tc_t *n = tc; n && n->parent; n = n->parent)
        depth++;
    return depth;
}

const kel_tc_t *path_node(const kel_tc_t *tc, int depth, int i)
{
    const kel_tc_t *n = tc;
    for (int up = depth - 1 - i; up > 0; up--)
        n = n->parent;
    return n;
}

void free_node(kel_tc_t *tc)
{
    free(tc->description);
    free(tc->name);
    free(tc);
}

} // namespace

void kel_noop_setup(void) {}

extern "C" {

uint32_t kel_create(kel_t **kel)
{
    if (!kel)
        return EINVAL;
    kel_t *k = static_cast<kel_t *>(calloc(1, sizeof(kel_t)));
    if (!k)
        return ENOMEM;
    k->cfg.verbosity = KEL_VERBOSITY_NORMAL;
    k->tc.instance = k;
    k->tc.seq_count = 1;
    k->root = kel_create_test_case(k, NULL, "all", "All test cases", NULL, 0);
    if (!k->root) {
        free(k);
        return ENOMEM;
    }
    *kel = k;
    return 0;
}

kel_tc_t *kel_create_test_case(kel_t *kel, kel_tc_t *parent, const char *name, const char *description,
                               kel_fn_t body, uint32_t type)
{
    if (!kel || !name || !description)
        return NULL;
    kel_tc_t *tc = static_cast<kel_tc_t *>(calloc(1, sizeof(kel_tc_t)));
    if (!tc)
        return NULL;
    tc->name = dup_text(name);
    tc->description = dup_text(description);
    if (!tc->name || !tc->description) {
        free_node(tc);
        return NULL;
    }
    tc->instance = kel;
    tc->parent = parent ? parent : &kel->tc;
    tc->body = body;
    tc->type = type;
    tc->seq_count = 1;
    if (!orv_queue_enqueue(&tc->parent->children, tc)) {
        free_node(tc);
        return NULL;
    }
    return tc;
}

kel_tc_t *kel_create_test_folder(kel_t *kel, kel_tc_t *parent, const char *name, const char *description)
{
    return kel_create_test_case(kel, parent, name, description, NULL, 0);
}

kel_tc_t *kel_get_root(kel_t *kel)
{
    return kel ? kel->root : NULL;
}

void kel_add_fixture(kel_tc_t *tc, kel_fn_t setup, kel_fn_t teardown)
{
    if (!setup && !teardown) {
        printf(KEL_MSG_NULL_FIXTURE);
        return;
    }
    if (!tc)
        return;
    if (!setup)
        setup = kel_noop_setup;
    for (int i = 0; i < KEL_MAX_FIXTURES; i++) {
        if (!tc->setups[i]) {
            tc->setups[i] = setup;
            tc->teardowns[i] = teardown;
            return;
        }
    }
    printf(KEL_MSG_TOO_MANY_FIXTURES);
}

void kel_destroy(kel_t **kel)
{
    if (!kel || !*kel)
        return;
    kel_t *k = *kel;
    kel_tc_t *child;
    while ((child = static_cast<kel_tc_t *>(orv_queue_dequeue(&k->tc.children))) != NULL) {
        kel_tc_free_subtree(child);
        free_node(child);
    }
    kel__run_records_free(k);
    free(k->cfg.shm_res);
    free(k->cfg.argv0);
    free(k);
    *kel = NULL;
}

static void set_mode(kel_tc_t *tc, uint8_t mode)
{
    if (!tc)
        return;
    if (tc->body) {
        printf(KEL_MSG_MODE_ON_LEAF);
        return;
    }
    tc->flags = static_cast<uint8_t>((tc->flags & ~KEL_TCF_MODE_MASK) | mode);
}

void kel_multi_task_enable(kel_tc_t *tc) { set_mode(tc, KEL_TCF_MULTI_TASK); }

void kel_multi_process_enable(kel_tc_t *tc) { set_mode(tc, KEL_TCF_MULTI_PROCESS); }

void kel_set_option(kel_tc_t *tc, int option)
{
    if (!tc)
        return;
    if (option & 1)
        tc->flags |= KEL_TCF_SCHED_OPTION;
    else
        tc->flags = static_cast<uint8_t>(tc->flags & ~KEL_TCF_SCHED_OPTION);
}

static uint16_t count16(int count)
{
    uint16_t c = static_cast<uint16_t>(static_cast<unsigned>(count) & 0xFFFFu);
    return c ? c : 1;
}

void kel_seq_set_count(kel_tc_t *tc, int count)
{
    if (tc)
        tc->seq_count = count16(count);
}

void kel_multi_task_set_count(kel_tc_t *tc, int count)
{
    if (tc)
        tc->multi_count = count16(count);
}

} // extern "C"

/* ---- walks ------------------------------------------------------------- */

void kel_tc_print_path(const kel_tc_t *tc)
{
    int depth = path_depth(tc);
    for (int i = 0; i < depth; i++) {
        const kel_tc_t *n = path_node(tc, depth, i);
        if (n->name)
            printf(KEL_FMT_PATH_NAME, n->name);
    }
}

size_t kel_tc_path_len(const kel_tc_t *tc)
{
    size_t len = 0;
    for (const kel_tc_t *n = tc; n && n->parent; n = n->parent)
        len += (n->name ? strlen(n->name) : 0) + 1;
    return len;
}

char *kel_tc_path_join(const kel_tc_t *tc, char sep, char *buf)
{
    int depth = path_depth(tc);
    char *p = buf;
    for (int i = 0; i < depth; i++) {
        const kel_tc_t *n = path_node(tc, depth, i);
        size_t len = n->name ? strlen(n->name) : 0;
        memcpy(p, n->name ? n->name : "", len);
        p += len;
        *p++ = sep;
    }
    return p;
}

int kel_tc_path_args(const kel_tc_t *tc, char **args, int index)
{
    int depth = path_depth(tc);
    for (int i = 0; i < depth; i++)
        args[index++] = path_node(tc, depth, i)->name;
    return index;
}

char *kel__tc_path_dup(const kel_tc_t *tc, char sep)
{
    size_t len = kel_tc_path_len(tc);
    char *buf = static_cast<char *>(malloc(len ? len : 1));
    if (!buf)
        return NULL;
    char *end = kel_tc_path_join(tc, sep, buf);
    if (end > buf)
        end[-1] = '\0';
    else
        buf[0] = '\0';
    return buf;
}

void kel_tc_reset(kel_tc_t *tc)
{
    tc->flags = static_cast<uint8_t>(tc->flags & ~(KEL_TCF_SELECTED | KEL_TCF_TARGET | KEL_TCF_THREADED));
    tc->threads = 0;
    for (kel_tc_t *c = kel__tc_first_child(tc); c; c = kel__tc_next_sibling(c))
        kel_tc_reset(c);
}

void kel_tc_mark(kel_tc_t *tc)
{
    tc->flags |= KEL_TCF_SELECTED | KEL_TCF_SUBTREE;
    for (kel_tc_t *c = kel__tc_first_child(tc); c; c = kel__tc_next_sibling(c))
        if (!(c->type & KEL_TC_EXPLICIT))
            kel_tc_mark(c);
}

void kel_tc_free_subtree(kel_tc_t *tc)
{
    kel_tc_t *child;
    while ((child = static_cast<kel_tc_t *>(orv_queue_dequeue(&tc->children))) != NULL) {
        kel_tc_free_subtree(child);
        free_node(child);
    }
}

/*
 * select.cpp - resolving a test case path against the tree, and listing it.
 *
 * The path tokens left by the option parser name one node, a token per level,
 * each token a case-insensitive name or the start of one. The selection
 * leaves its result only as marks in the node flags, which is all the
 * executor reads; the listing reads the same marks to show just the path the
 * user typed. kel__list_for_run gathers the outputs kel_run gives instead of
 * running: usage text, depth line and listing, as the command line asks.
 */
#include "select.h"

#include <ctype.h>
#include <stdio.h>

#include "cmdline.h"
#include "messages.h"
#include "tree.h"

namespace {

enum class name_match { none, abbreviation, exact };

/* Byte-wise case folding in the current locale: names are not otherwise
 * normalised. */
name_match match_name(const char *name, const char *token)
{
    if (name == nullptr)
        return name_match::none;
    for (;; name++, token++) {
        const unsigned char n = static_cast<unsigned char>(*name);
        const unsigned char t = static_cast<unsigned char>(*token);
        if (t == '\0')
            return n == '\0' ? name_match::exact : name_match::abbreviation;
        if (n == '\0' || tolower(n) != tolower(t))
            return name_match::none;
    }
}

/* The child a token names: an exact name wins over any abbreviation, and of
 * several abbreviated names the first created wins. */
kel_tc_t *match_child(const kel_tc_t *node, const char *token)
{
    kel_tc_t *abbreviated = nullptr;
    for (kel_tc_t *c = kel__tc_first_child(node); c != nullptr; c = kel__tc_next_sibling(c)) {
        switch (match_name(c->name, token)) {
        case name_match::exact:
            return c;
        case name_match::abbreviation:
            if (abbreviated == nullptr)
                abbreviated = c;
            break;
        case name_match::none:
            break;
        }
    }
    return abbreviated;
}

void mark_target(kel_tc_t *target, kel_tc_t *parent)
{
    target->flags |= KEL_TCF_SELECTED | KEL_TCF_SUBTREE;
    /* An explicit-only child runs only when a path names it. */
    for (kel_tc_t *c = kel__tc_first_child(target); c != nullptr; c = kel__tc_next_sibling(c))
        if ((c->type & KEL_TC_EXPLICIT) == 0)
            kel_tc_mark(c);
    target->flags |= KEL_TCF_TARGET;

    const int32_t threads = target->instance->cfg.threads;
    if (threads <= 0)
        return;
    if (kel__tc_first_child(target) != nullptr && kel__tc_mode(target) == 0) {
        /* A plain folder spreads the count over its children. */
        target->flags |= KEL_TCF_THREADED;
        for (kel_tc_t *c = kel__tc_first_child(target); c != nullptr; c = kel__tc_next_sibling(c))
            c->threads = static_cast<uint32_t>(threads);
    } else {
        /* The target itself runs in that many threads, started by the node
         * above it. */
        target->threads = static_cast<uint32_t>(threads);
        parent->flags |= KEL_TCF_THREADED;
    }
}

void list_line(const kel_tc_t *c, int indent)
{
    for (int i = 0; i < indent; i++)
        printf(KEL_MSG_LIST_INDENT);
    if ((c->type & KEL_TC_EXPLICIT) != 0)
        printf(KEL_MSG_LIST_NAME_EXPLICIT, c->name);
    else
        printf(KEL_MSG_LIST_NAME, c->name);
    if ((c->flags & KEL_TCF_REMOTE) != 0)
        printf(KEL_MSG_LIST_REMOTE);
    if (kel__tc_mode(c) == KEL_TCF_MULTI_TASK)
        printf(KEL_MSG_LIST_MULTI_TASK);
    else if (kel__tc_mode(c) == KEL_TCF_MULTI_PROCESS)
        printf(KEL_MSG_LIST_MULTI_PROCESS);
    if (c->multi_count != 0)
        printf(KEL_MSG_LIST_SEQ_MULTI, c->seq_count, c->multi_count);
    else if (c->seq_count > 1)
        printf(KEL_MSG_LIST_SEQ, c->seq_count);
    if (c->description != nullptr)
        printf(KEL_MSG_LIST_DESCRIPTION, c->description);
    printf(KEL_MSG_EOL);
}

void print_depth(int32_t depth)
{
    if (depth != KEL_DEPTH_UNLIMITED)
        printf(KEL_MSG_LIST_DEPTH, depth);
}

} // namespace

kel_tc_t *kel_tc_select(kel_tc_t *node, kel_args_t *args)
{
    kel_tc_t *parent = node;
    while (args->index < args->count) {
        const char *token = args->tokens[args->index];
        if (kel__tc_first_child(parent) == nullptr)
            return nullptr;
        kel_tc_t *child = match_child(parent, token);
        if (child == nullptr) {
            /* Cutting a long token is intended; taking the length tells the
             * compiler so. */
            const int len = snprintf(args->error, sizeof(args->error), KEL_MSG_INVALID_TC_NAME, token);
            (void)len;
            return nullptr;
        }
        args->index++;
        child->flags |= KEL_TCF_SELECTED;
        if (args->index == args->count) {
            mark_target(child, parent);
            return child;
        }
        parent = child;
    }
    return nullptr;
}

void kel_tc_list(kel_tc_t *node, int indent, int depth)
{
    bool narrowed = false;
    for (kel_tc_t *c = kel__tc_first_child(node); c != nullptr; c = kel__tc_next_sibling(c))
        if ((c->flags & KEL_TCF_SELECTED) != 0)
            narrowed = true;

    for (kel_tc_t *c = kel__tc_first_child(node); c != nullptr; c = kel__tc_next_sibling(c)) {
        if (narrowed && (c->flags & KEL_TCF_SELECTED) == 0)
            continue;
        list_line(c, indent);
        /* Any negative depth means the whole tree; keep it from wrapping. */
        const int below = depth < 0 ? -1 : depth - 1;
        if (below != 0)
            kel_tc_list(c, indent + 1, below);
    }
    if (indent == 1)
        printf(KEL_MSG_EOL);
}

int kel__list_for_run(kel_t *kel, kel_args_t *args, const char *prog, bool help, int32_t depth,
                      kel_tc_t *selected)
{
    const bool has_path = selected != nullptr || args->index < args->count;

    if (!help) {
        if (selected != nullptr)
            return 0;
        /* No path, or a wrong one: the listing shows what there is to name,
         * narrowed to the tokens that did match. */
        kel_usage(prog, has_path ? args->error : KEL_MSG_SELECT_PATHNAME);
        kel_tc_list(&kel->tc, 1, KEL_DEPTH_UNLIMITED);
        return 1;
    }
    if (!has_path) {
        kel_usage(prog, nullptr);
        return 1;
    }
    print_depth(depth);
    if (selected == kel->root) {
        kel_tc_reset(kel->root);
    } else if (selected != nullptr) {
        /* Show the path above the target and everything below it. */
        kel_tc_reset(selected);
        selected->flags |= KEL_TCF_SELECTED;
    }
    kel_tc_list(&kel->tc, 1, depth);
    return 1;
}

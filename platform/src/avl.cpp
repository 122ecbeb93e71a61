/*
 * avl.cpp - the intrusive AVL tree.
 *
 * Records begin with an orv_avl_node_t; nodes carry parent pointers and their
 * subtree height (a leaf has height 1), so insertion, deletion and in-order
 * walks need neither recursion nor an auxiliary stack. After every change the
 * path to the root is retraced and rebalanced with single or double
 * rotations, which keeps the height below 1.44 log2(n + 2).
 *
 * Deletion of a node with two children moves its in-order successor node
 * into its place instead of copying record contents, so every other record
 * keeps its node: a walker may therefore remove the record it is handed.
 */
#include <errno.h>

#include "orv.h"

namespace {

inline int32_t height_of(const orv_avl_node_t *n)
{
    return n == nullptr ? 0 : n->height;
}

inline void update_height(orv_avl_node_t *n)
{
    int32_t hl = height_of(n->left);
    int32_t hr = height_of(n->right);
    n->height = 1 + (hl > hr ? hl : hr);
}

/* Puts v where u hangs (under u's parent, or as the root). */
void replace_child(orv_avl_tree_t *tree, orv_avl_node_t *u, orv_avl_node_t *v)
{
    orv_avl_node_t *p = u->parent;
    if (p == nullptr)
        tree->root = v;
    else if (p->left == u)
        p->left = v;
    else
        p->right = v;
    if (v != nullptr)
        v->parent = p;
}

orv_avl_node_t *rotate_left(orv_avl_tree_t *tree, orv_avl_node_t *x)
{
    orv_avl_node_t *y = x->right;
    x->right = y->left;
    if (y->left != nullptr)
        y->left->parent = x;
    replace_child(tree, x, y);
    y->left = x;
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

orv_avl_node_t *rotate_right(orv_avl_tree_t *tree, orv_avl_node_t *x)
{
    orv_avl_node_t *y = x->left;
    x->left = y->right;
    if (y->right != nullptr)
        y->right->parent = x;
    replace_child(tree, x, y);
    y->right = x;
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

/* Restores the balance of the subtree rooted at n; returns its new root. */
orv_avl_node_t *rebalance(orv_avl_tree_t *tree, orv_avl_node_t *n)
{
    int32_t balance = height_of(n->left) - height_of(n->right);
    if (balance > 1) {
        if (height_of(n->left->left) < height_of(n->left->right))
            rotate_left(tree, n->left);
        return rotate_right(tree, n);
    }
    if (balance < -1) {
        if (height_of(n->right->right) < height_of(n->right->left))
            rotate_right(tree, n->right);
        return rotate_left(tree, n);
    }
    update_height(n);
    return n;
}

/* Rebalances every node from n up to the root. Stopping early where the
 * height stays the same would save a few steps; the path is O(log n) long
 * either way. */
void retrace(orv_avl_tree_t *tree, orv_avl_node_t *n)
{
    while (n != nullptr)
        n = rebalance(tree, n)->parent;
}

orv_avl_node_t *leftmost(orv_avl_node_t *n)
{
    while (n != nullptr && n->left != nullptr)
        n = n->left;
    return n;
}

orv_avl_node_t *successor(orv_avl_node_t *n)
{
    if (n->right != nullptr)
        return leftmost(n->right);
    while (n->parent != nullptr && n->parent->right == n)
        n = n->parent;
    return n->parent;
}

void reset_node(orv_avl_node_t *n)
{
    n->left = nullptr;
    n->right = nullptr;
    n->parent = nullptr;
    n->height = 0;
    n->in_tree = 0;
}

/* True when node is linked into this very tree (not just some tree). */
bool belongs_to(const orv_avl_tree_t *tree, const orv_avl_node_t *node)
{
    if (node->in_tree == 0)
        return false;
    while (node->parent != nullptr)
        node = node->parent;
    return node == tree->root;
}

} // namespace

uint32_t orv_avl_tree_init(orv_avl_tree_t *tree, orv_avl_cmp_fn cmp, uint32_t flags)
{
    if (tree == nullptr || cmp == nullptr)
        return EINVAL;
    tree->root = nullptr;
    tree->cmp = cmp;
    tree->size = 0;
    tree->flags = flags;
    return 0;
}

uint32_t orv_avl_init(orv_avl_node_t *node)
{
    if (node == nullptr)
        return EINVAL;
    reset_node(node);
    return 0;
}

uint32_t orv_avl_insert(orv_avl_tree_t *tree, orv_avl_node_t *node)
{
    if (tree == nullptr || node == nullptr || tree->cmp == nullptr)
        return EINVAL;
    orv_avl_node_t *parent = nullptr;
    orv_avl_node_t **link = &tree->root;
    while (*link != nullptr) {
        parent = *link;
        int c = tree->cmp(node, parent);
        if (c == ORV_AVL_CMP_EQUAL)
            return EEXIST;
        link = c == ORV_AVL_CMP_LESS ? &parent->left : &parent->right;
    }
    reset_node(node);
    node->parent = parent;
    node->height = 1;
    node->in_tree = 1;
    *link = node;
    tree->size++;
    retrace(tree, parent);
    return 0;
}

uint32_t orv_avl_search(orv_avl_tree_t *tree, const void *key, orv_avl_node_t **found)
{
    if (found != nullptr)
        *found = nullptr;
    if (tree == nullptr || key == nullptr || found == nullptr || tree->cmp == nullptr)
        return EINVAL;
    orv_avl_node_t *n = tree->root;
    while (n != nullptr) {
        int c = tree->cmp(key, n);
        if (c == ORV_AVL_CMP_EQUAL) {
            *found = n;
            return 0;
        }
        n = c == ORV_AVL_CMP_LESS ? n->left : n->right;
    }
    return ORV_AVL_E_NOT_FOUND;
}

uint32_t orv_avl_delete(orv_avl_tree_t *tree, orv_avl_node_t *node, uint32_t flags)
{
    (void)flags;
    if (tree == nullptr || node == nullptr)
        return EINVAL;
    if (!belongs_to(tree, node))
        return ENOENT;

    orv_avl_node_t *retrace_from;
    if (node->left != nullptr && node->right != nullptr) {
        /* The successor y has no left child; it takes node's place. */
        orv_avl_node_t *y = leftmost(node->right);
        if (y->parent == node) {
            retrace_from = y;
        } else {
            retrace_from = y->parent;
            replace_child(tree, y, y->right);
            y->right = node->right;
            y->right->parent = y;
        }
        replace_child(tree, node, y);
        y->left = node->left;
        y->left->parent = y;
        y->height = node->height;
    } else {
        retrace_from = node->parent;
        replace_child(tree, node, node->left != nullptr ? node->left : node->right);
    }
    reset_node(node);
    tree->size--;
    retrace(tree, retrace_from);
    return 0;
}

uint32_t orv_avl_tree_walk(orv_avl_tree_t *tree, orv_avl_walker_fn walker, void *arg)
{
    if (tree == nullptr || walker == nullptr)
        return EINVAL;
    orv_avl_node_t *n = leftmost(tree->root);
    while (n != nullptr) {
        /* Taken before the call so the walker may remove its record. */
        orv_avl_node_t *next = successor(n);
        uint32_t rc = walker(n, arg);
        if (rc != 0)
            return rc;
        n = next;
    }
    return 0;
}

uint32_t orv_avl_tree_destroy(orv_avl_tree_t *tree, orv_avl_destructor_fn destructor, void *arg)
{
    if (tree == nullptr)
        return EINVAL;
    orv_avl_node_t *n = tree->root;
    tree->root = nullptr;
    tree->size = 0;
    /* Post-order, cutting each leaf off its parent before its destructor
     * runs, so the destructor may free the record. */
    while (n != nullptr) {
        if (n->left != nullptr) {
            n = n->left;
        } else if (n->right != nullptr) {
            n = n->right;
        } else {
            orv_avl_node_t *parent = n->parent;
            if (parent != nullptr) {
                if (parent->left == n)
                    parent->left = nullptr;
                else
                    parent->right = nullptr;
            }
            reset_node(n);
            if (destructor != nullptr)
                destructor(n, arg);
            n = parent;
        }
    }
    return 0;
}

uint32_t orv_avl_tree_get_size(const orv_avl_tree_t *tree, uint32_t *size)
{
    if (tree == nullptr || size == nullptr)
        return EINVAL;
    *size = tree->size;
    return 0;
}

/*
 * avl_test.cpp - the intrusive AVL tree.
 *
 * The tree's shape is checked from the outside through the public node
 * fields: every parent link, every stored height, the balance of every node,
 * the in-order sequence and the count, and the height bound
 * 1.44 log2(n + 2) of an AVL tree, over 100 000 random inserts and deletes.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "orv.h"

namespace {

struct rec {
    orv_avl_node_t node;
    int key;
};

int rec_cmp(const void *a, const void *b)
{
    int ka = static_cast<const rec *>(a)->key;
    int kb = static_cast<const rec *>(b)->key;
    if (ka == kb)
        return ORV_AVL_CMP_EQUAL;
    return ka < kb ? ORV_AVL_CMP_LESS : ORV_AVL_CMP_GREATER;
}

struct shape {
    bool ok = true;
    uint32_t count = 0;
    int last_key = 0;
    bool have_last = false;
};

/* Returns the real height of the subtree and records any defect in s. */
int check_subtree(const orv_avl_node_t *n, const orv_avl_node_t *parent, shape *s)
{
    if (n == nullptr)
        return 0;
    if (n->parent != parent || n->in_tree == 0)
        s->ok = false;
    int hl = check_subtree(n->left, n, s);
    const rec *r = reinterpret_cast<const rec *>(n);
    if (s->have_last && r->key <= s->last_key)
        s->ok = false;
    s->last_key = r->key;
    s->have_last = true;
    s->count++;
    int hr = check_subtree(n->right, n, s);
    int h = 1 + std::max(hl, hr);
    if (std::abs(hl - hr) > 1 || n->height != h)
        s->ok = false;
    return h;
}

/* Checks the whole tree; returns its height or -1 when it is malformed. */
int checked_height(const orv_avl_tree_t *tree)
{
    shape s;
    int h = check_subtree(tree->root, nullptr, &s);
    if (!s.ok || s.count != tree->size)
        return -1;
    return h;
}

double avl_bound(uint32_t n)
{
    return 1.44 * std::log2(static_cast<double>(n) + 2.0);
}

uint32_t collect(void *record, void *arg)
{
    static_cast<std::vector<int> *>(arg)->push_back(static_cast<rec *>(record)->key);
    return 0;
}

} // namespace

TEST(Avl, HundredThousandRandomInsertsAndDeletesStayBalanced)
{
    const int n = 100000;
    std::vector<rec> recs(n);
    std::vector<int> order(n);
    for (int i = 0; i < n; i++) {
        recs[i].key = i * 3; /* gaps leave room for absent keys */
        order[i] = i;
    }
    std::mt19937 rng(42);
    std::shuffle(order.begin(), order.end(), rng);

    orv_avl_tree_t tree;
    EXPECT_EQ(orv_avl_tree_init(&tree, nullptr, 0), static_cast<uint32_t>(EINVAL));
    ASSERT_EQ(orv_avl_tree_init(&tree, rec_cmp, 0), 0u);
    for (int i = 0; i < n; i++) {
        rec *r = &recs[order[i]];
        ASSERT_EQ(orv_avl_init(&r->node), 0u);
        ASSERT_EQ(orv_avl_insert(&tree, &r->node), 0u);
        if (i % 10007 == 0) {
            int h = checked_height(&tree);
            ASSERT_GE(h, 0) << "after " << i + 1 << " inserts";
            ASSERT_LE(h, avl_bound(tree.size));
        }
    }
    uint32_t size = 0;
    ASSERT_EQ(orv_avl_tree_get_size(&tree, &size), 0u);
    EXPECT_EQ(size, static_cast<uint32_t>(n));

    /* Equal records are refused and the tree is unchanged. */
    rec dup = {};
    dup.key = 300;
    EXPECT_EQ(orv_avl_insert(&tree, &dup.node), static_cast<uint32_t>(EEXIST));
    EXPECT_EQ(tree.size, static_cast<uint32_t>(n));

    /* Search: present keys give their own record, absent keys the not-found
     * code whose low nine bits are 17. */
    for (int i = 0; i < n; i += 997) {
        rec key = {};
        key.key = i * 3;
        orv_avl_node_t *found = nullptr;
        ASSERT_EQ(orv_avl_search(&tree, &key, &found), 0u);
        ASSERT_EQ(found, &recs[i].node);
        key.key = i * 3 + 1;
        ASSERT_EQ(orv_avl_search(&tree, &key, &found), ORV_AVL_E_NOT_FOUND);
        ASSERT_EQ(ORV_AVL_E_NOT_FOUND & ORV_AVL_CODE_MASK, 17u);
        ASSERT_EQ(found, nullptr);
    }

    /* A record that is not in the tree cannot be deleted from it. */
    rec stranger = {};
    stranger.key = 1;
    orv_avl_init(&stranger.node);
    EXPECT_EQ(orv_avl_delete(&tree, &stranger.node, 0), static_cast<uint32_t>(ENOENT));
    orv_avl_tree_t other;
    orv_avl_tree_init(&other, rec_cmp, 0);
    ASSERT_EQ(orv_avl_insert(&other, &stranger.node), 0u);
    EXPECT_EQ(orv_avl_delete(&tree, &stranger.node, 0), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(orv_avl_delete(&other, &stranger.node, 0), 0u);

    /* Delete in another random order; the shape holds throughout. */
    std::shuffle(order.begin(), order.end(), rng);
    for (int i = 0; i < n; i++) {
        rec *r = &recs[order[i]];
        ASSERT_EQ(orv_avl_delete(&tree, &r->node, 0), 0u) << i;
        ASSERT_EQ(orv_avl_delete(&tree, &r->node, 0), static_cast<uint32_t>(ENOENT));
        if (i % 9973 == 0 || i > n - 20) {
            int hh = checked_height(&tree);
            ASSERT_GE(hh, 0) << "after " << i + 1 << " deletes";
            ASSERT_LE(hh, avl_bound(tree.size));
            rec key = {};
            key.key = r->key;
            orv_avl_node_t *found = nullptr;
            ASSERT_EQ(orv_avl_search(&tree, &key, &found), ORV_AVL_E_NOT_FOUND);
        }
    }
    EXPECT_EQ(tree.size, 0u);
    EXPECT_EQ(tree.root, nullptr);
}

TEST(Avl, SequentialInsertsAndMixedChurnKeepTheBound)
{
    /* Ascending inserts are the classic degenerate case of an unbalanced
     * tree; interleaved deletes exercise the two-children path. */
    const int n = 21000; /* ends on a delete: every key k % 3 == 1 goes */
    std::vector<rec> recs(n);
    orv_avl_tree_t tree;
    orv_avl_tree_init(&tree, rec_cmp, 0);
    for (int i = 0; i < n; i++) {
        recs[i].key = i;
        ASSERT_EQ(orv_avl_insert(&tree, &recs[i].node), 0u);
        if (i % 3 == 2) {
            ASSERT_EQ(orv_avl_delete(&tree, &recs[i - 1].node, 0), 0u);
        }
    }
    int h = checked_height(&tree);
    ASSERT_GE(h, 0);
    EXPECT_LE(h, avl_bound(tree.size));
    std::vector<int> keys;
    EXPECT_EQ(orv_avl_tree_walk(&tree, collect, &keys), 0u);
    ASSERT_EQ(keys.size(), tree.size);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    for (int k : keys)
        ASSERT_NE(k % 3, 1) << "deleted key " << k << " still walked";
}

namespace {

/* Stops the walk with 0xABC at the stop_at-th record, or removes every
 * even record it visits (the record being visited may leave the tree). */
struct walk_ctx {
    orv_avl_tree_t *tree;
    int stop_at;
    std::vector<int> seen;
};

uint32_t walker(void *record, void *arg)
{
    walk_ctx *c = static_cast<walk_ctx *>(arg);
    rec *r = static_cast<rec *>(record);
    c->seen.push_back(r->key);
    if (static_cast<int>(c->seen.size()) == c->stop_at)
        return 0xABCu;
    return c->stop_at == 0 && r->key % 2 == 0 ? orv_avl_delete(c->tree, &r->node, 0) : 0;
}

void free_rec(void *record, void *arg)
{
    ++*static_cast<int *>(arg);
    EXPECT_EQ(static_cast<rec *>(record)->node.in_tree, 0);
    free(record);
}

} // namespace

TEST(Avl, WalkStopsOrRemovesAndDestroyFreesEveryRecord)
{
    std::vector<rec> recs(100);
    orv_avl_tree_t tree;
    orv_avl_tree_init(&tree, rec_cmp, 0);
    for (int i = 0; i < 100; i++) {
        recs[i].key = 99 - i;
        ASSERT_EQ(orv_avl_insert(&tree, &recs[i].node), 0u);
    }
    walk_ctx stop = {&tree, 5, {}};
    EXPECT_EQ(orv_avl_tree_walk(&tree, walker, &stop), 0xABCu);
    EXPECT_EQ(stop.seen, (std::vector<int>{0, 1, 2, 3, 4}));
    walk_ctx remove = {&tree, 0, {}};
    EXPECT_EQ(orv_avl_tree_walk(&tree, walker, &remove), 0u);
    ASSERT_EQ(remove.seen.size(), 100u) << "removing the current record must not derail the walk";
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(remove.seen[i], i);
    EXPECT_EQ(tree.size, 50u);
    EXPECT_GE(checked_height(&tree), 0);

    orv_avl_tree_t heap;
    orv_avl_tree_init(&heap, rec_cmp, 0);
    for (int i = 0; i < 1000; i++) {
        rec *r = static_cast<rec *>(calloc(1, sizeof(rec)));
        r->key = (i * 7919) % 1000;
        ASSERT_EQ(orv_avl_insert(&heap, &r->node), 0u);
    }
    int freed = 0;
    EXPECT_EQ(orv_avl_tree_destroy(&heap, free_rec, &freed), 0u);
    EXPECT_EQ(freed, 1000); /* and ASan sees every record freed */
    EXPECT_EQ(heap.size, 0u);
    EXPECT_EQ(heap.root, nullptr);

    /* The same tree takes records again; destroy without a callback only
     * detaches them. */
    rec key = {};
    key.key = 2;
    orv_avl_node_t *found = nullptr;
    EXPECT_EQ(orv_avl_search(&heap, &key, &found), ORV_AVL_E_NOT_FOUND);
    ASSERT_EQ(orv_avl_insert(&heap, &recs[97].node), 0u); /* key 2, removed above */
    EXPECT_EQ(orv_avl_search(&heap, &key, &found), 0u);
    EXPECT_EQ(found, &recs[97].node);
    EXPECT_EQ(orv_avl_tree_destroy(&heap, nullptr, nullptr), 0u);
    EXPECT_EQ(recs[97].node.in_tree, 0);
    EXPECT_EQ(orv_avl_tree_destroy(&heap, nullptr, nullptr), 0u);
}

/*
 * hash_test.cpp - the byte hash, the hash set and the string-keyed hash map.
 *
 * The containers are grown to 100 000 records and drained again, with caller
 * hashes that are weak or all-colliding, so resizing, chaining and draining
 * through first() are all exercised.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "orv.h"

namespace {

struct rec {
    orv_hashset_link_t link;
    uint32_t key;
};

uint32_t weak_hash(const void *r)
{
    return static_cast<const rec *>(r)->key; /* identity: a poor hash */
}

uint32_t constant_hash(const void *)
{
    return 7;
}

bool rec_equal(const void *a, const void *b)
{
    return static_cast<const rec *>(a)->key == static_cast<const rec *>(b)->key;
}

} // namespace

TEST(Hash, DependsOnEveryByteAndSpreadsSequentialKeys)
{
    /* Same bytes, same hash, whatever their alignment. */
    char a[32] = "0123456789abcdefghij";
    char b[40];
    memcpy(b + 3, a, sizeof a);
    for (size_t len = 0; len <= 20; len++)
        EXPECT_EQ(orv_hash_calculate(a, len), orv_hash_calculate(b + 3, len)) << len;
    /* Trailing zero bytes count. */
    EXPECT_NE(orv_hash_calculate("a\0\0", 1), orv_hash_calculate("a\0\0", 2));
    EXPECT_NE(orv_hash_calculate("a\0\0", 2), orv_hash_calculate("a\0\0", 3));
    /* Byte order counts (a sum of bytes would not see it). */
    EXPECT_NE(orv_hash_calculate("ab", 2), orv_hash_calculate("ba", 2));

    /* Sequential 32-bit keys spread evenly over 1024 buckets by low bits,
     * as tables indexed by them need: a chi-square over 1023 degrees of
     * freedom, mean 1023, sd about 45. */
    std::vector<int> buckets(1024);
    for (uint32_t k = 0; k < 1024u * 64u; k++)
        buckets[orv_hash_calculate(&k, sizeof k) & 1023u]++;
    double chi2 = 0;
    for (int c : buckets)
        chi2 += (c - 64.0) * (c - 64.0) / 64.0;
    EXPECT_LT(chi2, 1300.0);
    EXPECT_GT(chi2, 750.0);
}

TEST(HashSet, GrowsAndDrainsWithWeakAndCollidingHashes)
{
    /* Keys that are multiples of 1024 under the identity hash share their
     * low bits, which a table indexed by the raw low bits would pile up; a
     * constant hash puts every record into one chain. */
    struct {
        const char *what;
        uint32_t (*hash)(const void *);
        uint32_t n;
    } const cases[] = {{"identity hash", weak_hash, 100000}, {"constant hash", constant_hash, 2000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<rec> recs(c.n);
        orv_hashset_t *set = nullptr;
        ASSERT_EQ(orv_hashset_create(&set, c.hash, rec_equal, 0), 0u);
        EXPECT_EQ(orv_hashset_first(set), nullptr);
        for (uint32_t i = 0; i < c.n; i++) {
            recs[i].key = i * 1024u;
            ASSERT_EQ(orv_hashset_insert(set, &recs[i]), 0u) << i;
        }
        EXPECT_EQ(orv_hashset_size(set), c.n);
        rec probe = {};
        probe.key = 5 * 1024u;
        EXPECT_EQ(orv_hashset_insert(set, &probe), static_cast<uint32_t>(EEXIST));
        EXPECT_EQ(orv_hashset_insert(set, nullptr), static_cast<uint32_t>(EINVAL));
        probe.key = 3;
        EXPECT_EQ(orv_hashset_get(set, &probe), nullptr);
        EXPECT_EQ(orv_hashset_remove(set, &probe), nullptr);

        /* Remove every odd record by probe, then drain the rest with first(). */
        for (uint32_t i = 1; i < c.n; i += 2) {
            probe.key = i * 1024u;
            ASSERT_EQ(orv_hashset_remove(set, &probe), &recs[i]);
        }
        for (uint32_t i = 0; i < c.n; i++) {
            probe.key = i * 1024u;
            ASSERT_EQ(orv_hashset_get(set, &probe), i % 2 ? nullptr : &recs[i]) << i;
        }
        EXPECT_EQ(orv_hashset_size(set), c.n / 2);
        std::vector<bool> seen(c.n);
        for (void *r; (r = orv_hashset_first(set)) != nullptr;) {
            uint32_t idx = static_cast<rec *>(r)->key / 1024u;
            ASSERT_FALSE(seen[idx]);
            seen[idx] = true;
            ASSERT_EQ(orv_hashset_remove(set, r), r);
        }
        EXPECT_EQ(orv_hashset_size(set), 0u);
        for (uint32_t i = 0; i < c.n; i += 2)
            EXPECT_TRUE(seen[i]) << i;

        /* The drained set is usable again. */
        EXPECT_EQ(orv_hashset_insert(set, &recs[0]), 0u);
        EXPECT_EQ(orv_hashset_first(set), &recs[0]);
        orv_hashset_free(set);
    }
    orv_hashset_t *set = nullptr;
    EXPECT_EQ(orv_hashset_create(nullptr, weak_hash, rec_equal, 0), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(orv_hashset_create(&set, nullptr, rec_equal, 0), static_cast<uint32_t>(EINVAL));
}

TEST(HashMap, GrowsTo100000KeysMatchesByTextAndDrains)
{
    const int n = 100000;
    std::vector<std::string> keys(n);
    std::vector<int> values(n);
    orv_hashmap_t *map = nullptr;
    ASSERT_EQ(orv_hashmap_create(&map, 0), 0u);
    EXPECT_EQ(orv_hashmap_first(map), nullptr);
    for (int i = 0; i < n; i++) {
        keys[i] = "key-" + std::to_string(i);
        values[i] = i;
        ASSERT_TRUE(orv_hashmap_insert(map, keys[i].c_str(), &values[i])) << i;
    }
    EXPECT_EQ(orv_hashmap_size(map), static_cast<uint32_t>(n));

    /* A different pointer to an equal text is the same key. */
    std::string copy = "key-777";
    EXPECT_FALSE(orv_hashmap_insert(map, copy.c_str(), &values[0]));
    EXPECT_FALSE(orv_hashmap_insert(map, keys[777].c_str(), &values[0]));
    EXPECT_FALSE(orv_hashmap_insert(map, "fresh", nullptr)) << "values are non-NULL";
    EXPECT_FALSE(orv_hashmap_insert(map, nullptr, &values[0]));
    orv_hashmap_entry_t *e = orv_hashmap_get(map, copy.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(orv_hashmap_get_value(e), &values[777]);
    EXPECT_EQ(orv_hashmap_key(e), keys[777].c_str()) << "the map keeps the caller's pointer";
    EXPECT_EQ(orv_hashmap_get(map, "key-100000"), nullptr);
    EXPECT_EQ(orv_hashmap_get(map, ""), nullptr);

    for (int i = 0; i < n; i++) {
        e = orv_hashmap_get(map, keys[i].c_str());
        ASSERT_NE(e, nullptr) << i;
        ASSERT_EQ(*static_cast<int *>(orv_hashmap_get_value(e)), i);
    }

    /* An entry of another map is not removed from this one. */
    orv_hashmap_t *other = nullptr;
    ASSERT_EQ(orv_hashmap_create(&other, 0), 0u);
    ASSERT_TRUE(orv_hashmap_insert(other, "key-5", &values[5]));
    EXPECT_EQ(orv_hashmap_remove_tuple(map, orv_hashmap_get(other, "key-5")), static_cast<uint32_t>(ENOENT));
    EXPECT_NE(orv_hashmap_get(map, "key-5"), nullptr);
    orv_hashmap_free(other); /* frees its remaining entry */

    EXPECT_EQ(orv_hashmap_remove_tuple(map, nullptr), static_cast<uint32_t>(EINVAL));
    int drained = 0;
    while ((e = orv_hashmap_first(map)) != nullptr) {
        ASSERT_EQ(orv_hashmap_remove_tuple(map, e), 0u);
        drained++;
    }
    EXPECT_EQ(drained, n);
    EXPECT_EQ(orv_hashmap_size(map), 0u);
    EXPECT_EQ(orv_hashmap_get(map, "key-1"), nullptr);

    /* Free with entries still in: they go with the map (ASan checks it). */
    ASSERT_TRUE(orv_hashmap_insert(map, "a", &values[1]));
    ASSERT_TRUE(orv_hashmap_insert(map, "b", &values[2]));
    orv_hashmap_free(map);
}

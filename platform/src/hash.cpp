/*
 * hash.cpp - the byte hash and the intrusive hash set.
 *
 * orv_hash_calculate is a MurmurHash3-style 32-bit hash: 4-byte blocks are
 * multiplied, rotated and folded into the state, the tail is folded in, and a
 * final avalanche mix spreads every input bit over the whole word.
 *
 * The hash set chains records through the orv_hashset_link_t they begin with,
 * so inserting never allocates a node; only the bucket array is allocated.
 * The array is a power of two that doubles when the set holds more records
 * than buckets and halves when it falls below an eighth, so it grows without
 * bound and a drained set gives its memory back. Caller hashes may be weak
 * (sequential numbers, pointers), so the bucket index comes from a re-mixed
 * hash rather than from its low bits directly.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "orv.h"

namespace {

constexpr uint32_t HASH_SEED = 0x5bd1e995u;
constexpr uint32_t MIN_BUCKETS = 16;
constexpr uint32_t MAX_BUCKETS = 1u << 30;

inline uint32_t rotl32(uint32_t x, int r)
{
    return (x << r) | (x >> (32 - r));
}

/* The finaliser: every input bit affects every output bit. */
inline uint32_t fmix32(uint32_t h)
{
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

} // namespace

uint32_t orv_hash_calculate(const void *data, size_t len)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    const uint32_t c1 = 0xcc9e2d51u;
    const uint32_t c2 = 0x1b873593u;
    uint32_t h = HASH_SEED;
    if (bytes == nullptr)
        len = 0;

    size_t nblocks = len / 4;
    for (size_t i = 0; i < nblocks; i++) {
        uint32_t k;
        memcpy(&k, bytes + i * 4, sizeof k); /* unaligned-safe load */
        k *= c1;
        k = rotl32(k, 15);
        k *= c2;
        h ^= k;
        h = rotl32(h, 13);
        h = h * 5 + 0xe6546b64u;
    }

    const unsigned char *tail = bytes + nblocks * 4;
    uint32_t k = 0;
    switch (len & 3u) {
    case 3:
        k ^= static_cast<uint32_t>(tail[2]) << 16;
        [[fallthrough]];
    case 2:
        k ^= static_cast<uint32_t>(tail[1]) << 8;
        [[fallthrough]];
    case 1:
        k ^= tail[0];
        k *= c1;
        k = rotl32(k, 15);
        k *= c2;
        h ^= k;
        break;
    default:
        break;
    }

    h ^= static_cast<uint32_t>(len);
    return fmix32(h);
}

struct orv_hashset {
    orv_hashset_link_t **buckets; /* nbuckets chains, NULL-terminated */
    uint32_t nbuckets;            /* a power of two */
    uint32_t size;                /* records held */
    uint32_t first_hint;          /* no record lives in a bucket below this */
    orv_hashset_hash_fn hash;
    orv_hashset_equal_fn equal;
};

namespace {

inline uint32_t bucket_of(const orv_hashset_t *set, size_t hash)
{
    return fmix32(static_cast<uint32_t>(hash)) & (set->nbuckets - 1);
}

/* Moves every record into a new array of n buckets. On ENOMEM the set is
 * unchanged. */
uint32_t rehash(orv_hashset_t *set, uint32_t n)
{
    orv_hashset_link_t **fresh = static_cast<orv_hashset_link_t **>(calloc(n, sizeof *fresh));
    if (fresh == nullptr)
        return ENOMEM;
    orv_hashset_link_t **old = set->buckets;
    uint32_t old_n = set->nbuckets;
    set->buckets = fresh;
    set->nbuckets = n;
    for (uint32_t i = 0; i < old_n; i++) {
        orv_hashset_link_t *link = old[i];
        while (link != nullptr) {
            orv_hashset_link_t *next = link->next;
            uint32_t b = bucket_of(set, link->hash);
            link->next = fresh[b];
            fresh[b] = link;
            link = next;
        }
    }
    free(old);
    set->first_hint = 0;
    return 0;
}

/* The address of the pointer that holds the record equal to probe (whose
 * hash is h), or of the terminating NULL of its chain. */
orv_hashset_link_t **find_slot(orv_hashset_t *set, const void *probe, uint32_t h)
{
    orv_hashset_link_t **slot = &set->buckets[bucket_of(set, h)];
    while (*slot != nullptr) {
        if ((*slot)->hash == h && set->equal(*slot, probe))
            return slot;
        slot = &(*slot)->next;
    }
    return slot;
}

} // namespace

uint32_t orv_hashset_create(orv_hashset_t **set, orv_hashset_hash_fn hash, orv_hashset_equal_fn equal,
                            uint32_t flags)
{
    if (set == nullptr || hash == nullptr || equal == nullptr || flags != 0)
        return EINVAL;
    *set = nullptr;
    orv_hashset_t *s = static_cast<orv_hashset_t *>(calloc(1, sizeof *s));
    if (s == nullptr)
        return ENOMEM;
    s->buckets = static_cast<orv_hashset_link_t **>(calloc(MIN_BUCKETS, sizeof *s->buckets));
    if (s->buckets == nullptr) {
        free(s);
        return ENOMEM;
    }
    s->nbuckets = MIN_BUCKETS;
    s->hash = hash;
    s->equal = equal;
    *set = s;
    return 0;
}

uint32_t orv_hashset_insert(orv_hashset_t *set, void *record)
{
    if (set == nullptr || record == nullptr)
        return EINVAL;
    uint32_t h = set->hash(record);
    if (*find_slot(set, record, h) != nullptr)
        return EEXIST;
    if (set->size == UINT32_MAX)
        return ENOMEM;
    if (set->size >= set->nbuckets) {
        if (set->nbuckets >= MAX_BUCKETS)
            return ENOMEM;
        uint32_t rc = rehash(set, set->nbuckets * 2);
        if (rc != 0)
            return rc;
    }
    orv_hashset_link_t *link = static_cast<orv_hashset_link_t *>(record);
    link->hash = h;
    uint32_t b = bucket_of(set, h);
    link->next = set->buckets[b];
    set->buckets[b] = link;
    if (b < set->first_hint)
        set->first_hint = b;
    set->size++;
    return 0;
}

void *orv_hashset_get(orv_hashset_t *set, const void *probe)
{
    if (set == nullptr || probe == nullptr)
        return nullptr;
    return *find_slot(set, probe, set->hash(probe));
}

void *orv_hashset_first(orv_hashset_t *set)
{
    if (set == nullptr || set->size == 0)
        return nullptr;
    /* The hint only moves forward past empty buckets, so draining a set with
     * first+remove costs one pass over the array, not one per record. */
    while (set->buckets[set->first_hint] == nullptr)
        set->first_hint++;
    return set->buckets[set->first_hint];
}

void *orv_hashset_remove(orv_hashset_t *set, const void *probe)
{
    if (set == nullptr || probe == nullptr)
        return nullptr;
    orv_hashset_link_t **slot = find_slot(set, probe, set->hash(probe));
    orv_hashset_link_t *link = *slot;
    if (link == nullptr)
        return nullptr;
    *slot = link->next;
    link->next = nullptr;
    set->size--;
    /* Shrinking is an optimisation: when memory is short the set simply
     * stays large. */
    if (set->nbuckets > MIN_BUCKETS && set->size < set->nbuckets / 8)
        (void)rehash(set, set->nbuckets / 2);
    return link;
}

uint32_t orv_hashset_size(const orv_hashset_t *set)
{
    return set == nullptr ? 0 : set->size;
}

void orv_hashset_free(orv_hashset_t *set)
{
    if (set == nullptr)
        return;
    free(set->buckets);
    free(set);
}

/*
 * hashmap.cpp - the string-keyed hash map.
 *
 * A map is a hash set of entries the map allocates itself; each entry holds
 * the caller's key pointer (never a copy) and the value. Keys hash by their
 * text, so two different pointers to equal texts find the same entry.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "orv.h"

struct orv_hashmap_entry {
    orv_hashset_link_t link; /* first: the entry is the set's record */
    const char *key;
    void *value;
};

struct orv_hashmap {
    orv_hashset_t *set;
};

namespace {

uint32_t entry_hash(const void *record)
{
    const char *key = static_cast<const orv_hashmap_entry *>(record)->key;
    return orv_hash_calculate(key, strlen(key));
}

bool entry_equal(const void *a, const void *b)
{
    const char *ka = static_cast<const orv_hashmap_entry *>(a)->key;
    const char *kb = static_cast<const orv_hashmap_entry *>(b)->key;
    return ka == kb || strcmp(ka, kb) == 0;
}

} // namespace

uint32_t orv_hashmap_create(orv_hashmap_t **map, uint32_t flags)
{
    if (map == nullptr || flags != 0)
        return EINVAL;
    *map = nullptr;
    orv_hashmap_t *m = static_cast<orv_hashmap_t *>(calloc(1, sizeof *m));
    if (m == nullptr)
        return ENOMEM;
    uint32_t rc = orv_hashset_create(&m->set, entry_hash, entry_equal, 0);
    if (rc != 0) {
        free(m);
        return rc;
    }
    *map = m;
    return 0;
}

bool orv_hashmap_insert(orv_hashmap_t *map, const char *key, void *value)
{
    if (map == nullptr || key == nullptr || value == nullptr)
        return false;
    orv_hashmap_entry_t *e = static_cast<orv_hashmap_entry_t *>(calloc(1, sizeof *e));
    if (e == nullptr)
        return false;
    e->key = key;
    e->value = value;
    if (orv_hashset_insert(map->set, e) != 0) {
        free(e);
        return false;
    }
    return true;
}

orv_hashmap_entry_t *orv_hashmap_get(orv_hashmap_t *map, const char *key)
{
    if (map == nullptr || key == nullptr)
        return nullptr;
    orv_hashmap_entry_t probe = {};
    probe.key = key;
    return static_cast<orv_hashmap_entry_t *>(orv_hashset_get(map->set, &probe));
}

void *orv_hashmap_get_value(const orv_hashmap_entry_t *entry)
{
    return entry == nullptr ? nullptr : entry->value;
}

const char *orv_hashmap_key(const orv_hashmap_entry_t *entry)
{
    return entry == nullptr ? nullptr : entry->key;
}

orv_hashmap_entry_t *orv_hashmap_first(orv_hashmap_t *map)
{
    if (map == nullptr)
        return nullptr;
    return static_cast<orv_hashmap_entry_t *>(orv_hashset_first(map->set));
}

uint32_t orv_hashmap_remove_tuple(orv_hashmap_t *map, orv_hashmap_entry_t *entry)
{
    if (map == nullptr || entry == nullptr)
        return EINVAL;
    /* Only the very entry given is removed: an equal key held by another
     * map must not free an entry of this one. */
    if (orv_hashset_get(map->set, entry) != entry)
        return ENOENT;
    orv_hashset_remove(map->set, entry);
    free(entry);
    return 0;
}

uint32_t orv_hashmap_size(const orv_hashmap_t *map)
{
    return map == nullptr ? 0 : orv_hashset_size(map->set);
}

void orv_hashmap_free(orv_hashmap_t *map)
{
    if (map == nullptr)
        return;
    orv_hashmap_entry_t *e;
    while ((e = static_cast<orv_hashmap_entry_t *>(orv_hashset_first(map->set))) != nullptr) {
        orv_hashset_remove(map->set, e);
        free(e);
    }
    orv_hashset_free(map->set);
    free(map);
}

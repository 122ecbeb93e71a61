/*
 * ring.c - the library under test of the example program.
 *
 * parse_int has a bug on purpose: it does not notice values that overflow
 * an int, so that the example shows what a failing test looks like.
 */
#include "ring.h"

#include <stdlib.h>

bool ring_init(ring_t *r, size_t capacity)
{
    r->slots = calloc(capacity ? capacity : 1, sizeof(int));
    r->capacity = capacity;
    r->head = 0;
    r->count = 0;
    return r->slots != NULL;
}

void ring_fini(ring_t *r)
{
    free(r->slots);
    r->slots = NULL;
}

bool ring_push(ring_t *r, int value)
{
    if (r->count == r->capacity)
        return false;
    r->slots[(r->head + r->count) % r->capacity] = value;
    r->count++;
    return true;
}

bool ring_pop(ring_t *r, int *value)
{
    if (r->count == 0)
        return false;
    *value = r->slots[r->head];
    r->head = (r->head + 1) % r->capacity;
    r->count--;
    return true;
}

size_t ring_count(const ring_t *r)
{
    return r->count;
}

bool parse_int(const char *text, int *value)
{
    int base = 10;
    long v = 0;
    bool neg = false;
    if (*text == '-') {
        neg = true;
        text++;
    }
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!*text)
        return false;
    for (; *text; text++) {
        int d;
        if (*text >= '0' && *text <= '9')
            d = *text - '0';
        else if (base == 16 && *text >= 'a' && *text <= 'f')
            d = *text - 'a' + 10;
        else if (base == 16 && *text >= 'A' && *text <= 'F')
            d = *text - 'A' + 10;
        else
            return false;
        v = v * base + d;
    }
    *value = (int)(neg ? -v : v);
    return true;
}

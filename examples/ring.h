/*
 * ring.h - the small library the example tests: a bounded ring buffer of
 * ints and a strict integer parser.
 */
#ifndef EXAMPLE_RING_H
#define EXAMPLE_RING_H

#include <stdbool.h>
#include <stddef.h>

typedef struct ring {
    int *slots;
    size_t capacity;
    size_t head; /* next to read */
    size_t count;
} ring_t;

bool ring_init(ring_t *r, size_t capacity);
void ring_fini(ring_t *r);
bool ring_push(ring_t *r, int value);
bool ring_pop(ring_t *r, int *value);
size_t ring_count(const ring_t *r);

/* Parses a whole decimal or 0x-hexadecimal int; false on any junk. */
bool parse_int(const char *text, int *value);

#endif

/*
 * string.cpp - bounded string copy.
 *
 * sstrncpy is strncpy without its two traps: the result is always
 * terminated, and the rest of the destination is not zero-filled.
 */
#include "orv.h"

char *sstrncpy(char *dst, const char *src, size_t size)
{
    if (dst == nullptr || size == 0)
        return dst;
    size_t i = 0;
    if (src != nullptr) {
        for (; i + 1 < size && src[i] != '\0'; i++)
            dst[i] = src[i];
    }
    dst[i] = '\0';
    return dst;
}

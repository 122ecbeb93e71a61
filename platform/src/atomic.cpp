/*
 * atomic.cpp - 32-bit atomic operations.
 *
 * Every operation is sequentially consistent: the framework's counters and
 * its compare-and-swap name allocation need no weaker orderings, and one
 * ordering everywhere keeps the reasoning about them simple.
 */
#include "orv.h"

uint32_t orv_atomic_incr(volatile uint32_t *p)
{
    return __atomic_add_fetch(p, 1u, __ATOMIC_SEQ_CST);
}

uint32_t orv_atomic_decr(volatile uint32_t *p)
{
    return __atomic_sub_fetch(p, 1u, __ATOMIC_SEQ_CST);
}

uint32_t orv_atomic_add(volatile uint32_t *p, int32_t delta)
{
    /* Two's complement: adding the converted value subtracts for negatives. */
    return __atomic_add_fetch(p, static_cast<uint32_t>(delta), __ATOMIC_SEQ_CST);
}

bool orv_atomic_cas(volatile uint32_t *p, uint32_t expected, uint32_t desired)
{
    return __atomic_compare_exchange_n(p, &expected, desired, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

uint32_t orv_atomic_get(const volatile uint32_t *p)
{
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}

void orv_atomic_set(volatile uint32_t *p, uint32_t value)
{
    __atomic_store_n(p, value, __ATOMIC_SEQ_CST);
}

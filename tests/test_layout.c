/* The public records' member types and offsets on the 32-bit controller (ILP32, 64-bit integers
   8-aligned) and 64-bit hosts, checked at compile time; with and without 64-bit time_t alike. */
#ifdef TANDEL_LAYOUT_TIME32
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#include "TandelCntrl.h"

#define ILP32 (UINTPTR_MAX == 0xFFFFFFFFu)
#if ILP32
_Static_assert(sizeof(void *) == 4 && sizeof(long) == 4 && _Alignof(int64_t) == 8, "EABI 32-bit target");
#endif
#if defined(__arm__) && !defined(_TIME_BITS)
_Static_assert(sizeof(time_t) == 4, "the 32-bit-time caller really has 32-bit time_t");
#else
_Static_assert(sizeof(time_t) == 8, "the project is built with 64-bit time_t");
#endif
#ifndef TANDEL_LAYOUT_TIME32
_Static_assert(sizeof(off_t) == 8, "the project is built with 64-bit file offsets");
#endif

#define FIELD(rec, field, type, off32, off64)                                                               \
    _Static_assert(_Generic(((rec *)0)->field, type : 1, default : 0), #rec "." #field " has type " #type); \
    _Static_assert(offsetof(rec, field) == (ILP32 ? (off32) : (off64)), #rec "." #field " offset");
#define SLOTS(rec, field, type, off32, off64) FIELD(rec, field[0], type, off32, off64)
#define WIDTH(rec, field, n) _Static_assert(sizeof(((rec *)0)->field) == (n), #rec "." #field " width");
#define SIZE(rec, size32, size64) _Static_assert(sizeof(rec) == (ILP32 ? (size32) : (size64)), #rec " size");
#include "data/layout_records.def"

int main(void)
{
    printf("record layout checked at compile time (%s, %u-bit time_t)\n", ILP32 ? "ILP32" : "LP64",
           (unsigned)(8 * sizeof(time_t)));
    return 0;
}

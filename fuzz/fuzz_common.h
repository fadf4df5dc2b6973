/*
 * Shared pieces of the fuzz targets: a tracer that formats every message
 * (so a bad format argument shows up under the sanitizers), memory
 * streams and a structural tree comparison.
 */
#ifndef TANDEL_FUZZ_COMMON_H
#define TANDEL_FUZZ_COMMON_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TandelCntrl.h"

extern "C" int logTracePrint(const char *file, int line, const char *function, int level, const char *format,
                             ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (!file || !function || line <= 0 || (level != 2 && level != 6))
        abort();
    return 0;
}

#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

/* A read stream over the fuzz bytes; fmemopen refuses size 0. */
inline FILE *openInput(const uint8_t *data, size_t size)
{
    return size ? fmemopen(const_cast<uint8_t *>(data), size, "r") : fopen("/dev/null", "r");
}

/* The tree printed to a string; "" when it cannot be printed. */
inline std::string printTree(qrx_Parser *h)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    if (!fp)
        return "";
    int n = qrx_PrintDOMTree(h, fp);
    fclose(fp);
    std::string s(buf ? buf : "", len);
    free(buf);
    FUZZ_CHECK(n < 0 || static_cast<size_t>(n) == s.size());
    return s;
}

inline bool sameText(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

/* Names, values, attributes in order and structure; index and parent links too. */
inline bool sameElement(const qrx_Element *a, const qrx_Element *b, bool compareValue = true)
{
    if (!sameText(a->name, b->name) || (compareValue && !sameText(a->value, b->value)))
        return false;
    const qrx_Attribute *x = a->attributes, *y = b->attributes;
    for (; x && y; x = x->next, y = y->next) {
        FUZZ_CHECK(x->element == a && y->element == b);
        if (!sameText(x->name, y->name) || !sameText(x->value, y->value))
            return false;
    }
    if (x || y)
        return false;
    const qrx_Element *c = a->children, *d = b->children;
    for (; c && d; c = c->next, d = d->next) {
        FUZZ_CHECK(c->parent == a && d->parent == b && c->index == a->index + 1 && d->index == b->index + 1);
        if (!sameElement(c, d))
            return false;
    }
    return !c && !d;
}

#endif

/* Shared helpers for the XML toolkit tests: parse from memory, print to text. */
#ifndef TANDEL_TEST_XML_HELPERS_H
#define TANDEL_TEST_XML_HELPERS_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TandelCntrl.h"

/* A parser handle that is released at the end of the scope. */
struct Handle {
    qrx_Parser *p = nullptr;
    explicit Handle(int n = 4) { qrx_init(&p, n); }
    ~Handle() { qrx_deinit(&p); }
    qrx_Parser *operator->() const { return p; }
};

/* A read stream holding text (a temporary file, so that empty text works). */
struct MemStream {
    FILE *fp;
    explicit MemStream(const std::string &t) : fp(tmpfile())
    {
        fwrite(t.data(), 1, t.size(), fp);
        rewind(fp);
    }
    ~MemStream() { fclose(fp); }
};

inline int buildFrom(qrx_Parser *p, const std::string &xml)
{
    MemStream ms(xml);
    return qrx_BuildDOMTree(p, ms.fp);
}

/* What the writer prints for a handle, and its result. */
inline std::string printed(qrx_Parser *p, int *result = nullptr)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    int r = qrx_PrintDOMTree(p, fp);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    if (result)
        *result = r;
    return s;
}

#endif

/*
 * Fuzz target: the streaming XML parser. A callback checks that the
 * events are well formed (modes, names, depths) and nest properly, the
 * handle is checked after every parse, and events, result and the
 * stream's final position must match those of a plain one-getc-per-
 * character reader of the same grammar. In the last round the callback
 * also reads ahead in the stream and pushes it all back, which must
 * change nothing.
 */
#include <vector>

#include "fuzz_common.h"
#include "reference_parser.h"

namespace {

struct Seen {
    std::vector<std::string> open;
    int events = 0;
    int stopAt = -1; /* event number at which the callback stops the parse */
    int stopWith = 0;
    bool hasNul = false; /* a NUL byte of the input is a name character and cuts C texts */
    std::string log;     /* in the reference reader's format */
    FILE *fp = nullptr;
    size_t peekAhead = 0; /* characters the callback reads and pushes back */
};

/* Past the read window glibc keeps pushed-back characters in a heap area
   that the next refill frees: the parser must not look at it afterwards. */
void peek(FILE *fp, size_t ahead)
{
    const bool atEnd = feof(fp);
    std::string seen;
    for (int ch; seen.size() < ahead && (ch = getc(fp)) != EOF;)
        seen += static_cast<char>(ch);
    for (size_t i = seen.size(); i-- > 0;)
        FUZZ_CHECK(ungetc(static_cast<unsigned char>(seen[i]), fp) != EOF);
    if (!atEnd && feof(fp))
        clearerr(fp);
}

int checkEvent(qrx_Parser *h, int mode, const char *el, const char *attr, const char *value, void *user)
{
    auto *s = static_cast<Seen *>(user);
    FUZZ_CHECK(h->state == 2);
    FUZZ_CHECK(el != nullptr);
    FUZZ_CHECK(h->depth >= 0 || mode == QRX_TEXT);
    FUZZ_CHECK(h->depth <= h->maxDepth && h->deepest <= h->maxDepth && h->deepest >= h->depth);
    switch (mode) {
    case QRX_START:
        FUZZ_CHECK(!attr && !value);
        FUZZ_CHECK(strlen(el) <= 125);
        FUZZ_CHECK(static_cast<int>(s->open.size()) == h->depth);
        FUZZ_CHECK(sameText(h->openNames[h->depth], el));
        s->open.push_back(el);
        break;
    case QRX_TEXT:
        FUZZ_CHECK(!attr && value && strlen(value) <= 8189 && !strchr(value, '<'));
        FUZZ_CHECK(s->hasNul ||
                   (*value && !strchr(" \t\r\n", value[0]) && !strchr(" \t\r\n", value[strlen(value) - 1])));
        break;
    case QRX_ATTRIBUTE:
        FUZZ_CHECK(attr && value && strlen(attr) <= 125 && strlen(value) <= 8189);
        FUZZ_CHECK(!s->open.empty() && static_cast<int>(s->open.size()) == h->depth + 1);
        break;
    case QRX_END:
        FUZZ_CHECK(!attr && !value);
        FUZZ_CHECK(!s->open.empty() && static_cast<int>(s->open.size()) == h->depth + 1);
        FUZZ_CHECK(s->open.back() == el && sameText(h->openNames[h->depth], el));
        s->open.pop_back();
        break;
    default:
        FUZZ_CHECK(!"unknown mode");
    }
    for (int d = 0; d <= h->maxDepth; ++d)
        FUZZ_CHECK((d <= h->depth) == (h->openNames[d] != nullptr));
    s->log +=
        std::to_string(mode) + "|" + el + "|" + (attr ? attr : "-") + "|" + (value ? value : "-") + "\n";
    if (s->peekAhead)
        peek(s->fp, s->peekAhead);
    return s->events++ == s->stopAt ? s->stopWith : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    /* First bytes: the handle's depth limit and where the callback stops. */
    const int maxDepth = 1 + data[0] % 12;
    Seen seen;
    seen.hasNul = memchr(data + 2, 0, size - 2) != nullptr;
    if (data[1] & 0x80) {
        seen.stopAt = data[1] & 0x3F;
        seen.stopWith = (data[1] & 0x40) ? 1 : -5;
    }
    FILE *rf = openInput(data + 2, size - 2);
    FUZZ_CHECK(rf);
    reference::Parse ref{rf, maxDepth, seen.stopAt, seen.stopWith};
    const int expected = ref.run();
    const long expectedEnd = ftell(rf);
    fclose(rf);

    qrx_Parser *h = nullptr;
    FUZZ_CHECK(qrx_init(&h, maxDepth) == 0);
    char small[22];
    for (int round = 0; round < 3; ++round) { /* a handle is reusable */
        seen.open.clear();
        seen.events = 0;
        seen.log.clear();
        FILE *fp = openInput(data + 2, size - 2);
        FUZZ_CHECK(fp);
        if (round >= 1) /* read windows that end inside names and values */
            setvbuf(fp, small, _IOFBF, 1 + data[0] / 12);
        seen.fp = fp;
        seen.peekAhead = round == 2 ? 1 + (data[0] ^ data[1]) % 40 : 0;
        const int r = qrx_parse(h, fp, checkEvent, &seen);
        FUZZ_CHECK(r == expected && seen.log == ref.log && ftell(fp) == expectedEnd);
        fclose(fp);
        static const int known[] = {0, 1, -5, -2, -8, -9, -10, -11, -12, -13, -14};
        bool ok = false;
        for (int k : known)
            ok = ok || r == k;
        FUZZ_CHECK(ok);
        FUZZ_CHECK(h->state == (r >= 0 ? 3 : -1));
        for (int d = 0; d <= h->maxDepth; ++d)
            FUZZ_CHECK(h->openNames[d] == nullptr);
        if (r == 0)
            FUZZ_CHECK(seen.open.empty() && h->depth == -1);
        FUZZ_CHECK(h->root == nullptr);
    }
    qrx_deinit(&h);
    return 0;
}

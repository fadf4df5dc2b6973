/*
 * qrxparser.cpp - the library's XML toolkit.
 *
 * Document tree records and their operations, a streaming parser for
 * the small XML subset job files use (no entities, CDATA or DTDs), the
 * tree builder that hangs parser events into a handle's tree, and the
 * writer that prints a tree back in the job file layout.
 */
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "tree.h"
#include "trace.h"

static const char kTraceFile[] = "../xmlparser/qrxparser.cpp";

/* ------------------------------------------------------------------ */
/* Document tree                                                       */
/* ------------------------------------------------------------------ */

int str_equal(const char *a, const char *b)
{
    if (!a || !b)
        return a == b;
    return std::strcmp(a, b) == 0;
}

qrx_Element *qrx_NewElement(const char *name, int index)
{
    auto *el = static_cast<qrx_Element *>(std::calloc(1, sizeof(qrx_Element)));
    if (!el)
        return nullptr;
    el->name = strdup(name);
    if (!el->name) {
        std::free(el);
        return nullptr;
    }
    el->index = index;
    return el;
}

qrx_Attribute *qrx_NewAttribute(const char *name, const char *value)
{
    auto *at = static_cast<qrx_Attribute *>(std::calloc(1, sizeof(qrx_Attribute)));
    if (!at)
        return nullptr;
    at->name = strdup(name);
    at->value = strdup(value);
    if (!at->name || !at->value) {
        std::free(at->name);
        std::free(at->value);
        std::free(at);
        return nullptr;
    }
    return at;
}

/* A child of `parent` with its value, not yet linked into the list. */
qrx_Element *tandel::newChild(const char *name, const char *value, qrx_Element *parent)
{
    qrx_Element *el = qrx_NewElement(name, parent->index + 1);
    if (!el)
        return nullptr;
    if (value && !(el->value = strdup(value))) {
        qrx_RemoveElement(el);
        return nullptr;
    }
    el->parent = parent;
    return el;
}

qrx_Element *qrx_AddElement(const char *name, const char *value, qrx_Element *parent)
{
    qrx_Element *el = tandel::newChild(name, value, parent);
    if (!el)
        return nullptr;
    qrx_Element **link = &parent->children;
    while (*link)
        link = &(*link)->next;
    *link = el;
    return el;
}

qrx_Element *qrx_AddElementBefore(const char *name, const char *value, qrx_Element *parent,
                                  qrx_Element *before)
{
    qrx_Element **link = &parent->children;
    if (before) {
        while (*link && *link != before)
            link = &(*link)->next;
        if (!*link)
            return nullptr; /* not a child of parent */
    }
    qrx_Element *el = tandel::newChild(name, value, parent);
    if (!el)
        return nullptr;
    el->next = *link;
    *link = el;
    return el;
}

const char *qrx_SetElementValue(const char *value, qrx_Element *element)
{
    if (element->value && str_equal(element->value, value))
        return element->value;
    char *copy = strdup(value);
    if (!copy)
        return element->value;
    std::free(element->value);
    element->value = copy;
    return copy;
}

int qrx_RemoveElementValue(qrx_Element *element)
{
    if (!element->value)
        return 0;
    std::free(element->value);
    element->value = nullptr;
    return 1;
}

qrx_Attribute *qrx_AddAttribute(const char *name, const char *value, qrx_Element *element)
{
    qrx_Attribute **link = &element->attributes;
    for (; *link; link = &(*link)->next) {
        qrx_Attribute *at = *link;
        if (!str_equal(at->name, name))
            continue;
        if (std::strcmp(at->value, value) != 0) {
            char *copy = strdup(value);
            if (!copy)
                return nullptr;
            std::free(at->value);
            at->value = copy;
        }
        return at;
    }
    qrx_Attribute *at = qrx_NewAttribute(name, value);
    if (!at)
        return nullptr;
    at->element = element;
    *link = at;
    return at;
}

const char *qrx_GetAttribute(const char *name, const char *value, const qrx_Element *element,
                             qrx_Attribute **outAttribute)
{
    qrx_Attribute *found = nullptr;
    for (qrx_Attribute *at = element ? element->attributes : nullptr; at; at = at->next) {
        if (str_equal(at->name, name) && (!value || str_equal(at->value, value))) {
            found = at;
            break;
        }
    }
    if (outAttribute)
        *outAttribute = found;
    return found ? found->value : nullptr;
}

static void freeAttribute(qrx_Attribute *at)
{
    std::free(at->name);
    std::free(at->value);
    std::free(at);
}

int qrx_RemoveAttribute(const char *name, qrx_Element *element)
{
    if (!element || !name)
        return TREE_NULL_ARGUMENT;
    for (qrx_Attribute **link = &element->attributes; *link; link = &(*link)->next) {
        qrx_Attribute *at = *link;
        if (str_equal(at->name, name)) {
            *link = at->next;
            freeAttribute(at);
            return 1;
        }
    }
    return 0;
}

/* Frees one record with its attributes; its children are the caller's. */
static void freeElement(qrx_Element *el)
{
    while (qrx_Attribute *at = el->attributes) {
        el->attributes = at->next;
        freeAttribute(at);
    }
    std::free(el->name);
    std::free(el->value);
    std::free(el);
}

/* No recursion, so no depth can overflow the stack, and no allocation:
   each element's children are spliced in front of the elements still to
   free. The element's own `next` is not followed, it may still point
   into the list it was taken from. */
void qrx_RemoveElement(qrx_Element *element)
{
    if (!element)
        return;
    qrx_Element *pending = element->children;
    freeElement(element);
    while (qrx_Element *el = pending) {
        pending = el->next;
        if (qrx_Element *last = el->children) {
            while (last->next)
                last = last->next;
            last->next = pending;
            pending = el->children;
        }
        freeElement(el);
    }
}

/* ------------------------------------------------------------------ */
/* Parser                                                              */
/* ------------------------------------------------------------------ */

enum {
    kNameMax = 125,   /* characters of an element or attribute name */
    kValueSize = 8192 /* value buffer; holds at most 8189 characters */
};
static const int kValueMax = 8189;

/* Deep enough for any document, small enough that the slot array's
   size cannot wrap on a 32-bit target. */
static const int kMaxDepthLimit = 1 << 20;
static_assert(kMaxDepthLimit < (SIZE_MAX - sizeof(qrx_Parser)) / sizeof(char *) - 1, "slot array size wraps");

int qrx_init(qrx_Parser **handle, int n)
{
    if (!handle || *handle)
        return QRX_BAD_HANDLE;
    if (n < 1 || n > kMaxDepthLimit)
        return QRX_BAD_LIMIT;
    size_t size = sizeof(qrx_Parser) + (static_cast<size_t>(n) + 1) * sizeof(char *);
    auto *h = static_cast<qrx_Parser *>(std::calloc(1, size));
    if (!h)
        return QRX_NO_MEMORY;
    h->state = QRX_STATE_FRESH;
    h->maxDepth = n;
    h->depth = -1;
    *handle = h;
    return 0;
}

static void freeOpenNames(qrx_Parser *h)
{
    for (int d = 0; d <= h->maxDepth; ++d) {
        std::free(h->openNames[d]);
        h->openNames[d] = nullptr;
    }
}

int qrx_deinit(qrx_Parser **handle)
{
    qrx_Parser *h = handle ? *handle : nullptr;
    if (!h)
        return QRX_BAD_HANDLE;
    freeOpenNames(h);
    qrx_RemoveElement(h->root);
    std::free(h);
    *handle = nullptr;
    return 0;
}

namespace {

/* Character classes, indexed by the character + 1 so that EOF has a slot.
   Every byte that is not a delimiter is a name character, '-' included
   as XML has it; end of input is neither, so it ends a name. */
enum { kName = 1, kBlank = 2 };

struct ClassTable {
    unsigned char of[257];
    constexpr ClassTable() : of()
    {
        for (int c = 0; c < 256; ++c)
            of[c + 1] = kName;
        for (unsigned char d : {'<', '>', '=', '/', '!'})
            of[d + 1] = 0;
        for (unsigned char d : {' ', '\t', '\r', '\n'})
            of[d + 1] = kBlank;
    }
};
constexpr ClassTable kClasses;

inline bool isBlank(int c) { return kClasses.of[c + 1] & kBlank; }
inline bool isNameChar(int c) { return kClasses.of[c + 1] & kName; }

/* Where the stream's read buffer stands. glibc's FILE shows its read
   window (its getc_unlocked is a macro over these two fields), so the hot
   loops take characters from the window with the pointer held in a
   register, and hand the position back before every callback and at the
   end: the stream always stands right after the last character used, as
   with one getc per character. Other C libraries get exactly that. */
struct Window {
    const unsigned char *p, *end;
};

#if defined(__GLIBC__)
inline Window windowOf(FILE *f)
{
    return {reinterpret_cast<const unsigned char *>(f->_IO_read_ptr),
            reinterpret_cast<const unsigned char *>(f->_IO_read_end)};
}
inline void handBack(FILE *f, Window w)
{
    f->_IO_read_ptr = reinterpret_cast<char *>(const_cast<unsigned char *>(w.p));
}
#else
inline Window windowOf(FILE *) { return {nullptr, nullptr}; }
inline void handBack(FILE *, Window) {}
#endif

/* Word-at-a-time scans: one branch per word instead of one per byte, so
   the end of a short name or value is not a mispredicted loop exit. Of
   these masks only the lowest flagged byte is exact, the one wanted. */
using Word = unsigned long;
constexpr Word kOnes = ~Word(0) / 255;
constexpr bool kWordScans = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

inline Word bytesBelow(Word x, unsigned char n) { return (x - kOnes * n) & ~x & (kOnes * 0x80); }
inline Word bytesEqual(Word x, unsigned char c) { return bytesBelow(x ^ (kOnes * c), 1); }

/* Moves p over whole words up to the first flagged byte, or while a word
   fits before stop; with `out`, copies them there too. Words are stored
   in full, so out must have room for one wherever p has. */
template <class Flags> inline __attribute__((always_inline)) void
scanWords(const unsigned char *&p, const unsigned char *stop, Flags flags, char **out = nullptr)
{
    if (!kWordScans)
        return;
    while (stop - p >= static_cast<ptrdiff_t>(sizeof(Word))) {
        Word x;
        std::memcpy(&x, p, sizeof x);
        if (out)
            std::memcpy(*out, &x, sizeof x);
        size_t n = sizeof x;
        if (Word m = flags(x))
            n = static_cast<size_t>(__builtin_ctzl(m)) / 8;
        p += n;
        if (out)
            *out += n;
        if (n < sizeof x)
            return;
    }
}

/* Moves p over name characters up to stop; with `out`, copies them there.
   Names end below '?'; digits and the like are checked one by one. */
inline __attribute__((always_inline)) void passName(const unsigned char *&p, const unsigned char *stop,
                                                    char **out = nullptr)
{
    for (;;) {
        scanWords(
            p, stop, [](Word x) { return bytesBelow(x, '?'); }, out);
        if (p == stop || !isNameChar(*p))
            return;
        if (out)
            *(*out)++ = static_cast<char>(*p);
        ++p;
    }
}

int countLines(const unsigned char *from, const unsigned char *to)
{
    int n = 0;
    while (from < to && (from = static_cast<const unsigned char *>(std::memchr(from, '\n', to - from)))) {
        ++n;
        ++from;
    }
    return n;
}

/* One parse: the stream, the handle and the per-parse buffers. The scan
   position and the current character are locals of run(), passed by
   reference into helpers that are always inlined, so they stay in
   registers; stores into the name and value buffers are char stores,
   which may alias any member and would force reloads if they lived
   there. Lines are counted per used-up window, not per character: `line`
   holds those before `counted`, the rest lie in the window up to the
   position. */
#define TOKENIZER_INLINE inline __attribute__((always_inline))

enum { kPooledNames = 8 };

struct Tokenizer {
    qrx_Parser *h;
    FILE *fp;
    qrx_ParseCallback cb;
    void *userData;
    char *value;
    Window win; /* the position, while refill() or a trace has it */
    const unsigned char *counted;
    int line = 1;
    char elName[kNameMax + 1] = "";
    char attrName[kNameMax + 1] = "";
    /* Open element names of the usual depths; deeper ones go to the heap. */
    char pool[kPooledNames][kNameMax + 1];

    Tokenizer(qrx_Parser *hp, FILE *f, qrx_ParseCallback callback, void *user, char *valueBuffer)
        : h(hp), fp(f), cb(callback), userData(user), value(valueBuffer), win(windowOf(f)), counted(win.p)
    {}

    /* The window is used up: one character through stdio, which refills it. */
    __attribute__((noinline)) int refill()
    {
        line += countLines(counted, win.p);
        handBack(fp, win);
        int ch = getc_unlocked(fp);
        if (ch == '\n')
            ++line;
        win = windowOf(fp);
        counted = win.p;
        return ch;
    }
    TOKENIZER_INLINE int next(Window &w)
    {
        if (__builtin_expect(w.p < w.end, 1))
            return *w.p++;
        win = w;
        int ch = refill();
        w = win;
        return ch;
    }
    TOKENIZER_INLINE int pastBlanks(Window &w)
    {
        int ch;
        do
            ch = next(w);
        while (isBlank(ch));
        return ch;
    }
    /* The trace names the parser as logs have always named it. */
    __attribute__((noinline, cold)) int syntaxError(Window w, int c, int result = QRX_SYNTAX)
    {
        TRACE_AS("qrx_parseXML", TRACE_FAIL, "error line %d: c='%c'\n", line + countLines(counted, w.p), c);
        return result;
    }
    /* Reads the name that starts with c into buf: its length, or -1 when
       it is too long. */
    TOKENIZER_INLINE int readName(Window &w, int &c, char *buf)
    {
        char *out = buf;
        char *const full = buf + kNameMax;
        int ch = c;
        do {
            if (out == full) {
                *out = '\0';
                c = ch;
                return -1;
            }
            *out++ = static_cast<char>(ch);
            const unsigned char *stop = w.p + std::min<size_t>(w.end - w.p, full - out);
            passName(w.p, stop, &out);
            ch = next(w);
        } while (isNameChar(ch));
        *out = '\0';
        c = ch;
        return static_cast<int>(out - buf);
    }
    /* Passes over a name, stopping at its end or at the end of input. */
    TOKENIZER_INLINE int skipName(Window &w, int ch)
    {
        while (isNameChar(ch)) {
            passName(w.p, w.end);
            ch = next(w);
        }
        return ch;
    }
    /* Stores c and the characters after it up to `stop` or the end of
       input into the value buffer; false when more than kValueMax would be
       needed. Leaves stop (or EOF) as the current character, or the one
       that did not fit. */
    TOKENIZER_INLINE bool readValueUntil(Window &w, int &c, int stop, int *length)
    {
        char *out = value;
        char *const full = value + kValueMax;
        int ch = c;
        bool fits = true;
        while (ch != stop && ch != EOF) {
            if (out == full) {
                fits = false;
                break;
            }
            *out++ = static_cast<char>(ch);
            const unsigned char *last = w.p + std::min<size_t>(w.end - w.p, full - out);
            scanWords(
                w.p, last, [stop](Word x) { return bytesEqual(x, static_cast<unsigned char>(stop)); }, &out);
            while (w.p < last && *w.p != stop)
                *out++ = static_cast<char>(*w.p++);
            ch = next(w);
        }
        c = ch;
        *length = static_cast<int>(out - value);
        return fits;
    }
    /* A callback result that ends the parse, or 0 to go on. */
    TOKENIZER_INLINE int deliver(Window &w, int mode, const char *el, const char *attr, const char *val)
    {
        /* Count first: a callback that reads the stream may refill the
           window or free the push-back area it lies in. */
        line += countLines(counted, w.p);
        counted = w.p;
        handBack(fp, w);
        int r = cb(h, mode, el, attr, val, userData);
        Window now = windowOf(fp);
        if (now.p != w.p || now.end != w.end) { /* the callback read the stream */
            w = now;
            counted = now.p;
        }
        return (r == 1 || r < 0) ? r : 0;
    }

    char *copyName(int depth, int length)
    {
        if (depth >= kPooledNames)
            return strdup(elName);
        return static_cast<char *>(std::memcpy(pool[depth], elName, length + 1));
    }
    void dropName(int depth)
    {
        if (depth >= kPooledNames)
            std::free(h->openNames[depth]);
        h->openNames[depth] = nullptr;
    }

    int skipComment(Window &w, int &c);
    void skipInstruction(Window &w, int &c);
    int startTag(Window &w, int &c);
    int markup(Window &w, int &c, int &slashes);
    int text(Window &w, int &c);
    int tagEnd(Window &w, int &c, int slashes);
    int run();
};

/* The XML subset, as each step below opens with its part: ' ' quotes a
   character, [ ] is optional, { } repeated, | either. Blanks (space, tab,
   CR, LF) between the characters of a tag are skipped, even inside "--".
     name -> namechar {namechar}   (1 to 125; any byte but blanks and < > = / !)
     value, text -> at most 8189 bytes */

/* comment -> '-' '-' {any} '-' '-' '>'   (after "<!") */
TOKENIZER_INLINE int Tokenizer::skipComment(Window &w, int &c)
{
    c = pastBlanks(w);
    if (c != '-')
        return syntaxError(w, c);
    c = pastBlanks(w);
    if (c != '-')
        return syntaxError(w, c);
    c = pastBlanks(w);
    int dashes = 0;
    for (;;) {
        if (c == EOF)
            return syntaxError(w, c, QRX_UNFINISHED);
        if (c == '-') {
            ++dashes;
            c = pastBlanks(w);
        }
        if (dashes >= 2 && c == '>')
            return 0;
        if (c != '-') {
            c = pastBlanks(w);
            dashes = 0;
        }
    }
}

/* instruction -> {any} '?' '>'   (after "<?")
   Leaves '>' as the current character, or '?' when two stand in a row. */
TOKENIZER_INLINE void Tokenizer::skipInstruction(Window &w, int &c)
{
    c = pastBlanks(w);
    while (c != '?' && c != EOF) {
        c = pastBlanks(w);
        if (c == '?') {
            c = pastBlanks(w);
            if (c == '>')
                return;
        }
    }
}

/* startTag -> name {attribute}
   attribute -> name ['=' ('"' {not "} '"' | "'" {not '} "'")]   (no value: no event) */
TOKENIZER_INLINE int Tokenizer::startTag(Window &w, int &c)
{
    if (h->depth >= h->maxDepth)
        return QRX_TOO_DEEP;
    int depth = ++h->depth;
    if (h->deepest < depth)
        h->deepest = depth;
    int length = readName(w, c, elName);
    if (length < 0)
        return QRX_LONG_ELEMENT_NAME;
    if (c == EOF) /* the name may be cut: no event for it */
        return syntaxError(w, c, QRX_UNFINISHED);
    if (isBlank(c))
        c = pastBlanks(w);
    if (!(h->openNames[depth] = copyName(depth, length)))
        return QRX_NO_MEMORY;
    if (int r = deliver(w, QRX_START, elName, nullptr, nullptr))
        return r;

    while (isNameChar(c)) {
        if (readName(w, c, attrName) < 0)
            return QRX_LONG_ATTRIBUTE_NAME;
        if (c == EOF)
            return syntaxError(w, c, QRX_UNFINISHED);
        if (isBlank(c))
            c = pastBlanks(w);
        if (c != '=')
            continue;
        c = pastBlanks(w);
        if (c != '"' && c != '\'')
            continue;
        int quote = c;
        int n = 0;
        c = next(w);
        if (!readValueUntil(w, c, quote, &n))
            return QRX_LONG_ATTRIBUTE_VALUE;
        if (c == EOF)
            return syntaxError(w, c, QRX_UNFINISHED);
        value[n] = '\0';
        c = pastBlanks(w);
        if (int r = deliver(w, QRX_ATTRIBUTE, elName, attrName, value))
            return r;
    }
    return 0;
}

/* markup -> '!' comment | '?' instruction | '/' name | startTag | (nothing)
   What follows '<'. A '?' left by an instruction starts a name. */
TOKENIZER_INLINE int Tokenizer::markup(Window &w, int &c, int &slashes)
{
    if (c == '!') {
        if (int r = skipComment(w, c))
            return r;
    } else if (c == '?') {
        skipInstruction(w, c);
        if (c == EOF)
            return syntaxError(w, c, QRX_UNFINISHED);
    } else if (c == '/') {
        ++slashes;
        c = pastBlanks(w);
    }
    if (!isNameChar(c))
        return 0;
    if (slashes == 0)
        return startTag(w, c);
    /* End tag: its name is not checked against the open element. */
    c = skipName(w, c);
    if (c == EOF)
        return syntaxError(w, c, QRX_UNFINISHED);
    if (isBlank(c))
        c = pastBlanks(w);
    return 0;
}

/* text -> {not '<'}   (ends at '<'; end of input is no end)
   The text after a start tag, trailing blanks cut. They do not count
   against the limit either: the writer pads every text with them. A text
   cut by the end of input is not delivered. */
TOKENIZER_INLINE int Tokenizer::text(Window &w, int &c)
{
    int n = 0;
    if (!readValueUntil(w, c, '<', &n)) {
        while (isBlank(c))
            c = next(w);
        if (c != '<' && c != EOF)
            return QRX_LONG_TEXT;
    }
    if (c == EOF)
        return h->depth != -1 ? QRX_UNCLOSED : syntaxError(w, c, QRX_UNFINISHED);
    while (n > 0 && isBlank(static_cast<unsigned char>(value[n - 1])))
        --n;
    value[n] = '\0';
    return deliver(w, QRX_TEXT, elName, nullptr, value);
}

/* tagEnd -> ['/'] '>' [text]   (text only without '/': after a start tag, comment or instruction)
   The tag's "/>" or ">": an end event, or the text that follows. */
TOKENIZER_INLINE int Tokenizer::tagEnd(Window &w, int &c, int slashes)
{
    if (c == '/') {
        ++slashes;
        c = pastBlanks(w);
    }
    if (c != '>') /* a tag cut by the end of input */
        return c == EOF ? syntaxError(w, c, QRX_UNFINISHED) : 0;
    c = pastBlanks(w);
    if (slashes == 0)
        return c != '<' && c != EOF ? text(w, c) : 0;
    if (h->depth == -1)
        return syntaxError(w, c);
    if (int r = deliver(w, QRX_END, h->openNames[h->depth], nullptr, nullptr))
        return r;
    dropName(h->depth--);
    return 0;
}

/* document -> {'<' markup tagEnd}   (blanks before, between and after tags)
   Several top elements may follow each other. */
int Tokenizer::run()
{
    Window w = win;
    int c = pastBlanks(w);
    int r;
    for (;;) {
        int slashes = 0;
        if (c != '<') {
            r = syntaxError(w, c);
            break;
        }
        c = pastBlanks(w);
        if ((r = markup(w, c, slashes)) || (r = tagEnd(w, c, slashes)))
            break;
        if (feof_unlocked(fp)) {
            r = h->depth != -1 ? QRX_UNCLOSED : 0;
            break;
        }
    }
    win = w;
    return r;
}

/* Locks the stream once, so the loop can read without a call per character. */
struct StreamLock {
    FILE *fp;
    explicit StreamLock(FILE *f) : fp(f) { flockfile(fp); }
    ~StreamLock() { funlockfile(fp); }
};

} // namespace

int qrx_parse(qrx_Parser *h, FILE *fp, qrx_ParseCallback cb, void *userData)
{
    h->deepest = 0;
    h->depth = -1;
    h->state = QRX_STATE_PARSING;
    int result;
    char *value = static_cast<char *>(std::malloc(kValueSize));
    if (!value) {
        result = QRX_NO_MEMORY;
    } else {
        StreamLock lock(fp);
        Tokenizer t(h, fp, cb, userData, value);
        result = t.run();
        handBack(fp, t.win);
        for (int d = 0; d < kPooledNames && d <= h->maxDepth; ++d)
            t.dropName(d); /* the pooled copies die with t; freeOpenNames frees the rest */
    }
    h->state = result >= 0 ? QRX_STATE_DONE : QRX_STATE_FAILED;
    freeOpenNames(h);
    std::free(value);
    return result;
}

/* ------------------------------------------------------------------ */
/* Tree building                                                       */
/* ------------------------------------------------------------------ */

namespace {
/* Last element built at each depth, so appending a child does not walk
   the parent's whole child list. Slot d + 1 serves depth d. */
struct BuildState {
    std::vector<qrx_Element *> tail;
};
} // namespace

static void appendChild(qrx_Element *parent, qrx_Element *el, BuildState *bs)
{
    size_t slot = static_cast<size_t>(el->index) + 1;
    bool cached = bs && slot < bs->tail.size() && bs->tail[slot] && bs->tail[slot]->parent == parent;
    qrx_Element *tail = cached ? bs->tail[slot] : parent->children;
    while (tail && tail->next)
        tail = tail->next;
    if (tail)
        tail->next = el;
    else
        parent->children = el;
    el->parent = parent;
    if (bs && slot < bs->tail.size())
        bs->tail[slot] = el;
}

static int buildStart(qrx_Parser *hp, const char *elName, BuildState *bs)
{
    auto *pNewEl = static_cast<qrx_Element *>(std::calloc(1, sizeof(qrx_Element)));
    if (!pNewEl || !(pNewEl->name = strdup(elName))) {
        std::free(pNewEl);
        return QRX_NO_MEMORY;
    }
    pNewEl->index = hp->depth;
    qrx_Element *cursor = hp->last;
    if (pNewEl->index == cursor->index + 1) {
        appendChild(cursor, pNewEl, bs);
    } else if (pNewEl->index == cursor->index) {
        qrx_Element *sib = cursor;
        while (sib->next)
            sib = sib->next;
        sib->next = pNewEl;
        pNewEl->parent = cursor->parent;
    } else {
        TRACE_AS("qrx_buildtree_sax_callback", TRACE_FAIL, "pNewEl->index=%d, hp->last->index=%d\n",
                 pNewEl->index, cursor->index);
        qrx_RemoveElement(pNewEl);
        return QRX_BAD_DEPTH;
    }
    hp->last = pNewEl;
    return 0;
}

int qrx_buildtree_sax_callback(qrx_Parser *hp, int mode, const char *elName, const char *attrName,
                               const char *value, void *userData)
{
    if (!hp->last && mode >= QRX_START && mode <= QRX_END) {
        TRACE(TRACE_FAIL, "hp->last == NULL\n");
        return QRX_BAD_DEPTH;
    }
    int result = 0;
    switch (mode) {
    case QRX_START:
        result = buildStart(hp, elName, static_cast<BuildState *>(userData));
        break;
    case QRX_TEXT: {
        char *copy = strdup(value);
        if (!copy)
            return QRX_NO_MEMORY;
        std::free(hp->last->value);
        hp->last->value = copy;
        break;
    }
    case QRX_ATTRIBUTE: {
        qrx_Attribute *at = qrx_NewAttribute(attrName, value);
        if (!at)
            return QRX_NO_MEMORY;
        at->element = hp->last;
        qrx_Attribute **link = &hp->last->attributes;
        while (*link)
            link = &(*link)->next;
        *link = at;
        break;
    }
    case QRX_END:
        hp->last = hp->last->parent;
        break;
    default:
        TRACE(TRACE_FAIL, "mode = %d\n", mode);
        break;
    }
    if (!hp->last)
        TRACE(TRACE_FAIL, "hp->last == NULL\n");
    return result;
}

int qrx_BuildDOMTree(qrx_Parser *handle, FILE *stream)
{
    if (!handle)
        return QRX_BAD_HANDLE;
    /* A new root in its place would leak the caller's tree. */
    if (handle->root) {
        TRACE(TRACE_FAIL, "the handle holds a tree\n");
        return QRX_TREE_HELD;
    }
    qrx_Element *root = qrx_NewElement("__ROOT__", -1);
    if (!root)
        return QRX_NO_MEMORY;
    handle->root = root;
    handle->last = root;
    if (!stream)
        return 0;
    try {
        BuildState bs;
        bs.tail.assign(static_cast<size_t>(handle->maxDepth) + 2, nullptr);
        return qrx_parse(handle, stream, qrx_buildtree_sax_callback, &bs);
    } catch (...) {
        return QRX_NO_MEMORY;
    }
}

int qrx_RemoveDOMTree(qrx_Parser *handle)
{
    if (!handle)
        return QRX_BAD_HANDLE;
    qrx_RemoveElement(handle->root);
    handle->root = nullptr;
    return 0;
}

/* ------------------------------------------------------------------ */
/* Writer                                                              */
/* ------------------------------------------------------------------ */

namespace {

/* Copies n bytes. Short pieces, most of a job file, with two overlapping
   fixed-size moves that stay inside both areas, instead of a call each. */
inline void copyPiece(char *to, const char *from, size_t n)
{
    if (n >= 8 && n <= 16) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n < 4) {
        for (size_t i = 0; i < n; ++i)
            to[i] = from[i];
    } else {
        std::memcpy(to, from, n);
    }
}

/* A piece of output with its length; literals need no strlen. */
struct Part {
    const char *s;
    size_t n;
    template <size_t N> Part(const char (&literal)[N]) : s(literal), n(N - 1) {}
    Part(const char *text, size_t length) : s(text), n(length) {}
    explicit Part(const char *text) : s(text), n(std::strlen(text)) {}
};

/* The writer's output: the stream, locked once for the whole tree, a
   block buffer that saves a stdio call per piece, and the running count.
   Each piece adds what one formatted write would report: its length, or
   -1 when the stream refuses the block it went out in. */
struct Printer {
    FILE *fp;
    int count = 0;
    char buf[4096];
    size_t used = 0;
    int pendingPieces = 0;
    int pendingCount = 0;

    void flush()
    {
        if (used > 0 && fwrite_unlocked(buf, 1, used, fp) != used)
            count -= pendingPieces;
        else
            count += pendingCount;
        used = 0;
        pendingPieces = pendingCount = 0;
    }
    void tab()
    {
        if (used == sizeof buf)
            flush();
        buf[used++] = '\t';
        ++count;
    }
    void piece(std::initializer_list<Part> parts)
    {
        size_t total = 0;
        for (const Part &part : parts)
            total += part.n;
        if (total > sizeof buf - used)
            flush();
        if (total > sizeof buf) {
            bool ok = true;
            for (const Part &part : parts)
                ok = fwrite_unlocked(part.s, 1, part.n, fp) == part.n && ok;
            count += ok ? static_cast<int>(total) : -1;
            return;
        }
        for (const Part &part : parts) {
            copyPiece(buf + used, part.s, part.n);
            used += part.n;
        }
        ++pendingPieces;
        pendingCount += static_cast<int>(total);
    }
};

} // namespace

static void printTabs(int n, Printer *out)
{
    for (int i = 0; i < n; ++i)
        out->tab();
}

/* A value with a double quote but no single quote goes in single quotes,
   so that it reads back as written. One pass also gives the length. */
static Part attributeQuote(const char *value, size_t *length)
{
    *length = std::strlen(value);
    if (std::memchr(value, '"', *length) && !std::memchr(value, '\'', *length))
        return Part("'");
    return Part("\"");
}

/* Everything of an element that comes before its children. */
static void printElement(const qrx_Element *el, int depth, Printer *out)
{
    const Part name(el->name);
    printTabs(depth, out);
    out->piece({"<", name});
    if (!el->attributes && !el->value && !el->children) {
        out->piece({"/>\r\n"});
        return;
    }
    if (!el->attributes && !el->children) {
        out->piece({"> ", Part(el->value), " </", name, ">\r\n"});
        return;
    }
    for (const qrx_Attribute *at = el->attributes; at; at = at->next) {
        size_t length;
        const Part quote = attributeQuote(at->value, &length);
        out->piece({" ", Part(at->name), "=", quote, Part(at->value, length), quote});
        if (!at->next)
            out->piece({el->value ? Part(">") : el->children ? Part(">\r\n") : Part("/>\r\n")});
    }
    if (!el->attributes)
        out->piece({el->children ? Part(">\r\n") : Part(">")});
    if (el->value) {
        if (el->children)
            out->piece({" ", Part(el->value), "\r\n"});
        else
            out->piece({" ", Part(el->value), " </", name, ">\r\n"});
    }
}

static void printEnd(const qrx_Element *el, int depth, Printer *out)
{
    printTabs(depth, out);
    out->piece({"</", Part(el->name), ">\r\n"});
}

/* Prints top and everything below it, walking down `children`, along
   `next` and back up `parent`: no recursion, so any depth fits the stack. */
static void printTree(const qrx_Element *top, Printer *out)
{
    const qrx_Element *el = top;
    int depth = 0;
    for (;;) {
        printElement(el, depth, out);
        if (el->children) {
            el = el->children;
            ++depth;
            continue;
        }
        for (;;) {
            if (el == top)
                return;
            if (el->next) {
                el = el->next;
                break;
            }
            el = el->parent;
            printEnd(el, --depth, out);
        }
    }
}

/* Pushes the file to storage and gives it the job files' mode. A
   descriptor that cannot be synced (a pipe, a terminal) is no failure;
   only regular files get their mode changed, never a terminal or a log
   behind stdout. */
static bool syncAndShare(FILE *stream)
{
    int fd = fileno(stream);
    if (fd < 0)
        return true;
    if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        return false;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        fchmod(fd, static_cast<mode_t>(tandel::modeFor(tandel::FileKind::JobFile, -1)));
    return true;
}

/* The document as text into the stream, flushed: the character count,
   or a QRX print code. */
static int writeTree(qrx_Parser *handle, FILE *stream)
{
    if (!handle)
        return QRX_BAD_HANDLE;
    if (!handle->root)
        return QRX_NO_TREE;
    Printer out;
    out.fp = stream;
    flockfile(stream);
    out.piece({"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"});
    for (const qrx_Element *el = handle->root->children; el; el = el->next)
        printTree(el, &out);
    out.flush();
    funlockfile(stream);
    if (fflush(stream) != 0 || ferror(stream))
        return QRX_STREAM_ERROR;
    return out.count;
}

int qrx_WriteDOMTree(qrx_Parser *handle, FILE *stream)
{
    return writeTree(handle, stream);
}

int qrx_PrintDOMTree(qrx_Parser *handle, FILE *stream)
{
    const int n = writeTree(handle, stream);
    if (n == QRX_BAD_HANDLE || n == QRX_NO_TREE)
        return n;
    if (!syncAndShare(stream) || n < 0)
        return QRX_STREAM_ERROR;
    return n;
}

namespace tandel {

bool attributeReadsBack(const char *value)
{
    const size_t n = std::strlen(value);
    return n <= static_cast<size_t>(kValueMax) && !(std::memchr(value, '"', n) && std::memchr(value, '\'', n));
}

bool textReadsBack(const char *text)
{
    const size_t n = std::strlen(text);
    return n > 0 && n <= static_cast<size_t>(kValueMax) && !std::memchr(text, '<', n) &&
           !isBlank(static_cast<unsigned char>(text[0])) && !isBlank(static_cast<unsigned char>(text[n - 1]));
}

bool nameReadsBack(const char *name, bool element)
{
    const size_t n = std::strlen(name);
    if (n == 0 || n > kNameMax || (element && name[0] == '?'))
        return false;
    for (size_t i = 0; i < n; ++i)
        if (!isNameChar(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

bool treeReadsBack(const qrx_Element *root, int maxDepth)
{
    if (root->value || root->attributes)
        return false;
    int depth = 0;
    for (const qrx_Element *el = root->children; el;) {
        if (depth > maxDepth || !nameReadsBack(el->name, true) || (el->value && !textReadsBack(el->value)))
            return false;
        for (const qrx_Attribute *at = el->attributes; at; at = at->next)
            if (!nameReadsBack(at->name, false) || !attributeReadsBack(at->value))
                return false;
        if (el->children) {
            el = el->children;
            ++depth;
            continue;
        }
        for (; el != root && !el->next; --depth) /* up to the next element still to see */
            el = el->parent;
        el = el == root ? nullptr : el->next;
    }
    return true;
}

} // namespace tandel

/* XML toolkit: tree records, streaming parser, tree builder and writer. */
#include <gtest/gtest.h>

#include <climits>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "testkit.h"
#include "tree.h"

namespace {

struct Tree {
    qrx_Element *root = qrx_NewElement("__ROOT__", -1);
    ~Tree() { qrx_RemoveElement(root); }
};

TEST(Tree, ElementsValuesAndStrEqual)
{
    EXPECT_EQ(str_equal(nullptr, nullptr) * 8 + str_equal(nullptr, "") * 4 + str_equal("", "") * 2 +
                  str_equal("job", "jobs"),
              10);
    Tree t;
    char name[] = "job";
    qrx_Element *job = qrx_AddElement(name, nullptr, t.root);
    name[0] = 'X'; /* the name is copied */
    qrx_Element *s1 = qrx_AddElement("s", "one", job);
    qrx_AddElement("u", nullptr, job);
    qrx_AddElementBefore("first", nullptr, job, nullptr);
    qrx_Element *mid = qrx_AddElementBefore("mid", "v", job, s1);
    EXPECT_EQ(mid->index, 1);
    qrx_AddElementBefore("only", nullptr, s1, nullptr); /* into an empty list */
    /* a `before` that is not a child of parent is refused */
    EXPECT_EQ(qrx_AddElementBefore("x", nullptr, t.root, s1), nullptr);
    EXPECT_EQ(dump(t.root, true), "__ROOT__#-1(job#0(first#1,mid#1{v},s#1{one}(only#2),u#1))");

    const char *first = qrx_SetElementValue("12.5", s1);
    EXPECT_EQ(qrx_SetElementValue("12.5", s1), first); /* equal: kept */
    EXPECT_STREQ(qrx_SetElementValue("13", s1), "13");
    EXPECT_EQ(qrx_RemoveElementValue(s1), 1);
    EXPECT_EQ(s1->value, nullptr);
    EXPECT_EQ(qrx_RemoveElementValue(s1), 0);
    qrx_RemoveElement(nullptr);
}

TEST(Tree, Attributes)
{
    Tree t;
    qrx_Element *el = qrx_AddElement("e", nullptr, t.root);
    qrx_Attribute *id = qrx_AddAttribute("id", "1", el);
    qrx_AddAttribute("type", "2", el);
    const char *oldValue = id->value;
    EXPECT_EQ(qrx_AddAttribute("id", "1", el), id);
    EXPECT_EQ(id->value, oldValue); /* same value: nothing reallocated */
    EXPECT_EQ(qrx_AddAttribute("id", "9", el), id);
    /* duplicates come from files: the first match wins */
    qrx_Attribute *dup = qrx_NewAttribute("id", "2");
    dup->element = el;
    el->attributes->next->next = dup;
    EXPECT_EQ(dump(el, true), "e#0[id=9][type=2][id=2]");
    qrx_Attribute *out = nullptr;
    EXPECT_STREQ(qrx_GetAttribute("id", nullptr, el, nullptr), "9");
    EXPECT_STREQ(qrx_GetAttribute("id", "2", el, &out), "2");
    EXPECT_EQ(out, dup);
    EXPECT_EQ(qrx_GetAttribute("id", "3", el, &out), nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(qrx_GetAttribute("id", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(qrx_RemoveAttribute("id", el), 1);
    EXPECT_EQ(qrx_RemoveAttribute("b", el), 0);
    EXPECT_EQ(qrx_RemoveAttribute(nullptr, el) + qrx_RemoveAttribute("a", nullptr), -2);
    EXPECT_EQ(dump(el, true), "e#0[type=2][id=2]");
}

int record(qrx_Parser *h, int mode, const char *el, const char *attr, const char *value, void *ud)
{
    auto *log = static_cast<std::vector<std::string> *>(ud);
    std::string s = std::to_string(mode) + ":" + (el ? el : "") + "@" + std::to_string(h->depth);
    if (attr)
        s += " " + std::string(attr);
    if (value)
        s += "=[" + std::string(value) + "]";
    log->push_back(s);
    /* "stop" elements steer the parse by the number in their attribute */
    return mode == QRX_ATTRIBUTE && std::string(el) == "stop" ? atoi(value) : 0;
}

std::string parse(const std::string &xml, int *result, qrx_Parser *p = nullptr)
{
    Handle own;
    std::vector<std::string> log;
    clearTraces();
    MemStream ms(xml);
    *result = qrx_parse(p ? p : own.p, ms.fp, record, &log);
    std::string s;
    for (const std::string &e : log)
        s += (s.empty() ? "" : "|") + e;
    return s;
}

TEST(Parser, HandleInitAndDeinit)
{
    qrx_Parser *p = nullptr;
    EXPECT_EQ(qrx_init(&p, 0), -2);
    ASSERT_EQ(qrx_init(&p, 4), 0);
    EXPECT_EQ(p->state * 100 + p->maxDepth * 10 + p->depth, 140);
    qrx_Parser *keep = p;
    EXPECT_EQ(qrx_init(&p, 4), -1);
    EXPECT_EQ(p, keep);
    EXPECT_EQ(qrx_deinit(&p), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(qrx_deinit(&p), -1);
    EXPECT_EQ(qrx_deinit(nullptr) + qrx_init(nullptr, 4), -2);
    /* the slot array must not wrap the size on a 32-bit target */
    for (int n : {(1 << 20) + 1, 0x3FFFFFFF, INT_MAX})
        EXPECT_EQ(qrx_init(&p, n), -2) << n;
    ASSERT_EQ(qrx_init(&p, 1 << 20), 0);
    qrx_deinit(&p);
}

TEST(Parser, EventsQuirksAndSteering)
{
    const struct {
        const char *xml, *events;
        int result;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<job/>\r\n", "0:job@0|3:job@0", 0},
        {"<job id=\"7\" type = '2'>\n\t<s  n=\"a 'b'\nc\">  one two \t</s>\n\t<x\tq='say \"hi\"'/>\n</ job >",
         "0:job@0|2:job@0 id=[7]|2:job@0 type=[2]|0:s@1|2:s@1 n=[a 'b'\nc]|1:s@1=[one two]|3:s@1|0:x@1|"
         "2:x@1 q=[say \"hi\"]|3:x@1|3:job@0",
         0},
        /* text after a comment takes the latest start tag's name */
        {"<!-- head --><a><!- - spaced - - ><b/><!-- x -->after</a>", "0:a@0|0:b@1|3:b@1|1:b@0=[after]|3:a@0",
         0},
        {"<!-- c -->lead<?pi a ? b?><a/>", "1:@-1=[lead]|0:a@0|3:a@0", 0},
        /* nameless tag, unquoted attribute, unchecked end name, no unescaping */
        {"<>lead<a k=v m=\"1\">x &amp; y</b><c/>",
         "1:@-1=[lead]|0:a@0|2:a@0 m=[1]|1:a@0=[x &amp; y]|3:a@0|0:c@0|3:c@0", 0},
        {"<?"
         "?>",
         "0:?@0", -13}, /* "??" ends the instruction, '?' starts a name */
        {"<a/><!---->", "0:a@0|3:a@0", -13},
        {"<a><b><c><d><e/></d></c></b></a>", "0:a@0|0:b@1|0:c@2|0:d@3|0:e@4|3:e@4|3:d@3|3:c@2|3:b@1|3:a@0",
         0},
        {"<a><b><c><d><e><f/>", "0:a@0|0:b@1|0:c@2|0:d@3|0:e@4", -8},
        {"<a><stop v='1'/><b/></a>", "0:a@0|0:stop@1|2:stop@1 v=[1]", 1},
        {"<a><stop v='-5'/><b/></a>", "0:a@0|0:stop@1|2:stop@1 v=[-5]", -5},
        {"<stop v='2'/><b/>", "0:stop@0|2:stop@0 v=[2]|3:stop@0|0:b@0|3:b@0", 0},
    };
    for (const auto &c : cases) {
        int r = 99;
        EXPECT_EQ(parse(c.xml, &r), c.events) << c.xml;
        EXPECT_EQ(r, c.result) << c.xml;
    }
    /* a failed parse leaves a reusable handle with no open names */
    Handle h;
    int r = 0;
    parse("<a><stop v='-5'/>", &r, h.p);
    EXPECT_EQ(h->state, -1);
    for (int d = 0; d <= h->maxDepth; ++d)
        EXPECT_EQ(h->openNames[d], nullptr);
    EXPECT_EQ(parse("<c><d/></c>", &r, h.p), "0:c@0|0:d@1|3:d@1|3:c@0");
    EXPECT_EQ(h->deepest * 10 + h->depth + h->state * 100, 309);
}

/* Open names of every depth, the shallow ones and the deep ones the
   handle keeps differently, must be the element's own until it ends. */
int checkOpenNames(qrx_Parser *h, int mode, const char *el, const char *, const char *, void *ud)
{
    auto *log = static_cast<std::string *>(ud);
    if (mode == QRX_START || mode == QRX_END) {
        *log += (mode == QRX_START ? "+" : "-") + std::string(h->openNames[h->depth]);
        for (int d = 0; d <= h->maxDepth; ++d)
            if ((d <= h->depth) != (h->openNames[d] != nullptr))
                *log += "!";
    }
    return mode == QRX_START && std::string(el) == "stop" ? -5 : 0;
}

TEST(Parser, OpenNamesAtEveryDepth)
{
    std::string opens, closes, entered, left;
    for (int d = 0; d < 12; ++d) {
        const std::string name(d * 10 + 1, static_cast<char>('a' + d));
        opens += "<" + name + ">";
        closes.insert(0, "</" + name + ">");
        entered += "+" + name;
        left.insert(0, "-" + name);
    }
    const std::string xml = opens + closes, expected = entered + left;
    Handle h(11);
    for (int round = 0; round < 2; ++round) {
        std::string log;
        MemStream ms(xml);
        EXPECT_EQ(qrx_parse(h.p, ms.fp, checkOpenNames, &log), 0);
        EXPECT_EQ(log, expected);
    }
    /* stopped with ten elements open: every copy is released (the sanitizers see leaks) */
    std::string deep;
    for (int d = 0; d < 10; ++d)
        deep += "<e" + std::to_string(d) + ">";
    std::string log;
    MemStream ms(deep + "<stop/>");
    EXPECT_EQ(qrx_parse(h.p, ms.fp, checkOpenNames, &log), -5);
    EXPECT_EQ(log, "+e0+e1+e2+e3+e4+e5+e6+e7+e8+e9+stop");
    for (int d = 0; d <= h->maxDepth; ++d)
        EXPECT_EQ(h->openNames[d], nullptr) << d;
}

TEST(Parser, EndOfInputAndLimits)
{
    const std::string n125(125, 'n'), v8189(8189, 'v');
    const struct {
        std::string xml;
        int result;
    } cases[] = {
        {"<a><b/>", -9},
        {"<a>", -13},
        {"<a", -10},
        {"<a b", -11},
        {"<a b='x", -12},
        {"<!-- never closed", -14},
        {"<? never closed", -14},
        {"<a></a", -14},
        {"<a></", -14},
        {"<" + n125 + "/>", 0},
        {"<" + n125 + "n/>", -10},
        {"<a " + n125 + "='1'/>", 0},
        {"<a " + n125 + "n='1'/>", -11},
        {"<a k='" + v8189 + "'/>", 0},
        {"<a k='" + v8189 + "v'/>", -12},
        {"<a>" + v8189 + "</a>", 0},
        {"<a>" + v8189 + "v</a>", -13},
    };
    for (const auto &c : cases) {
        int r = 99;
        std::string events = parse(c.xml, &r);
        EXPECT_EQ(r, c.result) << c.xml.substr(0, 20);
        if (c.xml == "<a k='" + v8189 + "'/>") {
            EXPECT_EQ(events, "0:a@0|2:a@0 k=[" + v8189 + "]|3:a@0");
        }
    }
}

/* Names, values and texts are scanned a word at a time where the window
   holds one; each length and every odd character position must still come
   out whole, with small buffers cutting words at every offset. */
TEST(Parser, TokensOfEveryLengthThroughSmallBuffers)
{
    const std::string names = "p1r_m.t:\xC3\xA9r\"n9mberXYZabcdefghijklmnopqrstuvw0123456";
    const std::string values = "a b<c>d=e/f!g-h\"i\tj\xFFk\x01lmnopqrstuvwxyz<<>>==//!!--0123";
    const std::string texts = "7.0 x>y=z/w!-\"'\xC3\xA9\r\nabcdefghijklmnopqrstuvwxyz0123456";
    std::string doc = "<r>", expected = "0:r@0";
    for (size_t n = 1; n <= 40; ++n) {
        std::string name = names.substr(names.size() - n), value = values.substr(values.size() - n);
        std::string text = texts.substr(0, n), shown = text; /* trailing blanks are dropped */
        while (std::string(" \t\r\n").find(shown.back()) != std::string::npos)
            shown.pop_back();
        doc += "<" + name + " " + name + "='" + value + "'>" + text + "</" + name + ">\n";
        expected += "|0:" + name + "@1|2:" + name + "@1 " + name + "=[" + value + "]|1:" + name + "@1=[" +
                    shown + "]|3:" + name + "@1";
    }
    doc += "</r>";
    expected += "|3:r@0";
    for (int size : {0, 1, 7, 13, 4096}) {
        std::vector<char> buffer(size + 1); /* stdio ignores the size of a buffer it allocates */
        FILE *fp = tmpfile();
        ASSERT_NE(fp, nullptr);
        if (size > 0)
            setvbuf(fp, buffer.data(), size == 1 ? _IONBF : _IOFBF, size);
        fwrite(doc.data(), 1, doc.size(), fp);
        rewind(fp);
        Handle h;
        std::vector<std::string> log;
        EXPECT_EQ(qrx_parse(h.p, fp, record, &log), 0) << size;
        std::string events;
        for (const std::string &e : log)
            events += (events.empty() ? "" : "|") + e;
        EXPECT_EQ(events, expected) << size;
        fclose(fp);
    }
}

TEST(Parser, SyntaxErrorsTraceLineAndCharacter)
{
    const struct {
        const char *xml, *message, *events;
    } cases[] = {
        {"", "error line 1: c='\xff'\n", ""},
        {" \r\n ", "error line 2: c='\xff'\n", ""},
        {"<!DOCTYPE job>", "error line 1: c='D'\n", ""},
        {"<a>\n<my-el/>", "error line 2: c='-'\n", "0:a@0|0:my@1"},
        {"<a/>text", "error line 1: c='t'\n", "0:a@0|3:a@0"},
        {"</a>", "error line 1: c='\xff'\n", ""},
        {"<a/></a>", "error line 1: c='\xff'\n", "0:a@0|3:a@0"},
        {"<a k='1\n\n'/>\n x", "error line 4: c='x'\n", "0:a@0|2:a@0 k=[1\n\n]|3:a@0"},
    };
    for (const auto &c : cases) {
        int r = 0;
        EXPECT_EQ(parse(c.xml, &r), c.events) << c.xml;
        EXPECT_EQ(r, -2);
        ASSERT_EQ(traceCalls().size(), 1u);
        const TraceCall &t = traceCalls()[0];
        EXPECT_EQ(t.message, c.message);
        EXPECT_EQ(t.format + t.function + t.file + std::to_string(t.level),
                  "error line %d: c='%c'\nqrx_parseXML../xmlparser/qrxparser.cpp2");
    }
}

/* The parser takes characters from the stream's buffer in runs; wherever it
   stops, the stream must stand right after the last character it used. */
FILE *pipeWith(const std::string &text)
{
    int fds[2];
    if (pipe(fds) != 0)
        return nullptr;
    if (write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return nullptr;
    close(fds[1]);
    return fdopen(fds[0], "r");
}

std::string rest(FILE *fp)
{
    std::string s;
    for (int ch; (ch = getc(fp)) != EOF;)
        s += static_cast<char>(ch);
    return s;
}

TEST(Parser, StreamStandsAfterTheLastCharacterUsed)
{
    const std::string filler(3000, 'f'); /* the stop lies past the first buffer of a tiny one */
    const std::string doc = "<a t='" + filler + "'>\n<stop v='1' />tail of the stream\n";
    std::vector<FILE *> streams;
    for (int kind = 0; kind < 5; ++kind) {
        FILE *fp = kind == 0   ? pipeWith(doc)
                   : kind == 1 ? fmemopen(const_cast<char *>(doc.data()), doc.size(), "r")
                               : tmpfile();
        ASSERT_NE(fp, nullptr);
        if (kind >= 2) {
            fputs(doc.c_str() + 1, fp);
            rewind(fp);
            if (kind == 3)
                setvbuf(fp, nullptr, _IONBF, 0);
            if (kind == 4)
                setvbuf(fp, nullptr, _IOFBF, 16);
            ungetc('<', fp); /* the first character comes from the push-back slot */
        }
        Handle h;
        std::vector<std::string> log;
        EXPECT_EQ(qrx_parse(h.p, fp, record, &log), 1) << kind;
        EXPECT_EQ(log.size(), 4u) << kind;
        EXPECT_EQ(rest(fp), ">tail of the stream\n") << kind;
        fclose(fp);
    }
}

/* A callback that reads the stream itself gets the characters after the
   parser's; the parser goes on behind them and does not count their lines. */
struct Eater {
    FILE *fp;
    std::string eaten;
};

int eatThree(qrx_Parser *, int mode, const char *, const char *, const char *, void *ud)
{
    auto *e = static_cast<Eater *>(ud);
    if (mode == QRX_START && e->eaten.empty())
        for (int i = 0; i < 3; ++i)
            e->eaten += static_cast<char>(getc(e->fp));
    return 0;
}

TEST(Parser, LinesAreCountedAcrossBuffersAndCallbackReads)
{
    std::string doc;
    for (int i = 0; i < 2000; ++i) /* 50 KB: within what a pipe holds */
        doc += "<e k='v\nw'>\n\ttext\r\n</e>\n";
    doc += "  x";
    FILE *fp = pipeWith(doc);
    ASSERT_NE(fp, nullptr);
    Handle h;
    clearTraces();
    EXPECT_EQ(qrx_parse(
                  h.p, fp,
                  [](qrx_Parser *, int, const char *, const char *, const char *, void *) { return 0; },
                  nullptr),
              -2);
    fclose(fp);
    ASSERT_EQ(traceCalls().size(), 1u);
    EXPECT_EQ(traceCalls()[0].message, "error line 8001: c='x'\n");

    /* large windows, and runs of line feeds long enough to overflow a narrow counter */
    for (const std::string &text : {doc, std::string(70000, '\n') + "x"}) {
        for (size_t buffer : {size_t(BUFSIZ), size_t(1) << 16}) {
            std::vector<char> area(buffer);
            FILE *fp = tmpfile();
            ASSERT_EQ(setvbuf(fp, area.data(), _IOFBF, buffer), 0);
            fwrite(text.data(), 1, text.size(), fp);
            rewind(fp);
            clearTraces();
            qrx_parse(
                h.p, fp,
                [](qrx_Parser *, int, const char *, const char *, const char *, void *) { return 0; },
                nullptr);
            fclose(fp);
            ASSERT_EQ(traceCalls().size(), 1u);
            EXPECT_EQ(traceCalls()[0].message,
                      text == doc ? "error line 8001: c='x'\n" : "error line 70001: c='x'\n")
                << buffer;
        }
    }

    const std::string eat = "<eat>\n\n\nZZ\n<b/>\n</eat> x";
    Eater e{fmemopen(const_cast<char *>(eat.data()), eat.size(), "r"), ""};
    clearTraces();
    EXPECT_EQ(qrx_parse(h.p, e.fp, eatThree, &e), -2);
    fclose(e.fp);
    EXPECT_EQ(e.eaten, "\n\n\n");
    ASSERT_EQ(traceCalls().size(), 1u);
    EXPECT_EQ(traceCalls()[0].message, "error line 3: c='x'\n");
}

/* Callbacks that read the stream and give it back: the parser must have
   counted the lines of its window before the callback refills or frees it. */
struct Peeker {
    FILE *fp;
    size_t ahead; /* characters read and pushed back; past the buffer, glibc keeps them on the heap */
};

int peekStream(qrx_Parser *, int, const char *, const char *, const char *, void *ud)
{
    auto *pk = static_cast<Peeker *>(ud);
    const bool atEnd = feof(pk->fp);
    std::string seen;
    for (int ch; seen.size() < pk->ahead && (ch = getc(pk->fp)) != EOF;)
        seen += static_cast<char>(ch);
    for (size_t i = seen.size(); i-- > 0;)
        ungetc(static_cast<unsigned char>(seen[i]), pk->fp);
    if (!atEnd && feof(pk->fp))
        clearerr(pk->fp); /* the parser has not met the end yet */
    return 0;
}

TEST(Parser, CallbacksThatReadTheStreamKeepLineCounts)
{
    std::string doc;
    for (int i = 0; i < 40; ++i)
        doc += "<e k='v\nw'>\n\ttext\r\n</e>\n";
    doc += "  x";
    for (size_t ahead : {1, 20}) {
        for (int size : {16, 5, 1}) {
            std::vector<char> area(size);
            FILE *fp = tmpfile();
            ASSERT_EQ(setvbuf(fp, area.data(), _IOFBF, size), 0);
            fwrite(doc.data(), 1, doc.size(), fp);
            rewind(fp);
            Peeker pk{fp, ahead};
            Handle h;
            clearTraces();
            EXPECT_EQ(qrx_parse(h.p, fp, peekStream, &pk), -2);
            fclose(fp);
            ASSERT_EQ(traceCalls().size(), 1u);
            EXPECT_EQ(traceCalls()[0].message, "error line 161: c='x'\n") << ahead << " " << size;
        }
    }
}

TEST(Builder, BuildsKeepsPartialTreesAndFrees)
{
    EXPECT_EQ(qrx_BuildDOMTree(nullptr, nullptr), -1);
    EXPECT_EQ(qrx_RemoveDOMTree(nullptr), -1);
    Handle h;
    ASSERT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    EXPECT_EQ(dump(h->root, true), "__ROOT__#-1");
    EXPECT_EQ(h->last, h->root);
    qrx_RemoveDOMTree(h.p);
    EXPECT_EQ(
        buildFrom(
            h.p,
            "<?xml version=\"1.0\"?>\n<job id='1' id=\"2\" k=''>\n  text here  \n"
            "\t<s n=\"1\"><m i=\"1\" v=\"5\"/><l/></s>\n\t<s n=\"2\"> v <!-- c --> w </s>\n</job>\n<b/>\n"),
        0);
    /* later text replaces earlier */
    EXPECT_EQ(dump(h->root, true), "__ROOT__#-1(job#0[id=1][id=2][k=]{text here}("
                             "s#1[n=1](m#2[i=1][v=5],l#2),s#1[n=2]{w}),b#0)");
    EXPECT_EQ(h->last, h->root);
    qrx_RemoveDOMTree(h.p);
    EXPECT_EQ(buildFrom(h.p, "<job a='1'><s><t/><u x='2'>"), -13);
    EXPECT_EQ(dump(h->root, true), "__ROOT__#-1(job#0[a=1](s#1(t#2,u#2[x=2])))");
    EXPECT_STREQ(h->last->name, "u");
    EXPECT_EQ(qrx_RemoveDOMTree(h.p), 0);
    EXPECT_EQ(h->root, nullptr);
    EXPECT_EQ(qrx_RemoveDOMTree(h.p), 0);

    /* many siblings under changing parents stay in order */
    std::string xml = "<job>", expect = "__ROOT__#-1(job#0(";
    for (int i = 0; i < 300; ++i) {
        std::string n = std::to_string(i);
        xml += "<s n='" + n + "'><m i='a'/><m i='b'/></s>";
        expect += (i ? "," : "") + std::string("s#1[n=") + n + "](m#2[i=a],m#2[i=b])";
    }
    EXPECT_EQ(buildFrom(h.p, xml + "</job>"), 0);
    EXPECT_EQ(dump(h->root, true), expect + "))");
}

TEST(Builder, CallbackFaultsAreTraced)
{
    Handle h;
    ASSERT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    clearTraces();
    h->depth = 3; /* does not fit the cursor at -1: stop, not end the process */
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_START, "x", nullptr, nullptr, nullptr), -15);
    ASSERT_EQ(traceCalls().size(), 1u);
    EXPECT_EQ(traceCalls()[0].message, "pNewEl->index=3, hp->last->index=-1\n");
    EXPECT_EQ(traceCalls()[0].function, "qrx_buildtree_sax_callback");
    EXPECT_EQ(h->root->children, nullptr);
    h->last = qrx_AddElement("a", nullptr, h->root);
    h->depth = 0; /* equal depth: a sibling of the cursor */
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_START, "b", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dump(h->root, true), "__ROOT__#-1(a#0,b#0)");

    h->last = h->root;
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, 7, "x", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(countTraces("mode = 7\n", 2), 1);
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_END, "x", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_TEXT, "x", nullptr, "t", nullptr), -15);
    EXPECT_EQ(countTraces("hp->last == NULL\n", 2), 2);
}

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

TEST(Writer, LayoutAndCount)
{
    Handle h;
    int r = 0;
    EXPECT_EQ(printed(h.p, &r), "");
    EXPECT_EQ(r, -2);
    EXPECT_EQ(qrx_PrintDOMTree(nullptr, stdout), -1);
    qrx_BuildDOMTree(h.p, nullptr);
    EXPECT_EQ(printed(h.p, &r), kDecl);
    EXPECT_EQ(r, 40);
    qrx_Element *top = qrx_AddElement("top", nullptr, h->root);
    qrx_AddElement("e", nullptr, top);
    qrx_AddElement("v", "1", top);
    qrx_AddAttribute("k", "a", qrx_AddElement("a", nullptr, top));
    qrx_AddAttribute("k", "", qrx_AddElement("av", "2", top));
    qrx_Element *ac = qrx_AddElement("ac", nullptr, top);
    qrx_AddAttribute("k", "b", ac);
    qrx_AddElement("c", nullptr, ac);
    qrx_Element *avc = qrx_AddElement("avc", "3", top);
    qrx_AddAttribute("k", "c", avc);
    qrx_AddAttribute("l", "d", avc);
    qrx_AddElement("c", nullptr, avc);
    qrx_AddElement("c", "", qrx_AddElement("vc", "4", top));
    const std::string out = printed(h.p, &r);
    EXPECT_EQ(
        out,
        kDecl +
            "<top>\r\n\t<e/>\r\n\t<v> 1 </v>\r\n\t<a k=\"a\"/>\r\n\t<av k=\"\"> 2 </av>\r\n"
            "\t<ac k=\"b\">\r\n\t\t<c/>\r\n\t</ac>\r\n\t<avc k=\"c\" l=\"d\"> 3\r\n\t\t<c/>\r\n\t</avc>\r\n"
            "\t<vc>\r\n 4\r\n\t\t<c>  </c>\r\n\t</vc>\r\n</top>\r\n");
    EXPECT_EQ(r, static_cast<int>(out.size()));
}

TEST(Writer, ReadsBackAndSyncsFiles)
{
    Handle h, again;
    ASSERT_EQ(
        buildFrom(h.p, "<job id=\"1\" note='say \"hi\"'> lead\r\n\t<s n=\"1\"> a b </s><s><m/></s></job>"),
        0);
    const std::string once = printed(h.p);
    ASSERT_EQ(buildFrom(again.p, once), 0);
    EXPECT_EQ(printed(again.p), once);
    /* a double quote without single quotes is written in single quotes */
    EXPECT_EQ(once, kDecl + "<job id=\"1\" note='say \"hi\"'> lead\r\n\t<s n=\"1\"> a b </s>\r\n\t<s>\r\n"
                            "\t\t<m/>\r\n\t</s>\r\n</job>\r\n");

    char dir[] = "/tmp/qrxwriterXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/job.xml";
    mode_t old = umask(022);
    FILE *fp = fopen(path.c_str(), "w");
    umask(old);
    ASSERT_NE(fp, nullptr);
    Handle one;
    qrx_BuildDOMTree(one.p, nullptr);
    qrx_AddElement("job", nullptr, one->root);
    EXPECT_EQ(qrx_PrintDOMTree(one.p, fp), 48);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u); /* the writer opens nothing itself */
    EXPECT_EQ(st.st_size, 48);           /* flushed before the sync */
    fclose(fp);
    EXPECT_EQ(printed(one.p), kDecl + "<job/>\r\n");
    unlink(path.c_str());
    rmdir(dir);
}

/* At the edge of the writer's limits: printed trees that do not read back. */
TEST(Writer, OutputsThatDoNotReadBack)
{
    struct Case {
        const char *input;
        int reread;
    } cases[] = {
        /* no element (an unfinished end tag at the end is let pass): the
           declaration alone reads as an unended text */
        {"<?pi ?>text</x\n", -13},
        /* "<??" makes an element named "?p", which prints as an instruction */
        {"<??p i><b/></?p>", -14},
    };
    for (const Case &c : cases) {
        Handle h, again;
        ASSERT_EQ(buildFrom(h.p, c.input), 0) << c.input;
        EXPECT_EQ(buildFrom(again.p, printed(h.p)), c.reread) << c.input;
    }
}

/* Runs fn on a thread with a 64 KiB stack: a walk that recursed once per
   level would overflow it a few thousand levels down. */
void onSmallStack(void *(*fn)(void *), void *arg)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, &attr, fn, arg), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
}

TEST(Writer, DeepTreesArePrintedAndFreedWithoutRecursion)
{
    enum { kLevels = 5000 };
    struct Deep {
        std::string xml, out;
        int built, printed, chainOk = 1;
    } d;
    for (int i = 1; i < kLevels; ++i)
        d.xml += "<e>";
    d.xml += "<e/>";
    for (int i = 1; i < kLevels; ++i)
        d.xml += "</e>";
    onSmallStack(
        [](void *p) -> void * {
            auto *d = static_cast<Deep *>(p);
            qrx_Parser *h = nullptr;
            qrx_init(&h, kLevels);
            d->built = buildFrom(h, d->xml);
            d->out = printed(h, &d->printed);
            qrx_deinit(&h);
            /* a chain built by the tree calls, freed from its top */
            qrx_Element *top = qrx_NewElement("t", 0), *el = top;
            for (int i = 0; i < kLevels && el; ++i)
                el = qrx_AddElement("c", "v", el);
            d->chainOk = el != nullptr;
            qrx_RemoveElement(top);
            return nullptr;
        },
        &d);
    EXPECT_EQ(d.built, 0);
    EXPECT_TRUE(d.chainOk);
    std::string expected = kDecl;
    for (int i = 0; i < kLevels - 1; ++i)
        expected += std::string(i, '\t') + "<e>\r\n";
    expected += std::string(kLevels - 1, '\t') + "<e/>\r\n";
    for (int i = kLevels - 2; i >= 0; --i)
        expected += std::string(i, '\t') + "</e>\r\n";
    EXPECT_TRUE(d.out == expected); /* 25 MB: no diff printed */
    EXPECT_EQ(d.printed, static_cast<int>(expected.size()));
}

TEST(Writer, StreamErrorsAndNonRegularFiles)
{
    char dir[] = "/tmp/qrxstreamsXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/job.xml", fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FILE *f = fopen(file.c_str(), "w");
    fclose(f);
    Handle h;
    qrx_BuildDOMTree(h.p, nullptr);
    qrx_AddAttribute("k", "v", qrx_AddElement("job", nullptr, h->root));
    const struct {
        const char *path, *mode;
        int result;
    } cases[] = {
        {"/dev/full", "w", -3},   /* the flush fails */
        {file.c_str(), "r", -3},  /* every write fails */
        {fifo.c_str(), "r+", 54}, /* fsync refuses a pipe: not an error, and no fchmod */
        {"/dev/null", "w", 54},
    };
    for (const auto &c : cases) {
        FILE *fp = fopen(c.path, c.mode);
        ASSERT_NE(fp, nullptr) << c.path;
        EXPECT_EQ(qrx_PrintDOMTree(h.p, fp), c.result) << c.path;
        fclose(fp);
    }
    struct stat st;
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    unlink(fifo.c_str());
    unlink(file.c_str());
    rmdir(dir);
}

/* jobtool shows named failures; these are what it cannot: a table's
   first entry, 0, a parse result passed on, and values a family does
   not name. */
TEST(Results, FirstEntrySuccessAndUnnamedValues)
{
    const struct {
        tandel_Family family;
        int code;
        const char *text;
    } cases[] = {
        {TANDEL_XML_SETUP, QRX_BAD_HANDLE, "bad parser handle"},
        {TANDEL_MERGE, 0, "success"},
        {TANDEL_MERGE, QRX_TOO_DEEP, "elements nested too deep"},
        {TANDEL_HTTP, 0, "server status"},
        {TANDEL_TREE, -99, "unknown result"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(tandel_errstr(c.family, c.code), c.text) << c.family << " " << c.code;
}

} // namespace

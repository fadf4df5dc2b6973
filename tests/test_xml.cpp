/* XML toolkit: tree records, streaming parser, tree builder and writer. */
#include <functional>
#include <random>

#include "testkit.h"
#include "tree.h"

namespace {

TEST(Tree, ElementsAttributesAndValues)
{
    EXPECT_TRUE(str_equal(nullptr, nullptr));
    EXPECT_FALSE(str_equal(nullptr, ""));
    EXPECT_FALSE(str_equal("a", "ab"));
    char name[] = "job";
    qrx_Element *root = qrx_NewElement("__ROOT__", -1), *job = qrx_AddElement(name, nullptr, root);
    name[0] = 'X'; /* the name is copied */
    qrx_Element *s = qrx_AddElement("s", "one", job), *u = qrx_AddElement("u", nullptr, job);
    ASSERT_NE(qrx_AddElementBefore("first", nullptr, job, nullptr), nullptr);
    ASSERT_NE(qrx_AddElementBefore("only", nullptr, s, nullptr), nullptr);
    EXPECT_EQ(qrx_AddElementBefore("mid", "v", job, s)->index, 1);
    EXPECT_EQ(qrx_AddElementBefore("x", nullptr, root, s), nullptr); /* s is no child of root */
    EXPECT_EQ(dump(root, true), "__ROOT__#-1(job#0(first#1,mid#1{v},s#1{one}(only#2),u#1))");
    const char *first = qrx_SetElementValue("12.5", s);
    EXPECT_EQ(qrx_SetElementValue("12.5", s), first); /* the same value: not copied again */
    EXPECT_STREQ(qrx_SetElementValue("13", s), "13");
    EXPECT_EQ(qrx_RemoveElementValue(s), 1);
    EXPECT_EQ(qrx_RemoveElementValue(s), 0);
    EXPECT_EQ(s->value, nullptr);
    qrx_Attribute *id = qrx_AddAttribute("id", "1", u), *out = nullptr;
    const char *oldValue = id->value;
    qrx_AddAttribute("type", "2", u);
    EXPECT_EQ(qrx_AddAttribute("id", "1", u), id);
    EXPECT_EQ(id->value, oldValue);
    EXPECT_EQ(qrx_AddAttribute("id", "9", u), id);
    qrx_Attribute *dup = u->attributes->next->next = qrx_NewAttribute("id", "2"); /* as files may have it */
    dup->element = u;
    EXPECT_STREQ(qrx_GetAttribute("id", nullptr, u, nullptr), "9");
    EXPECT_STREQ(qrx_GetAttribute("id", "2", u, &out), "2");
    EXPECT_EQ(out, dup);
    EXPECT_EQ(qrx_GetAttribute("id", "3", u, &out), nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(qrx_GetAttribute("id", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(qrx_RemoveAttribute("id", u), 1);
    EXPECT_EQ(qrx_RemoveAttribute("b", u), 0);
    EXPECT_EQ(qrx_RemoveAttribute(nullptr, u), TREE_NULL_ARGUMENT);
    EXPECT_EQ(qrx_RemoveAttribute("a", nullptr), TREE_NULL_ARGUMENT);
    EXPECT_EQ(dump(u, true), "u#1[type=2][id=2]");
    qrx_RemoveElement(nullptr);
    qrx_RemoveElement(root);
}

struct Log { /* record peeks `ahead` characters on each event */
    FILE *fp;
    size_t ahead;
    std::string events, eaten;
};

/* Events "mode:element@depth" (mode 0 start, 1 text, 2 attribute, 3 end); "!"
   marks open names not the element's own; "stop" steers the parse, "eat" eats. */
int record(qrx_Parser *h, int mode, const char *el, const char *attr, const char *value, void *ud)
{
    Log &log = *static_cast<Log *>(ud);
    log.events += (log.events.empty() ? "" : "|") + std::to_string(mode) + ":" + (el ? el : "") + "@" +
                  std::to_string(h->depth) + (attr ? " " + std::string(attr) : "") +
                  (value ? "=[" + std::string(value) + "]" : "");
    for (int d = 0; d <= h->maxDepth; ++d)
        if ((d <= h->depth) != (h->openNames[d] != nullptr) ||
            (mode == QRX_START && d == h->depth && strcmp(el, h->openNames[d])))
            log.events += "!";
    for (int i = 0; i < 3 && mode == QRX_START && !strcmp(el, "eat"); ++i)
        log.eaten += static_cast<char>(getc(log.fp));
    const bool atEnd = feof(log.fp);
    char seen[32];
    for (size_t n = fread(seen, 1, log.ahead, log.fp); n > 0;)
        ungetc(static_cast<unsigned char>(seen[--n]), log.fp);
    if (!atEnd && feof(log.fp))
        clearerr(log.fp); /* the parser has not met the end yet */
    return mode == QRX_ATTRIBUTE && std::string(el) == "stop" ? atoi(value) : 0;
}

/* Text on a pipe (size 0), or in a file read through a buffer of size
   bytes (1: none) whose first character comes from the push-back slot. */
FILE *streamOf(const std::string &text, std::vector<char> &area, size_t size)
{
    int fds[2];
    if (size == 0 && pipe(fds) == 0 && write(fds[1], text.data(), text.size()) == ssize_t(text.size()) &&
        close(fds[1]) == 0)
        return fdopen(fds[0], "r");
    FILE *fp = tmpfile();
    area.resize(size);
    setvbuf(fp, area.data(), size == 1 ? _IONBF : _IOFBF, size);
    fwrite(text.data(), 1, text.size(), fp);
    fseek(fp, 1, SEEK_SET);
    if (!text.empty())
        ungetc(static_cast<unsigned char>(text[0]), fp);
    return fp;
}

/* Parse results (the callback's own values stay numbers) and handle states. */
const std::pair<int, const char *> kParseResults[] = {
    NAMED(QRX_SYNTAX),           NAMED(QRX_TOO_DEEP),          NAMED(QRX_UNCLOSED),
    NAMED(QRX_LONG_ELEMENT_NAME), NAMED(QRX_LONG_ATTRIBUTE_NAME), NAMED(QRX_LONG_ATTRIBUTE_VALUE),
    NAMED(QRX_LONG_TEXT),        NAMED(QRX_UNFINISHED),        NAMED(QRX_BAD_DEPTH)};
const std::pair<int, const char *> kStates[] = {NAMED(QRX_STATE_FRESH), NAMED(QRX_STATE_PARSING),
                                                NAMED(QRX_STATE_DONE), NAMED(QRX_STATE_FAILED)};

/* Result, state, deepest, events, what the stream has left, open names left, traces. */
std::string parsed(qrx_Parser *h, const std::string &text, size_t size, size_t ahead)
{
    std::vector<char> area;
    Log log{streamOf(text, area, size), ahead, "", ""};
    clearTraces();
    const int r = qrx_parse(h, log.fp, record, &log);
    char rest[64];
    const std::string left(rest, fread(rest, 1, sizeof rest, log.fp));
    fclose(log.fp);
    std::string s = nameOf(r, kParseResults) + " " + nameOf(h->state, kStates) + " deepest=" + std::to_string(h->deepest) +
                    " " + log.events + "\n" + (left.empty() ? "" : "left: " + left + "\n") +
                    (log.eaten.empty() ? "" : "ate: " + log.eaten + "\n");
    for (int d = 0; d <= h->maxDepth; ++d)
        s += h->openNames[d] ? "!" : "";
    for (const TraceCall &t : traceCalls())
        s += t.message;
    return s;
}

TEST(Parser, HandleInitAndDeinit)
{
    qrx_Parser *p = nullptr;
    EXPECT_EQ(qrx_init(&p, 0), QRX_BAD_LIMIT);
    EXPECT_EQ(qrx_init(&p, 1), 0); /* the top element alone */
    EXPECT_EQ(qrx_deinit(&p), 0);
    ASSERT_EQ(qrx_init(&p, 4), 0);
    qrx_Parser *keep = p;
    EXPECT_EQ(p->state, QRX_STATE_FRESH);
    EXPECT_EQ(p->maxDepth, 4);
    EXPECT_EQ(p->depth, -1); /* no element open */
    EXPECT_EQ(qrx_init(&p, 4), QRX_BAD_HANDLE);
    EXPECT_EQ(p, keep);
    EXPECT_EQ(qrx_deinit(&p), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(qrx_deinit(&p), QRX_BAD_HANDLE);
    EXPECT_EQ(qrx_deinit(nullptr), QRX_BAD_HANDLE);
    EXPECT_EQ(qrx_init(nullptr, 4), QRX_BAD_HANDLE);
    for (int n : {(1 << 20) + 1, 0x3FFFFFFF, 0x7FFFFFFF}) /* the slot array would wrap on 32 bits */
        EXPECT_EQ(qrx_init(&p, n), QRX_BAD_LIMIT) << n;
    EXPECT_EQ(qrx_init(&p, 1 << 20), 0);
    EXPECT_EQ(qrx_deinit(&p), 0);
}

/* Each case of a data file: "<<<", a document, "\n>>> " and what give() makes of it. */
template <class Give> void forEachCase(const std::string &name, Give give)
{
    const std::string cases = testData(name);
    for (size_t at = 0, next; at < cases.size(); at = next) {
        const size_t end = cases.find("\n>>> ", at);
        next = std::min(cases.find("\n<<<\n", end), cases.size() - 1) + 1;
        const std::string xml = cases.substr(at + 4, end - at - 4);
        EXPECT_EQ("<<<\n" + xml + "\n>>> " + give(xml), cases.substr(at, next - at));
    }
}

/* One handle parses every case, through windows that cut words at every offset. */
TEST(Parser, EventsResultsTracesAndLines)
{
    Handle h(11);
    const size_t passes[][2] = {{0, 0}, {1, 20}, {7, 1}, {13, 20}}; /* buffer size, characters peeked */
    for (const auto &pass : passes) {
        SCOPED_TRACE(pass[0]);
        forEachCase("xml_parse.txt",
                    [&](const std::string &xml) { return parsed(h.p, xml, pass[0], pass[1]); });
    }
    const TraceCall &t = traceCalls().at(0);
    EXPECT_EQ(t.format, "error line %d: c='%c'\n");
    EXPECT_EQ(t.function, "qrx_parseXML");
    EXPECT_EQ(t.file, "../xmlparser/qrxparser.cpp");
    EXPECT_EQ(t.level, 2); /* a failure */
    std::string big; /* lines counted a window at a time would overflow a narrow counter */
    for (int i = 0; i < 2000; ++i)
        big += "<e k='v\nw'>\n\ttext\r\n</e>\n";
    for (size_t size : {size_t(BUFSIZ), size_t(1) << 16}) {
        const std::string out = parsed(h.p, big + "  x", size, 20);
        EXPECT_EQ(out.substr(out.size() - 24), "\nerror line 8001: c='x'\n");
        EXPECT_EQ(parsed(h.p, std::string(70000, '\n') + "x", size, 0),
                  "QRX_SYNTAX QRX_STATE_FAILED deepest=0 \nerror line 70001: c='x'\n");
    }
}

TEST(Builder, BuildsPrintsReadsBackAndTracesFaults)
{
    forEachCase("xml_build.txt", [](const std::string &xml) {
        Handle h, again;
        int r = buildFrom(h.p, xml), count = 0;
        const std::string out = printed(h.p, &count);
        EXPECT_EQ(count, static_cast<int>(out.size()));
        if (r == 0) {
            EXPECT_EQ(buildFrom(again.p, out), 0);
            EXPECT_EQ(printed(again.p), out);
        }
        return nameOf(r, kParseResults) + " " + h->last->name + " " + dump(h->root, true) + "\n" + out;
    });
    EXPECT_EQ(qrx_BuildDOMTree(nullptr, nullptr), QRX_BAD_HANDLE);
    EXPECT_EQ(qrx_RemoveDOMTree(nullptr), QRX_BAD_HANDLE);
    EXPECT_EQ(qrx_PrintDOMTree(nullptr, stdout), QRX_BAD_HANDLE);
    Handle h;
    int r = 0;
    EXPECT_EQ(printed(h.p, &r), "");
    EXPECT_EQ(r, QRX_NO_TREE);
    ASSERT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    EXPECT_EQ(dump(h->root, true), "__ROOT__#-1");
    EXPECT_EQ(h->last, h->root);
    EXPECT_EQ(printed(h.p, &r), doc({}));
    EXPECT_EQ(r, 40);
    clearTraces();
    h->depth = 3; /* does not fit the cursor at -1: stop, not end the process */
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_START, "x", nullptr, nullptr, nullptr), QRX_BAD_DEPTH);
    EXPECT_EQ(traceCalls().at(0).message, "pNewEl->index=3, hp->last->index=-1\n");
    EXPECT_EQ(traceCalls().at(0).function, "qrx_buildtree_sax_callback");
    EXPECT_EQ(h->root->children, nullptr);
    h->last = qrx_AddElement("a", nullptr, h->root);
    h->depth = 0; /* equal depth: a sibling of the cursor */
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_START, "b", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dump(h->root, true), "__ROOT__#-1(a#0,b#0)");
    h->last = h->root;
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, 7, "x", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(countTraces("mode = 7\n", 2), 1);
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_END, "x", nullptr, nullptr, nullptr), 0);
    for (int mode : {QRX_START, QRX_TEXT}) /* no cursor left */
        EXPECT_EQ(qrx_buildtree_sax_callback(h.p, mode, "x", nullptr, "t", nullptr), QRX_BAD_DEPTH);
    EXPECT_EQ(countTraces("hp->last == NULL\n", 2), 3);
    EXPECT_EQ(qrx_RemoveDOMTree(h.p), 0);
    EXPECT_EQ(h->root, nullptr);
    EXPECT_EQ(qrx_RemoveDOMTree(h.p), 0);
}

/* Flushed before the sync; only regular files opened to all, and only by
   the job file printer; a pipe's fsync is no error. */
TEST(Writer, StreamsFilesAndErrors)
{
    TempDir d;
    const std::string file = d.file("job.xml"), fifo = d.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Handle h;
    buildFrom(h.p, "<job/>");
    auto print = [&](const std::string &path, const char *mode, int (*printer)(qrx_Parser *, FILE *)) {
        FILE *fp = fopen(path.c_str(), mode);
        const int r = printer(h.p, fp);
        struct stat st {};
        stat(path.c_str(), &st);
        char s[64];
        snprintf(s, sizeof s, "mode %o, %lld bytes", st.st_mode & 0777, static_cast<long long>(st.st_size));
        fclose(fp);
        return (r == QRX_STREAM_ERROR ? "QRX_STREAM_ERROR" : std::to_string(r)) + ", " + s;
    };
    const mode_t old = umask(022);
    writeFile(file, "old");
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(print(file, "w", qrx_WriteDOMTree), "48, mode 600, 48 bytes");
    const std::string written = readFile(file);
    EXPECT_EQ(print(file, "w", qrx_PrintDOMTree), "48, mode 666, 48 bytes");
    EXPECT_EQ(readFile(file), written);
    EXPECT_EQ(print(file, "r", qrx_PrintDOMTree), "QRX_STREAM_ERROR, mode 666, 48 bytes");
    EXPECT_EQ(print(fifo, "r+", qrx_PrintDOMTree), "48, mode 600, 0 bytes");
    FILE *full = fopen("/dev/full", "w");
    EXPECT_EQ(qrx_WriteDOMTree(h.p, full), QRX_STREAM_ERROR);
    fclose(full);
    umask(old);
    EXPECT_EQ(written, doc({"<job/>"}));
}

/* tests/data/xml_readback.txt: texts (in it "N*c" is N times c, then the
   rest; \t \r \n as in C) and where each reads back. */
std::vector<std::pair<std::string, std::string>> edgeTexts()
{
    std::vector<std::pair<std::string, std::string>> rows;
    std::istringstream table(testData("xml_readback.txt"));
    for (std::string line; std::getline(table, line);) {
        const size_t star = line.find('*'), bar = line.rfind(" | ");
        std::string s = line.substr(0, bar);
        if (line[0] == '#')
            continue;
        if (star < bar && isdigit(static_cast<unsigned char>(s[0])))
            s = std::string(std::stoul(s), s[star + 1]) + s.substr(star + 2);
        for (const char *escape : {"\\t\t", "\\r\r", "\\n\n"})
            for (size_t at; (at = s.find(std::string(escape, 2))) != std::string::npos;)
                s.replace(at, 2, 1, escape[2]);
        rows.emplace_back(s, line.substr(bar + 3));
    }
    return rows;
}

/* Whether the handle's tree, printed, reads back as itself. */
bool printsBack(qrx_Parser *p)
{
    Handle back;
    return buildFrom(back.p, printed(p)) == 0 && dump(back->root, true) == dump(p->root, true);
}

/* Each edge text as an element name, attribute name, attribute value, and
   as a text in the writer's four layouts (attributes or not, children or
   not), one level down so that tabs stand before it; last as the root's
   own text, which is never printed. */
TEST(Writer, TextsAtTheLimitsReadBackAsTheRulesSay)
{
    for (const auto &[t, flags] : edgeTexts()) {
        for (int role = 0; role < 8; ++role) {
            Handle h;
            qrx_BuildDOMTree(h.p, nullptr);
            qrx_Element *e =
                qrx_AddElement(role ? "e" : t.c_str(), nullptr, qrx_AddElement("top", nullptr, h->root));
            if (role == 1 || role == 2)
                qrx_AddAttribute(role == 1 ? t.c_str() : "k", role == 2 ? t.c_str() : "v", e);
            if (role >= 3 && qrx_SetElementValue(t.c_str(), e) && role % 2)
                qrx_AddAttribute("k", "v", e);
            if (role >= 5)
                qrx_AddElement("c", nullptr, e);
            if (role == 7)
                qrx_SetElementValue(t.c_str(), h->root);
            const bool expected = role < 7 && flags[std::min(role, 3)] == '1';
            EXPECT_EQ(tandel::treeReadsBack(h->root, 4), expected) << t.substr(0, 20) << " in role " << role;
            EXPECT_EQ(printsBack(h.p), expected) << t.substr(0, 20) << " in role " << role;
        }
    }
}

/* Random trees (fixed seeds) of clean texts, edge texts and hostile bytes:
   each reads back exactly when the rules say it does. */
TEST(Writer, RandomTreesReadBackExactlyWhenTheRulesHold)
{
    const auto edges = edgeTexts();
    int readable = 0;
    for (unsigned seed = 0; seed < 400; ++seed) {
        std::mt19937 rng(seed);
        /* mostly plain words; up to 1 in 8 an edge text or hostile bytes */
        auto pick = [&]() {
            static const char kBytes[] = "ab-_:.\"'<>=/!? \t\r\n&\xC3\xA9";
            const bool plain = rng() % 16 >= seed % 3;
            if (!plain && rng() % 2)
                return edges[rng() % edges.size()].first;
            std::string s(plain ? 1 + rng() % 12 : rng() % 12, ' ');
            for (char &c : s)
                c = plain ? char('a' + rng() % 26) : kBytes[rng() % (sizeof kBytes - 1)];
            return s;
        };
        std::function<void(qrx_Element *)> grow = [&](qrx_Element *el) {
            for (unsigned n = el->index >= 0 ? rng() % 3 : 0; n > 0;
                 --n) {                          /* the root's own are not printed */
                const std::string name = pick(); /* picked in this order on every platform */
                qrx_AddAttribute(name.c_str(), pick().c_str(), el);
            }
            if (el->index >= 0 && rng() % 2)
                qrx_SetElementValue(pick().c_str(), el);
            for (unsigned n = el->index < 5 ? rng() % 3 : 0; n > 0; --n) /* one level too deep at times */
                grow(qrx_AddElement(pick().c_str(), nullptr, el));
        };
        Handle h;
        qrx_BuildDOMTree(h.p, nullptr);
        grow(h->root);
        const bool rules = tandel::treeReadsBack(h->root, 4);
        readable += rules;
        EXPECT_EQ(printsBack(h.p), rules) << "seed " << seed;
    }
    EXPECT_EQ(readable, 241);
}

/* A walk that recursed once per level would overflow a 64 KiB stack. */
TEST(Writer, DeepTreesArePrintedAndFreedWithoutRecursion)
{
    /* 25 MB of tabs: in files, not memory, so that it fits a small controller */
    struct Files {
        FILE *deep = tmpfile(), *out = tmpfile();
        int built = -99;
    } f;
    fputs(doc({}).c_str(), f.deep);
    for (int i = 0; i < 4999; ++i)
        fprintf(f.deep, "%s<e>\r\n", std::string(i, '\t').c_str());
    fprintf(f.deep, "%s<e/>\r\n", std::string(4999, '\t').c_str());
    for (int i = 4998; i >= 0; --i)
        fprintf(f.deep, "%s</e>\r\n", std::string(i, '\t').c_str());
    rewind(f.deep);
    auto run = [](void *files) -> void * {
        Files &f = *static_cast<Files *>(files);
        Handle h(5000);
        f.built = qrx_BuildDOMTree(h.p, f.deep);
        qrx_PrintDOMTree(h.p, f.out);
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_t t;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    ASSERT_EQ(pthread_create(&t, &attr, run, &f), 0);
    pthread_join(t, nullptr);
    EXPECT_EQ(f.built, 0);
    rewind(f.deep);
    rewind(f.out);
    char want[65536], got[sizeof want];
    size_t n, same = 0;
    while ((n = fread(want, 1, sizeof want, f.deep)) > 0 && fread(got, 1, n, f.out) == n && !memcmp(want, got, n))
        same += n;
    EXPECT_EQ(same, static_cast<size_t>(ftell(f.deep))); /* no diff printed */
    EXPECT_EQ(fgetc(f.out), EOF);
    fclose(f.deep);
    fclose(f.out);
}

/* A handle that holds a tree keeps it: a new root would leak it. */
TEST(Builder, RefusesAHandleHoldingATree)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p, "<job a=\"1\"/>"), 0);
    qrx_Element *root = h->root;
    clearTraces();
    EXPECT_EQ(buildFrom(h.p, "<other/>"), QRX_TREE_HELD);
    EXPECT_EQ(qrx_BuildDOMTree(h.p, nullptr), QRX_TREE_HELD);
    EXPECT_EQ(countTraces("the handle holds a tree\n", 2), 2);
    EXPECT_EQ(h->root, root);
    EXPECT_EQ(dump(h->root), "__ROOT__(job[a=1])");
    ASSERT_EQ(qrx_RemoveDOMTree(h.p), 0);
    EXPECT_EQ(buildFrom(h.p, "<other/>"), 0);
    EXPECT_EQ(dump(h->root), "__ROOT__(other)");
}

} // namespace

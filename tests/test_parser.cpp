/* Streaming parser: events, accepted syntax, limits and result codes. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace_recorder.h"
#include "xml_helpers.h"

namespace {

struct Events {
    std::vector<std::string> log;
    int stopMode = -1; /* mode at which to return stopResult */
    int stopResult = 0;
    std::vector<int> depths;
};

int record(qrx_Parser *h, int mode, const char *el, const char *attr, const char *value, void *ud)
{
    auto *ev = static_cast<Events *>(ud);
    std::string s = std::to_string(mode) + ":" + (el ? el : "(null)");
    if (attr)
        s += " " + std::string(attr);
    if (value)
        s += "=[" + std::string(value) + "]";
    ev->log.push_back(s);
    ev->depths.push_back(h->depth);
    return mode == ev->stopMode ? ev->stopResult : 0;
}

struct Parse {
    Handle h;
    Events ev;
    int result = 0;
    explicit Parse(const std::string &xml, int maxDepth = 4, int stopMode = -1, int stopResult = 0) : h(maxDepth)
    {
        ev.stopMode = stopMode;
        ev.stopResult = stopResult;
        clearTraces();
        MemStream ms(xml);
        result = qrx_parse(h.p, ms.fp, record, &ev);
    }
};

using Log = std::vector<std::string>;

TEST(ParserHandle, InitAndDeinit)
{
    qrx_Parser *p = nullptr;
    EXPECT_EQ(qrx_init(&p, 0), -2);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(qrx_init(&p, 4), 0);
    EXPECT_EQ(p->state, 1);
    EXPECT_EQ(p->maxDepth, 4);
    EXPECT_EQ(p->depth, 0);
    EXPECT_EQ(p->root, nullptr);
    qrx_Parser *keep = p;
    EXPECT_EQ(qrx_init(&p, 4), -1);
    EXPECT_EQ(p, keep);
    EXPECT_EQ(qrx_deinit(&p), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(qrx_deinit(&p), -1);
}

TEST(ParserEvents, WrittenEmptyDocument)
{
    Parse p("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<job/>\r\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.ev.log, (Log{"0:job", "3:job"}));
    EXPECT_EQ(p.h->deepest, 0);
    EXPECT_EQ(p.h->depth, -1);
    EXPECT_EQ(p.h->state, 3);
}

TEST(ParserEvents, AttributesTextAndDepths)
{
    Parse p("<job id=\"7\" type = '2'>\n\t<sample  n=\"a 'b'\nc\">  one two \t</sample>\n"
            "\t<x\tq='say \"hi\"'/>\n</ job >");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.ev.log, (Log{"0:job", "2:job id=[7]", "2:job type=[2]", "0:sample", "2:sample n=[a 'b'\nc]",
                             "1:sample=[one two]", "3:sample", "0:x", "2:x q=[say \"hi\"]", "3:x", "3:job"}));
    EXPECT_EQ(p.ev.depths, (std::vector<int>{0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(p.h->deepest, 1);
}

TEST(ParserEvents, CommentsAndInstructionsAreSkipped)
{
    Parse p("<!-- head --><a><!- - spaced - - ><b/><!-- x -->after</a>");
    EXPECT_EQ(p.result, 0);
    /* text after a comment takes the latest start tag's name */
    EXPECT_EQ(p.ev.log, (Log{"0:a", "0:b", "3:b", "1:b=[after]", "3:a"}));

    Parse q("<!-- c -->lead<a/>");
    EXPECT_EQ(q.ev.log, (Log{"1:=[lead]", "0:a", "3:a"}));
    EXPECT_EQ(q.result, 0);

    Parse r("<?pi a ? b?><a/>");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.ev.log, (Log{"0:a", "3:a"}));
}

TEST(ParserEvents, QuirksKeptAsDefined)
{
    /* nameless tag, unquoted attribute, unchecked end tag name, no unescaping */
    Parse p("<>lead<a k=v m=\"1\">x &amp; y</b>");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.ev.log, (Log{"1:=[lead]", "0:a", "2:a m=[1]", "1:a=[x &amp; y]", "3:a"}));

    Parse two("<a/><b/>");
    EXPECT_EQ(two.ev.log, (Log{"0:a", "3:a", "0:b", "3:b"}));

    /* "??" inside an instruction ends it; the '?' starts a name */
    Parse pi("<?" "?>");
    EXPECT_EQ(pi.ev.log, (Log{"0:?"}));
    EXPECT_EQ(pi.result, -13);

    /* a trailing comment leaves the reader at end of input inside text */
    Parse tail("<a/><!---->");
    EXPECT_EQ(tail.result, -13);
}

TEST(ParserErrors, SyntaxErrorsTraceLineAndCharacter)
{
    struct Case {
        const char *xml;
        const char *message;
        Log events;
    } cases[] = {
        {"", "error line 1: c='\xff'\n", {}},
        {" \r\n ", "error line 2: c='\xff'\n", {}},
        {"<!DOCTYPE job>", "error line 1: c='D'\n", {}},
        {"<a>\n<my-el/>", "error line 2: c='-'\n", {"0:a", "0:my"}},
        {"<a/>text", "error line 1: c='t'\n", {"0:a", "3:a"}},
        {"</a>", "error line 1: c='\xff'\n", {}},
        {"<a/></a>", "error line 1: c='\xff'\n", {"0:a", "3:a"}},
        {"<a k='1\n\n'/>\n x", "error line 4: c='x'\n", {"0:a", "2:a k=[1\n\n]", "3:a"}},
    };
    for (const Case &c : cases) {
        Parse p(c.xml);
        SCOPED_TRACE(c.xml);
        EXPECT_EQ(p.result, -2);
        ASSERT_EQ(traceCalls().size(), 1u);
        const TraceCall &t = traceCalls()[0];
        EXPECT_EQ(t.message, c.message);
        EXPECT_EQ(t.function, "qrx_parseXML");
        EXPECT_EQ(t.file, "../xmlparser/qrxparser.cpp");
        EXPECT_EQ(t.level, 2);
        EXPECT_EQ(t.format, "error line %d: c='%c'\n");
        EXPECT_EQ(p.ev.log, c.events);
        EXPECT_EQ(p.h->state, -1);
    }
}

TEST(ParserErrors, EndOfInputResults)
{
    EXPECT_EQ(Parse("<a><b/>").result, -9);
    EXPECT_EQ(Parse("<a>").result, -13);
    EXPECT_EQ(Parse("<a").result, -10);
    EXPECT_EQ(Parse("<a b").result, -11);
    EXPECT_EQ(Parse("<a b='x").result, -12);
    /* the unbounded loops stop with -14 */
    EXPECT_EQ(Parse("<!-- never closed").result, -14);
    EXPECT_EQ(Parse("<? never closed").result, -14);
    EXPECT_EQ(Parse("<a></a").result, -14);
    EXPECT_EQ(Parse("<a></").result, -14);
}

TEST(ParserLimits, DepthAndLengths)
{
    Parse ok("<a><b><c><d><e/></d></c></b></a>");
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(ok.h->deepest, 4);
    Parse deep("<a><b><c><d><e><f/></e></d></c></b></a>");
    EXPECT_EQ(deep.result, -8);
    EXPECT_EQ(deep.ev.log.size(), 5u);
    EXPECT_EQ(deep.h->state, -1);

    std::string n125(125, 'n'), n126(126, 'n');
    EXPECT_EQ(Parse("<" + n125 + "/>").result, 0);
    EXPECT_EQ(Parse("<" + n126 + "/>").result, -10);
    EXPECT_EQ(Parse("<a " + n125 + "='1'/>").result, 0);
    EXPECT_EQ(Parse("<a " + n126 + "='1'/>").result, -11);

    std::string v8189(8189, 'v'), v8190(8190, 'v');
    Parse value("<a k='" + v8189 + "'/>");
    EXPECT_EQ(value.result, 0);
    EXPECT_EQ(value.ev.log[1].size(), std::string("2:a k=[]").size() + 8189);
    EXPECT_EQ(Parse("<a k='" + v8190 + "'/>").result, -12);
    EXPECT_EQ(Parse("<a>" + v8189 + "</a>").result, 0);
    EXPECT_EQ(Parse("<a>" + v8190 + "</a>").result, -13);
}

TEST(ParserCallback, ResultSteersTheParse)
{
    Parse stop("<a><b/></a>", 4, 0, 1);
    EXPECT_EQ(stop.result, 1);
    EXPECT_EQ(stop.h->state, 3);
    EXPECT_EQ(stop.ev.log.size(), 1u);

    Parse fail("<a><b/></a>", 4, 3, -5);
    EXPECT_EQ(fail.result, -5);
    EXPECT_EQ(fail.h->state, -1);
    EXPECT_EQ(fail.ev.log, (Log{"0:a", "0:b", "3:b"}));
    for (int d = 0; d <= fail.h->maxDepth; ++d)
        EXPECT_EQ(fail.h->openNames[d], nullptr);

    Parse on("<a><b/></a>", 4, 0, 2);
    EXPECT_EQ(on.result, 0);
    EXPECT_EQ(on.ev.log.size(), 4u);
}

TEST(ParserHandle, ReusedAcrossParses)
{
    Handle h;
    Events ev;
    MemStream bad("<a><b>");
    EXPECT_EQ(qrx_parse(h.p, bad.fp, record, &ev), -13);
    MemStream good("<c/>");
    ev.log.clear();
    EXPECT_EQ(qrx_parse(h.p, good.fp, record, &ev), 0);
    EXPECT_EQ(ev.log, (Log{"0:c", "3:c"}));
    EXPECT_EQ(h->deepest, 0);
}

} // namespace

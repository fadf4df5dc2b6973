/* Tree building from streams and freeing the handle's tree. */
#include <gtest/gtest.h>

#include <string>

#include "trace_recorder.h"
#include "xml_helpers.h"
#include "xmlparser/qrxparser_internal.h"

namespace {

/* Compact dump: name[attrs]{value}(children) */
std::string dump(const qrx_Element *el)
{
    std::string s = el->name;
    std::string ix = std::to_string(el->index);
    s += "#" + ix;
    for (const qrx_Attribute *a = el->attributes; a; a = a->next)
        s += std::string(a->element == el ? "[" : "[!") + a->name + "=" + a->value + "]";
    if (el->value)
        s += "{" + std::string(el->value) + "}";
    if (el->children) {
        s += "(";
        for (const qrx_Element *c = el->children; c; c = c->next)
            s += dump(c) + (c->parent == el ? (c->next ? "," : "") : "!");
        s += ")";
    }
    return s;
}

TEST(Builder, NullArguments)
{
    EXPECT_EQ(qrx_BuildDOMTree(nullptr, nullptr), -1);
    EXPECT_EQ(qrx_RemoveDOMTree(nullptr), -1);
    Handle h;
    EXPECT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    ASSERT_NE(h->root, nullptr);
    EXPECT_EQ(h->last, h->root);
    EXPECT_EQ(dump(h->root), "__ROOT__#-1");
    EXPECT_EQ(h->root->parent, nullptr);
}

TEST(Builder, WholeDocument)
{
    Handle h;
    int r = buildFrom(h.p,
                      "<?xml version=\"1.0\"?>\n<job id='1' id=\"2\" k=''>\n  text here  \n"
                      "\t<sample number=\"1\"><prcMeas index=\"1\" value=\"5\"/><labMeas/></sample>\n"
                      "\t<sample number=\"2\"> v </sample>\n</job>\n<second/>\n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(dump(h->root), "__ROOT__#-1(job#0[id=1][id=2][k=]{text here}("
                             "sample#1[number=1](prcMeas#2[index=1][value=5],labMeas#2),"
                             "sample#1[number=2]{v}),second#0)");
    EXPECT_EQ(h->last, h->root);
}

TEST(Builder, LaterTextReplacesEarlier)
{
    Handle h;
    EXPECT_EQ(buildFrom(h.p, "<a>one<!-- c -->two</a>"), 0);
    EXPECT_EQ(dump(h->root), "__ROOT__#-1(a#0{two})");
}

TEST(Builder, FailedParseKeepsPartialTree)
{
    Handle h;
    EXPECT_EQ(buildFrom(h.p, "<job a='1'><s><t/><u x='2'>"), -13);
    EXPECT_EQ(dump(h->root), "__ROOT__#-1(job#0[a=1](s#1(t#2,u#2[x=2])))");
    EXPECT_STREQ(h->last->name, "u");
    EXPECT_EQ(qrx_RemoveDOMTree(h.p), 0);
    EXPECT_EQ(h->root, nullptr);
    EXPECT_EQ(qrx_RemoveDOMTree(h.p), 0);
}

TEST(Builder, ManySiblingsStayInOrder)
{
    /* exercises the per-depth tail under changing parents */
    std::string xml = "<job>";
    std::string expect = "__ROOT__#-1(job#0(";
    for (int i = 0; i < 300; ++i) {
        std::string n = std::to_string(i);
        xml += "<s n='" + n + "'><m i='a'/><m i='b'/></s>";
        expect += (i ? "," : "") + std::string("s#1[n=") + n + "](m#2[i=a],m#2[i=b])";
    }
    xml += "</job>";
    expect += "))";
    Handle h;
    EXPECT_EQ(buildFrom(h.p, xml), 0);
    EXPECT_EQ(dump(h->root), expect);
}

TEST(BuilderCallback, DepthMismatchIsTracedAndStops)
{
    Handle h;
    ASSERT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    clearTraces();
    h->depth = 3; /* a depth that does not fit the cursor at -1 */
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_START, "x", nullptr, nullptr, nullptr), -15);
    ASSERT_EQ(traceCalls().size(), 1u);
    EXPECT_EQ(traceCalls()[0].message, "pNewEl->index=3, hp->last->index=-1\n");
    EXPECT_EQ(traceCalls()[0].function, "qrx_buildtree_sax_callback");
    EXPECT_EQ(h->root->children, nullptr);

    /* equal depth: appended to the cursor's sibling chain */
    qrx_Element *a = qrx_AddElement("a", nullptr, h->root);
    h->last = a;
    h->depth = 0;
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_START, "b", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dump(h->root), "__ROOT__#-1(a#0,b#0)");
}

TEST(BuilderCallback, UnknownModeAndLostCursor)
{
    Handle h;
    ASSERT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    clearTraces();
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, 7, "x", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(countTraces("mode = 7\n", 2), 1);
    /* an end event at the root leaves no cursor */
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_END, "x", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(countTraces("hp->last == NULL\n", 2), 1);
    EXPECT_EQ(qrx_buildtree_sax_callback(h.p, QRX_TEXT, "x", nullptr, "t", nullptr), -15);
    EXPECT_EQ(countTraces("hp->last == NULL\n", 2), 2);
}

} // namespace

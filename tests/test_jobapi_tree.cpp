/* Tree queries and copying of the job handler: findElement,
   findAttribute, clearAttributes, copyAttributes, copyElement. */
#include "testkit.h"

namespace {

std::string names(const qrx_Element *parent)
{
    std::string s;
    for (const qrx_Element *c = parent->children; c; c = c->next)
        s += std::string(s.empty() ? "" : ",") + c->name;
    return s;
}

std::string attrs(const qrx_Element *el)
{
    std::string s;
    for (const qrx_Attribute *a = el->attributes; a; a = a->next)
        s += std::string(s.empty() ? "" : " ") + a->name + "=" + a->value;
    return s;
}

TEST(JobTree, FindElementSearchesDepthFirstWithBacktracking)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p, "<job a=\"1\"><sample number=\"0\"/><sample number=\"1\"/></job>"
                             "<job><sample number=\"2\" k=\"x\"/><sample number=\"2\" k=\"y\"/></job>"),
              0);
    qrx_Element *root = h->root;
    qrx_Element *s2 = findElement(root, jobref_sample, "number", "2");
    ASSERT_NE(s2, nullptr);
    EXPECT_STREQ(qrx_GetAttribute("k", nullptr, s2, nullptr), "x"); /* second job, first match */
    EXPECT_STREQ(
        qrx_GetAttribute("number", nullptr, findElement(root, jobref_sample, "number", "1"), nullptr), "1");
    EXPECT_EQ(findElement(root, jobref_sample, "number", "3"), nullptr);
    EXPECT_EQ(findElement(root, jobref_sample, "none", nullptr), nullptr);
    /* no attribute name: the first element on the path, whatever the value says */
    EXPECT_EQ(findElement(root, jobref_job, nullptr, "zzz"), root->children);
    /* an attribute name without value filters by presence only */
    EXPECT_EQ(findElement(root, jobref_sample, "k", nullptr), s2);
    /* never matched against the start element itself */
    EXPECT_EQ(findElement(root->children, jobref_job, nullptr, nullptr), nullptr);
    EXPECT_EQ(findElement(nullptr, jobref_job, nullptr, nullptr), nullptr);
}

TEST(JobTree, FindElementWithEmptyPathTestsTheStart)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p, "<lab_measurement index=\"1\" index=\"2\"/>"), 0);
    static const char *const none[] = {nullptr};
    qrx_Element *lab = h->root->children;
    EXPECT_EQ(findElement(lab, none, nullptr, nullptr), lab);
    EXPECT_EQ(findElement(lab, nullptr, "index", "2"), lab); /* later attribute of the same name */
    EXPECT_EQ(findElement(lab, none, "index", "3"), nullptr);
    EXPECT_EQ(findElement(h->root, jobref_labMeas, "index", "2"), lab);
}

TEST(JobTree, FindAndClearAttributes)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p, "<e a=\"1\" b=\"2\" a=\"3\"/>"), 0);
    qrx_Element *e = h->root->children;
    qrx_Attribute *a = findAttribute(e, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->value, "1");
    EXPECT_EQ(findAttribute(e, "c"), nullptr);
    EXPECT_EQ(findAttribute(nullptr, "a"), nullptr);
    EXPECT_EQ(clearAttributes(e), 0);
    EXPECT_EQ(e->attributes, nullptr);
    EXPECT_EQ(clearAttributes(nullptr), -1);
}

TEST(JobTree, CopyAttributesOverwritesAndAppends)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p, "<r><s a=\"1\" b=\"2\"/><t b=\"0\" c=\"9\"/><u/></r>"), 0);
    qrx_Element *s = h->root->children->children, *t = s->next, *u = t->next;
    EXPECT_EQ(copyAttributes(s, t), 0);
    EXPECT_EQ(attrs(t), "b=2 c=9 a=1");
    EXPECT_EQ(copyAttributes(u, t), 0);
    EXPECT_EQ(attrs(t), "b=2 c=9 a=1");
    EXPECT_EQ(copyAttributes(nullptr, t), -1);
    EXPECT_EQ(copyAttributes(s, nullptr), -2);
}

TEST(JobTree, CopyElementFrontAndBack)
{
    Handle src, dst;
    ASSERT_EQ(buildFrom(src.p, "<job><user name=\"U\"> text <x/></user><sensor name=\"S\" id=\"1\"/>"
                               "<controller c=\"1\"/><instrument i=\"1\"/><sensor name=\"late\"/></job>"),
              0);
    ASSERT_EQ(buildFrom(dst.p, "<job><sample/><sensor name=\"old\" keep=\"k\"/></job>"), 0);
    qrx_Element *sj = src->root->children, *dj = dst->root->children;

    clearTraces();
    for (const char *n : {"instrument", "controller", "sensor", "user"})
        ASSERT_NE(copyElement(n, sj, dj, 1), nullptr) << n;
    EXPECT_EQ(names(dj), "user,sensor,controller,instrument,sample");
    qrx_Element *sensor = dj->children->next;
    EXPECT_EQ(attrs(sensor), "name=S keep=k id=1"); /* first source sensor only */
    qrx_Element *user = dj->children;
    EXPECT_EQ(user->value, nullptr); /* only attributes travel */
    EXPECT_EQ(user->children, nullptr);
    EXPECT_EQ(user->parent, dj);
    EXPECT_EQ(user->index, dj->index + 1);
    EXPECT_TRUE(traceCalls().empty());

    /* already first: order stays */
    EXPECT_EQ(copyElement("user", sj, dj, 1), user);
    EXPECT_EQ(names(dj), "user,sensor,controller,instrument,sample");
    /* without the front flag a new element goes last, an existing one stays */
    Handle d2;
    ASSERT_EQ(buildFrom(d2.p, "<job><a/><sensor/></job>"), 0);
    copyElement("user", sj, d2->root->children, 0);
    copyElement("sensor", sj, d2->root->children, 0);
    EXPECT_EQ(names(d2->root->children), "a,sensor,user");

    clearTraces();
    EXPECT_EQ(copyElement("missing", sj, dj, 1), nullptr);
    EXPECT_EQ(countTraces("NO ELEMENT \"missing\"\n", 6), 1);
    EXPECT_EQ(traceCalls()[0].function, "copyElement");
    EXPECT_EQ(traceCalls()[0].file, "../xmljobhandler/jobapi.cpp");
    EXPECT_EQ(names(dj), "user,sensor,controller,instrument,sample");
}

} // namespace

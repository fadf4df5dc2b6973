/* Tree queries and copies of the job handler: elements found by path and
   attribute, attributes and elements copied between trees. */
#include "testkit.h"

TEST(JobTree, FindElement)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p,
                        "<job><sample number=\"0\"/><sample number=\"1\" number=\"5\"/></job><job><sample "
                        "number=\"2\" k=\"x\"/><sample number=\"2\"/></job>"),
              0);
    qrx_Element *root = h->root, *job = root->children, *s1 = job->children->next, *s2 = job->next->children;
    EXPECT_EQ(findElement(root, jobref_sample, "number", "2"), s2);     /* second job, first match */
    EXPECT_EQ(findElement(root, jobref_job, nullptr, "zzz"), job);      /* no attribute name: any element */
    EXPECT_EQ(findElement(root, jobref_sample, "k", nullptr), s2);      /* no value: presence only */
    EXPECT_EQ(findElement(job, jobref_job, nullptr, nullptr), nullptr); /* never the start itself */
    EXPECT_EQ(findElement(nullptr, jobref_job, nullptr, nullptr), nullptr);
    EXPECT_EQ(findElement(s1, nullptr, "number", "5"), s1); /* a later attribute of the name */
}

TEST(JobTree, AttributeAndElementCopies)
{
    Handle h, src;
    ASSERT_EQ(buildFrom(h.p, R"(<job><sample/><sensor name="old" keep="k"/><t a="1" b="2" a="3"/></job>)"),
              0);
    ASSERT_EQ(buildFrom(src.p, "<job><user name=\"U\"> text <x/></user><sensor name=\"S\" id=\"1\"/>"
                               "<instrument i=\"1\"/><sensor name=\"late\"/></job>"),
              0);
    qrx_Element *dj = h->root->children, *t = dj->children->next->next, *sj = src->root->children;
    EXPECT_STREQ(findAttribute(t, "a")->value, "1");
    EXPECT_EQ(findAttribute(nullptr, "a"), nullptr);
    EXPECT_EQ(copyAttributes(t, dj), 0);
    EXPECT_EQ(copyAttributes(nullptr, t), TREE_NULL_ARGUMENT);
    EXPECT_EQ(copyAttributes(t, nullptr), TREE_NULL_TARGET);
    EXPECT_EQ(clearAttributes(t), 0);
    EXPECT_EQ(clearAttributes(nullptr), TREE_NULL_ARGUMENT);
    for (const char *n : {"sensor", "user"})
        ASSERT_NE(copyElement(n, sj, dj, 1), nullptr) << n;
    for (const char *n : {"instrument", "sensor"})
        ASSERT_NE(copyElement(n, sj, dj, 0), nullptr) << n;
    EXPECT_EQ(dump(dj, true), "job#0[a=3][b=2](user#1[name=U],sensor#1[name=S][keep=k][id=1],sample#1,t#1,"
                              "instrument#1[i=1])");
    EXPECT_EQ(copyElement("missing", sj, dj, 1), nullptr);
    EXPECT_EQ(countTraces("NO ELEMENT \"missing\"\n", 6), 1);
}

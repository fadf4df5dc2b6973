/* XML writer: exact layout, character counts and reading back. */
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "xml_helpers.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

TEST(Writer, NullHandleAndMissingTree)
{
    Handle h;
    int r = 0;
    EXPECT_EQ(printed(h.p, &r), "");
    EXPECT_EQ(r, -2);
    EXPECT_EQ(qrx_PrintDOMTree(nullptr, stdout), -1);
}

TEST(Writer, EmptyDocumentAndSingleElement)
{
    Handle h;
    qrx_BuildDOMTree(h.p, nullptr);
    int r = 0;
    EXPECT_EQ(printed(h.p, &r), kDecl);
    EXPECT_EQ(r, 40);
    qrx_AddElement("job", nullptr, h->root);
    EXPECT_EQ(printed(h.p, &r), kDecl + "<job/>\r\n");
    EXPECT_EQ(r, 48);
}

TEST(Writer, AllEightShapes)
{
    Handle h;
    qrx_BuildDOMTree(h.p, nullptr);
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
    qrx_Element *vc = qrx_AddElement("vc", "4", top);
    qrx_AddElement("c", "", vc);
    int r = 0;
    std::string out = printed(h.p, &r);
    std::string body = "<top>\r\n"
                       "\t<e/>\r\n"
                       "\t<v> 1 </v>\r\n"
                       "\t<a k=\"a\"/>\r\n"
                       "\t<av k=\"\"> 2 </av>\r\n"
                       "\t<ac k=\"b\">\r\n\t\t<c/>\r\n\t</ac>\r\n"
                       "\t<avc k=\"c\" l=\"d\"> 3\r\n\t\t<c/>\r\n\t</avc>\r\n"
                       "\t<vc>\r\n 4\r\n\t\t<c>  </c>\r\n\t</vc>\r\n"
                       "</top>\r\n";
    EXPECT_EQ(out, kDecl + body);
    EXPECT_EQ(r, static_cast<int>(out.size()));
}

TEST(Writer, ReadsBackToTheSameTree)
{
    const std::string xml = "<job id=\"1\" note='say \"hi\"'> lead\r\n\t<s n=\"1\"> a b </s>\r\n"
                            "\t<s n=\"2\"><m/></s>\r\n</job>\r\n";
    Handle h;
    ASSERT_EQ(buildFrom(h.p, xml), 0);
    std::string once = printed(h.p);
    Handle again;
    ASSERT_EQ(buildFrom(again.p, once), 0);
    EXPECT_EQ(printed(again.p), once);
    /* a double quote without single quotes survives in single quotes */
    EXPECT_NE(once.find(" note='say \"hi\"'"), std::string::npos);
}

TEST(Writer, FileGetsSyncedAndOpenPermissions)
{
    char dir[] = "/tmp/qrxwriterXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/job.xml";
    mode_t old = umask(022);
    FILE *fp = fopen(path.c_str(), "w");
    umask(old);
    ASSERT_NE(fp, nullptr);
    Handle h;
    qrx_BuildDOMTree(h.p, nullptr);
    qrx_AddElement("job", nullptr, h->root);
    EXPECT_EQ(qrx_PrintDOMTree(h.p, fp), 48);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(st.st_size, 48); /* flushed before the sync */
    fclose(fp);
    unlink(path.c_str());
    rmdir(dir);
}

} // namespace

/* The text of each result code (tandel_errstr). */
#include "testkit.h"

/* Success, including every positive count or value; codes of each family;
   a parse result passed on by another family; values without a name. */
TEST(Results, TextsOfCodesCountsAndUnnamedValues)
{
    const struct {
        tandel_Family family;
        int code;
        const char *text;
    } cases[] = {{TANDEL_JOB_LIST, 3, "success"},
                 {TANDEL_MERGE, 0, "success"},
                 {TANDEL_TEXT, 24, "success"},
                 {TANDEL_XML_PARSE, 1, "stopped by the callback"},
                 {TANDEL_HTTP, 200, "server status"},
                 {TANDEL_HTTP, 0, "server status"},
                 {TANDEL_HTTP, HTTP_SHORT_ANSWER, "answer shorter than a status line"},
                 {TANDEL_XML_SETUP, QRX_BAD_HANDLE, "bad parser handle"}, /* a table's first entry */
                 {TANDEL_XML_PARSE, QRX_TREE_HELD, "the handle already holds a tree"},
                 {TANDEL_MERGE, QRX_TOO_DEEP, "elements nested too deep"},
                 {TANDEL_JOB_LIST, JOBLIST_LIST_HELD, "the list address already holds a list"},
                 {TANDEL_LAB_RESULT, LABRES_OTHER_JOB, "the request is of another job than the file"},
                 {TANDEL_MERGE, MERGE_OTHER_JOB, "the two files hold different jobs"},
                 {TANDEL_SJOB_DECODE, SJOB_NUL_TEXT, "a text field holds a NUL byte"},
                 {TANDEL_SJOB_ENCODE, SJOB_ENC_NUMBER_RANGE, "number outside 0 .. 65535"},
                 {TANDEL_TREE, -99, "unknown result"}};
    for (const auto &c : cases)
        EXPECT_STREQ(tandel_errstr(c.family, c.code), c.text) << c.family << " " << c.code;
}

/*
 * results.cpp - the fixed English text of every named result code.
 *
 * One table per family, in the header's order, so a code and its text
 * are read side by side. Families that pass on a parse result fall back
 * to the parse family's table.
 */
#include "TandelCntrl.h"

namespace {

struct Text {
    int code;
    const char *text;
};

const Text kXmlSetup[] = {
    {QRX_BAD_HANDLE, "bad parser handle"},
    {QRX_BAD_LIMIT, "depth limit outside 1 .. 1048576"},
    {QRX_NO_MEMORY, "out of memory"},
};

const Text kXmlParse[] = {
    {QRX_BAD_HANDLE, "null parser handle"},
    {QRX_SYNTAX, "XML syntax error"},
    {QRX_NO_MEMORY, "out of memory"},
    {QRX_TOO_DEEP, "elements nested too deep"},
    {QRX_UNCLOSED, "end of input with elements open"},
    {QRX_LONG_ELEMENT_NAME, "element name over 125 characters"},
    {QRX_LONG_ATTRIBUTE_NAME, "attribute name over 125 characters"},
    {QRX_LONG_ATTRIBUTE_VALUE, "attribute value over 8189 characters"},
    {QRX_LONG_TEXT, "element text over 8189 characters"},
    {QRX_UNFINISHED, "end of input inside a tag, comment or instruction"},
    {QRX_BAD_DEPTH, "start event at a depth the tree cannot take"},
    {QRX_TREE_HELD, "the handle already holds a tree"},
};

const Text kXmlPrint[] = {
    {QRX_BAD_HANDLE, "null parser handle"},
    {QRX_NO_TREE, "no document tree"},
    {QRX_STREAM_ERROR, "the output stream failed"},
};

const Text kTree[] = {
    {TREE_NULL_ARGUMENT, "null argument"},
    {TREE_NULL_TARGET, "null target element"},
    {TREE_NO_MEMORY, "out of memory"},
};

const Text kDecode[] = {
    {SJOB_NO_JOB, "no job container"},
    {SJOB_NO_JOB_ID, "no job_id"},
    {SJOB_MISSING_FIELD, "a required field is missing"},
    {SJOB_BAD_DATA_TYPE, "measured value of a data type other than 16"},
    {SJOB_COUNT_MISMATCH, "measurement count does not match"},
    {SJOB_BAD_SAMPLE, "too many samples, or a sample without date or count"},
    {SJOB_OUT_OF_ORDER, "a field out of order"},
    {SJOB_TRUNCATED, "message truncated"},
    {SJOB_BAD_LENGTH, "length header with more than 4 length bytes"},
    {SJOB_SHORT_FILE, "sensor job file shorter than 6 bytes"},
    {SJOB_FILE_ERROR, "sensor job file cannot be opened or read"},
    {SJOB_NO_MEMORY, "out of memory"},
    {SJOB_SETTING_ERROR, "job-edit setting file cannot be read"},
    {SJOB_NUL_TEXT, "a text field holds a NUL byte"},
    {SJOB_NULL_PARSER, "null parser handle"},
};

const Text kEncode[] = {
    {SJOB_ENC_BAD_ARGUMENT, "null argument"},
    {SJOB_ENC_EMPTY, "the document is empty"},
    {SJOB_ENC_NOT_A_JOB, "not a job document, or a required field is missing"},
    {SJOB_ENC_BAD_DATA_TYPE, "data_type other than 16"},
    {SJOB_ENC_NO_DATA_TYPE, "process measurement without data_type"},
    {SJOB_ENC_TOO_SMALL, "message does not fit the buffer"},
    {SJOB_ENC_NO_MEMORY, "out of memory"},
    {SJOB_ENC_TIME_RANGE, "time outside 1931-12-13 .. 2068-01-19"},
    {SJOB_ENC_NUMBER_RANGE, "number outside 0 .. 65535"},
};

const Text kWrite[] = {
    {SJOB_WRITE_FAILED, "sensor job file not written"},
};

const Text kText[] = {
    {TEXT_UNREADABLE, "text does not read"},
    {TEXT_TIME_RANGE, "time outside 1901-12-13 .. 2106-02-07"},
};

const Text kJobList[] = {
    {JOBLIST_NULL_LIST, "no list"},
    {JOBLIST_NO_DIRECTORY, "job directory cannot be opened"},
    {JOBLIST_READ_ERROR, "a job file or the directory could not be read"},
    {JOBLIST_LIST_HELD, "the list address already holds a list"},
    {JOBLIST_NO_MEMORY, "out of memory"},
};

const Text kRequests[] = {
    {REQLIST_NULL_HANDLE, "null parser handle"},
    {REQLIST_NULL_LIST, "null list address, or XML syntax error"},
    {REQLIST_LIST_HELD, "the list address already holds a list"},
    {REQLIST_NULL_JOBS, "null job list"},
    {REQLIST_BAD_INDEX, "job index outside the list"},
    {REQLIST_UNREADABLE, "job file cannot be read"},
    {REQLIST_NO_MEMORY, "out of memory"},
};

const Text kLabResult[] = {
    {LABRES_UNREADABLE, "job file cannot be read, or no such lab measurement"},
    {LABRES_NOT_FINITE, "lab value is not finite"},
    {LABRES_BAD_TEXT, "lab unit or method would not read back"},
    {LABRES_UNWRITABLE, "job file cannot be written"},
    {LABRES_NO_MEMORY, "out of memory"},
    {LABRES_OTHER_JOB, "the request is of another job than the file"},
};

const Text kMerge[] = {
    {MERGE_NEWS_UNREADABLE, "new job file cannot be read"},
    {MERGE_COPY_FAILED, "copy failed, no job element, or XML syntax error"},
    {MERGE_SAME_FILE, "both paths name the same file"},
    {MERGE_BASE_UNREADABLE, "stored job file cannot be read"},
    {MERGE_BASE_UNWRITABLE, "stored job file cannot be written"},
    {MERGE_NO_MEMORY, "out of memory"},
    {MERGE_OTHER_JOB, "the two files hold different jobs"},
};

const Text kHttp[] = {
    {HTTP_SHORT_ANSWER, "answer shorter than a status line"},
    {HTTP_NO_STATUS, "answer without a status code"},
    {HTTP_SOCKET_FAILED, "socket cannot be made"},
    {HTTP_NO_HOST, "host not found"},
    {HTTP_CONNECT_FAILED, "connect failed"},
    {HTTP_BODY_FAILED, "body not sent"},
    {HTTP_NO_ANSWER_IN_TIME, "no answer within the timeout"},
    {HTTP_WAIT_FAILED, "waiting failed, or bad timeout"},
    {HTTP_RECV_FAILED, "receive failed"},
    {HTTP_NO_ANSWER, "server closed without an answer"},
    {HTTP_HEAD_TOO_LONG, "request head too long"},
    {HTTP_BAD_ARGUMENT, "bad request argument"},
    {HTTP_CONNECT_TIMED_OUT, "connect timed out"},
    {HTTP_SEND_STALLED, "send stalled"},
    {HTTP_LOOKUP_FAILED, "host lookup failed"},
};

struct Table {
    const Text *texts;
    int count;
    bool parseFallback;
};

template <int N> constexpr Table table(const Text (&t)[N], bool parseFallback = false)
{
    return {t, N, parseFallback};
}

const char *find(const Table &t, int code)
{
    for (int i = 0; i < t.count; ++i)
        if (t.texts[i].code == code)
            return t.texts[i].text;
    return nullptr;
}

Table tableOf(tandel_Family family)
{
    switch (family) {
    case TANDEL_XML_SETUP:
        return table(kXmlSetup);
    case TANDEL_XML_PARSE:
        return table(kXmlParse);
    case TANDEL_XML_PRINT:
        return table(kXmlPrint);
    case TANDEL_TREE:
        return table(kTree);
    case TANDEL_SJOB_DECODE:
        return table(kDecode);
    case TANDEL_SJOB_ENCODE:
        return table(kEncode);
    case TANDEL_SJOB_WRITE:
        return table(kWrite);
    case TANDEL_TEXT:
        return table(kText);
    case TANDEL_JOB_LIST:
        return table(kJobList);
    case TANDEL_JOB_REQUESTS:
        return table(kRequests, true);
    case TANDEL_LAB_RESULT:
        return table(kLabResult, true);
    case TANDEL_MERGE:
        return table(kMerge, true);
    case TANDEL_HTTP:
        return table(kHttp);
    }
    return {nullptr, 0, false};
}

} // namespace

const char *tandel_errstr(tandel_Family family, int code)
{
    /* Outside HTTP, whose positive values are statuses, what is not
       negative is a count or a value of a success. */
    if (family == TANDEL_XML_PARSE && code == 1)
        return "stopped by the callback";
    if (code >= 0 && family != TANDEL_HTTP)
        return "success";
    const Table t = tableOf(family);
    if (const char *text = find(t, code))
        return text;
    if (t.parseFallback)
        if (const char *text = find(table(kXmlParse), code))
            return text;
    if (family == TANDEL_HTTP && t.texts)
        return "server status";
    return "unknown result";
}

/*
 * TandelCntrl.h - public interface of libTandelCntrl.so.
 *
 * Sensor job handling for the controller: a small XML toolkit (tree,
 * streaming parser, builder, writer), the sensor job codec and file
 * container, the job directory operations and a minimal HTTP client.
 * Plain C; every record field has the width the interface fixes.
 *
 * Conventions: results are ints, 0 or a count on success, small
 * negative numbers for failures; pointer results are null on failure.
 * Tree records and their strings live on the process heap (malloc,
 * strdup, free): callers may allocate, link and free them the same way.
 * No function keeps global state.
 * Threads: any calls may run on separate threads at once, those without
 * a handle too (job list, requests, results, merge, codec, texts,
 * formatting, HTTP), as long as no handle, tree, record or list is used
 * by two threads at the same time. Writers of one job file exclude each
 * other (see addMeasurementResult). Threads share only what the process
 * has: its zone (call tzset() after changing TZ, never while another
 * thread converts times) and its current directory for relative paths.
 * The caller's locale stays as it is: numbers are read and written with
 * '.' by the calling thread alone.
 * Ownership: what a call hands out is the caller's, freed with the call
 * named beside it (qrx_deinit for a handle and its tree,
 * removeJobDescrList, removeMeasurementRequestList), which nulls the
 * caller's variable. A variable that is to receive a handle or a list
 * must be null: qrx_init, createJobDescrList(_Ex) and
 * createMeasurementRequestList refuse one that holds something, and
 * qrx_BuildDOMTree a handle that holds a tree, so nothing leaks. Texts
 * passed in are copied; texts of a tree or record belong to it.
 * Zone: local times (the times a decoded message prints, lab_time) are
 * those of the process's zone: a controller program runs with TZ set
 * (or /etc/localtime right), else it writes UTC.
 * Dates are counted in 64 bits by the library itself, whatever the
 * width of time_t: message and document times read and write right
 * from 1932 to 2068, lab times to 2106. Only the clock is the
 * platform's: a build with 32-bit time_t (TANDEL_TIME64=OFF, for older
 * C libraries) cannot read the current time past 2038-01-19T03:14:07Z.
 */
#ifndef TANDEL_CNTRL_H
#define TANDEL_CNTRL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TANDEL_API __attribute__((visibility("default")))
#else
#define TANDEL_API
#endif

/* The three records that end in a flexible array member (C99) keep that
   layout in C++ too, where it is an extension: -pedantic stays quiet
   about those members only. */
#if defined(__cplusplus) && defined(__GNUC__)
#define TANDEL_FLEXIBLE_BEGIN _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wpedantic\"")
#define TANDEL_FLEXIBLE_END _Pragma("GCC diagnostic pop")
#else
#define TANDEL_FLEXIBLE_BEGIN
#define TANDEL_FLEXIBLE_END
#endif

struct tm;

/* ------------------------------------------------------------------ */
/* Result codes                                                        */
/* ------------------------------------------------------------------ */

/*
 * Every failure code has a name, defined once beside the functions that
 * return it. A family is the set of functions whose codes share one
 * meaning per value; the same value may mean something else in another
 * family (-8 is a truncated message for the decoder, no memory for the
 * encoder). The values never change: stored logs and callers rely on
 * them.
 */
typedef enum tandel_Family {
    TANDEL_XML_SETUP,    /* qrx_init, qrx_deinit, qrx_RemoveDOMTree */
    TANDEL_XML_PARSE,    /* qrx_parse, qrx_BuildDOMTree */
    TANDEL_XML_PRINT,    /* qrx_PrintDOMTree, qrx_WriteDOMTree */
    TANDEL_TREE,         /* qrx_RemoveAttribute, clearAttributes, copyAttributes */
    TANDEL_SJOB_DECODE,  /* sjob_Message2DOMTree(N), sjob_SensorJobFile2DOMTree */
    TANDEL_SJOB_ENCODE,  /* sjob_DOMTree2Message */
    TANDEL_SJOB_WRITE,   /* sjob_DOMTree2SensorJobFile */
    TANDEL_TEXT,         /* atotime2000, atolonglong, sprintf_tm, tandel_gmtime, tandel_localtime */
    TANDEL_JOB_LIST,     /* createJobDescrList(_Ex), listJobs_sax_callback, sortJobDescrList */
    TANDEL_JOB_REQUESTS, /* createMeasurementRequestList */
    TANDEL_LAB_RESULT,   /* addMeasurementResult, removeMeasurementResult */
    TANDEL_MERGE,        /* mergeJobFile */
    TANDEL_HTTP          /* makeHttpRequest */
} tandel_Family;

/*
 * A fixed English sentence for a result of that family, without a final
 * period: "success" for 0 and for every positive value, "unknown result"
 * for a negative value the family does not define. TANDEL_XML_PARSE's 1
 * is "stopped by the callback"; for TANDEL_HTTP every value not named
 * below is the server's status code ("server status"). The text is
 * static: never free or change it. Families whose functions pass on a
 * parse result (TANDEL_JOB_REQUESTS, TANDEL_LAB_RESULT, TANDEL_MERGE)
 * give the TANDEL_XML_PARSE text for a value they do not name
 * themselves, and a text naming both where one of their values is also
 * a parse result.
 *
 * Positive results, all of them success: TANDEL_XML_PARSE 1 (the
 * callback returned 1); TANDEL_XML_PRINT the characters written;
 * TANDEL_TREE 1 (qrx_RemoveAttribute removed one); TANDEL_TEXT the
 * characters of sprintf_tm, and the value atotime2000 or atolonglong
 * read (any but TEXT_UNREADABLE; a text that means -1, as
 * 1999-12-31T23:59:59Z does, is told from a failure only by the trace);
 * TANDEL_JOB_LIST and TANDEL_JOB_REQUESTS the number of records
 * listed; TANDEL_MERGE the measurement elements merged. The
 * other families return 0 on success. TANDEL_HTTP's positive values are
 * the server's status or HTTP_SHORT_ANSWER and HTTP_NO_STATUS.
 *
 * errno after a failure, by family:
 *   TANDEL_JOB_LIST, TANDEL_JOB_REQUESTS, TANDEL_LAB_RESULT and
 *   TANDEL_MERGE always set it: the system's reason where a file or
 *   directory failed (ENOENT, EACCES, EIO, ...; each function lists its
 *   codes), ENOMEM for their NO_MEMORY code, EINVAL for an argument or
 *   request refused, 0 where a file's content is at fault (it does not
 *   parse, lacks the lab measurement or job element asked for);
 *   TANDEL_HTTP as makeHttpRequest lists; TANDEL_SJOB_DECODE and
 *   TANDEL_SJOB_WRITE as their functions say;
 *   TANDEL_XML_SETUP, TANDEL_XML_PARSE, TANDEL_XML_PRINT, TANDEL_TREE,
 *   TANDEL_SJOB_ENCODE and TANDEL_TEXT: unspecified (a read or write
 *   error of the caller's stream shows in ferror()).
 * Where errno is not named it is unspecified; a success may change it.
 */
TANDEL_API const char *tandel_errstr(tandel_Family family, int code);

/* ------------------------------------------------------------------ */
/* Tracer (provided by libLogTracer.so)                                */
/* ------------------------------------------------------------------ */

/* Every diagnostic of the library goes here: the calling source file,
   line, routine name, level (2 failure, 6 progress) and a printf-style
   format ending in "\n". The result is never looked at. */
int logTracePrint(const char *file, int line, const char *function, int level, const char *format, ...);

/* ------------------------------------------------------------------ */
/* Document tree                                                       */
/* ------------------------------------------------------------------ */

typedef struct qrx_Attribute qrx_Attribute;
typedef struct qrx_Element qrx_Element;

struct qrx_Element {
    qrx_Element *next;         /* next sibling, null for the last */
    qrx_Element *children;     /* first child */
    qrx_Attribute *attributes; /* first attribute */
    qrx_Element *parent;       /* null for a root or an unlinked element */
    int32_t index;             /* depth in the tree: a child's is its parent's + 1 (see below) */
    char *name;                /* owned */
    char *value;               /* owned, null when there is no text */
};

/* A root's index: -1 for the "__ROOT__" of qrx_BuildDOMTree, so that the
   document's top element is 0, as the parser counts depth; 0 for the
   "__ROOT__" of sjob_Message2DOMTree(N), whose "job" is 1. Only the tree
   builder (at its cursor) and the making of a child read it; the
   writer, the encoder and the job handler go by position in the tree. */

struct qrx_Attribute {
    qrx_Attribute *next;
    qrx_Element *element; /* owner */
    char *name;           /* owned */
    char *value;          /* owned */
};

/* 1 when both are null or strcmp finds them equal, else 0. */
TANDEL_API int str_equal(const char *a, const char *b);

/* Unlinked records; null when memory runs out. */
TANDEL_API qrx_Element *qrx_NewElement(const char *name, int index);
TANDEL_API qrx_Attribute *qrx_NewAttribute(const char *name, const char *value);

/* Appends a child (index = parent's + 1); value may be null.
   Out of memory: returns null and leaves the parent unchanged. */
TANDEL_API qrx_Element *qrx_AddElement(const char *name, const char *value, qrx_Element *parent);

/* Inserts a child just before `before`, or as first child when `before`
   is null. A `before` that is not a child of `parent` is refused: the
   result is null and nothing is created. Out of memory: null. */
TANDEL_API qrx_Element *qrx_AddElementBefore(const char *name, const char *value, qrx_Element *parent,
                                             qrx_Element *before);

/* Returns the value after the call; value must not be null. An equal
   value is kept as it is (same string). Out of memory: the old value
   stays and is returned, which may be null. So the call failed exactly
   when the result is null or differs from value (strcmp). */
TANDEL_API const char *qrx_SetElementValue(const char *value, qrx_Element *element);

/* 1 when a value was removed, 0 when there was none. */
TANDEL_API int qrx_RemoveElementValue(qrx_Element *element);

/* Sets the first attribute of that name, or appends a new one.
   Out of memory: null, and the element is unchanged. */
TANDEL_API qrx_Attribute *qrx_AddAttribute(const char *name, const char *value, qrx_Element *element);

/* First attribute named `name` (and, when value is not null, with that
   value); its value text, or null. outAttribute may be null. */
TANDEL_API const char *qrx_GetAttribute(const char *name, const char *value, const qrx_Element *element,
                                        qrx_Attribute **outAttribute);

/* Results of qrx_RemoveAttribute, clearAttributes and copyAttributes. */
#define TREE_NULL_ARGUMENT (-1) /* null element, name or source */
#define TREE_NULL_TARGET (-2)   /* copyAttributes: null target */
#define TREE_NO_MEMORY (-3)     /* copyAttributes: out of memory */

/* 1 removed, 0 not found, TREE_NULL_ARGUMENT. Only the first match goes. */
TANDEL_API int qrx_RemoveAttribute(const char *name, qrx_Element *element);

/* Frees the element, its attributes and its subtree, at any depth (no
   recursion). Does not unlink it from its parent: callers take it out of
   the list first; its `next` is not followed. */
TANDEL_API void qrx_RemoveElement(qrx_Element *element);

/* ------------------------------------------------------------------ */
/* Parser                                                              */
/* ------------------------------------------------------------------ */

/* qrx_Parser.state */
#define QRX_STATE_FRESH 1     /* made by qrx_init, never parsed */
#define QRX_STATE_PARSING 2   /* inside qrx_parse (seen by callbacks) */
#define QRX_STATE_DONE 3      /* the last parse ended with 0 or 1 */
#define QRX_STATE_FAILED (-1) /* the last parse ended with a negative result */

typedef struct qrx_Parser {
    int32_t state;     /* one of QRX_STATE_* */
    int32_t maxDepth;  /* deepest allowed element depth (top is 0) */
    int32_t deepest;   /* greatest depth reached by the last parse */
    int32_t depth;     /* innermost open element, -1 when none (also fresh from qrx_init) */
    qrx_Element *root; /* the handle's document tree, owned */
    qrx_Element *last; /* tree builder's cursor, not owned */
    TANDEL_FLEXIBLE_BEGIN
    /* maxDepth + 1 slots: names of open elements, the parser's own copies (never free them) */
    char *openNames[];
    TANDEL_FLEXIBLE_END
} qrx_Parser;

/* Event modes passed to the callback. */
#define QRX_START 0
#define QRX_TEXT 1
#define QRX_ATTRIBUTE 2
#define QRX_END 3

/* Returns 1 to stop the parse with result 1, a negative value to stop
   it with that value, anything else to go on. The texts are valid only
   during the call. */
typedef int (*qrx_ParseCallback)(qrx_Parser *handle, int mode, const char *elName, const char *attrName,
                                 const char *value, void *userData);

/* Results of the handle functions (TANDEL_XML_SETUP). */
#define QRX_BAD_HANDLE (-1) /* null handle; for qrx_init also *handle not null */
#define QRX_BAD_LIMIT (-2)  /* qrx_init: n < 1 or n > 1048576 */
#define QRX_NO_MEMORY (-3)

/*
 * A new handle at *handle, which must be null (one that is not stays
 * untouched: QRX_BAD_HANDLE). n is maxDepth, the deepest element depth
 * a parse accepts, the top element being at 0. Give 4 for job
 * documents, the depth the library reads job files with (their elements
 * stand at 0 to 2: job, sample, measurement; with 1 a job gives
 * QRX_TOO_DEEP). Fresh: state
 * QRX_STATE_FRESH, depth -1, deepest 0, no tree. Free it with qrx_deinit.
 * 0 done; QRX_BAD_HANDLE; QRX_BAD_LIMIT (2^20 keeps the slot array's
 * size from wrapping on a 32-bit target); QRX_NO_MEMORY.
 */
TANDEL_API int qrx_init(qrx_Parser **handle, int n);

/* Frees names, tree and handle, nulls *handle. 0 done; QRX_BAD_HANDLE
   when handle or *handle is null. */
TANDEL_API int qrx_deinit(qrx_Parser **handle);

/* Results of the parse (TANDEL_XML_PARSE), besides 0 and the
   callback's own. QRX_BAD_HANDLE and QRX_NO_MEMORY belong here too. */
#define QRX_SYNTAX (-2)                /* syntax error (traced) */
#define QRX_TOO_DEEP (-8)              /* an element deeper than the handle allows */
#define QRX_UNCLOSED (-9)              /* end of input with elements open, also inside a text */
#define QRX_LONG_ELEMENT_NAME (-10)    /* element name over 125 characters */
#define QRX_LONG_ATTRIBUTE_NAME (-11)  /* attribute name over 125 characters */
#define QRX_LONG_ATTRIBUTE_VALUE (-12) /* attribute value over 8189 characters */
#define QRX_LONG_TEXT (-13)            /* element text over 8189 characters (trailing blanks aside) */
#define QRX_UNFINISHED (-14)           /* end of input inside a tag, comment or PI (traced) */
#define QRX_BAD_DEPTH (-15)            /* qrx_BuildDOMTree: start event beside the cursor */
#define QRX_TREE_HELD (-16)            /* qrx_BuildDOMTree: the handle holds a tree */

/*
 * The XML it accepts, byte for byte as written: elements (several at the
 * top level too) with attributes in double or single quotes and text;
 * comments "<!-- -->" and processing instructions "<? ?>" (the XML
 * declaration among them) are skipped. A name is 1 to 125 bytes, any
 * but blanks (space, tab, CR, LF) and < > = / ! : so '-', '.', '_', ':',
 * digits and UTF-8 sequences belong to it, and a namespace prefix is
 * just part of it. Attribute values and texts hold at most 8189 bytes;
 * a text loses its leading and trailing blanks, which do not count.
 * Nothing is decoded or checked: entity and character references such
 * as &amp; arrive as written, bytes need not be UTF-8. Not accepted:
 * CDATA sections, document type declarations and a byte-order mark
 * (syntax errors: a file that starts with one is refused at line 1),
 * text after an end tag. End tags are not compared with their start
 * tags; an attribute without '=' and quotes gives no event.
 *
 * End of input ends a parse: between tags with no element open, 0; with
 * elements open, also inside an element's text, QRX_UNCLOSED (the
 * cut text is not delivered); before the '>' of a tag (inside a name or
 * an attribute value too), inside a comment, an instruction or a text
 * outside every element, QRX_UNFINISHED, traced like a syntax error.
 * A start tag whose name the end cuts gives no event. The QRX_LONG_*
 * codes mean only that a name, value or text is over its limit.
 *
 * Parses the stream, calling back per event. The stream is locked for
 * the whole parse; it is neither rewound nor closed. A callback may read
 * the stream and push characters back: the parse goes on from where it
 * leaves the stream, and line numbers do not count what it took.
 * Results: 0 read to the end, all closed; 1 or another negative value
 * the callback's; QRX_SYNTAX; QRX_TOO_DEEP; QRX_UNCLOSED;
 * QRX_LONG_ELEMENT_NAME, QRX_LONG_ATTRIBUTE_NAME, QRX_LONG_ATTRIBUTE_VALUE,
 * QRX_LONG_TEXT; QRX_UNFINISHED (traced like a syntax error);
 * QRX_NO_MEMORY when the value buffer cannot be allocated.
 * A processing instruction ends at its first "?>", and also at two '?'
 * in a row (so in "<??>"): the second '?' then ends the skipping and is
 * read as the first character of a name.
 */
TANDEL_API int qrx_parse(qrx_Parser *handle, FILE *stream, qrx_ParseCallback callback, void *userData);

/* ------------------------------------------------------------------ */
/* Tree building and writing                                           */
/* ------------------------------------------------------------------ */

/* Results of qrx_PrintDOMTree (TANDEL_XML_PRINT), besides QRX_BAD_HANDLE. */
#define QRX_NO_TREE (-2)
#define QRX_STREAM_ERROR (-3)

/*
 * Gives the handle a fresh "__ROOT__" (index -1) and parses the stream
 * into it. QRX_BAD_HANDLE; QRX_TREE_HELD; 0 for a null stream (empty
 * document); otherwise the parse result. The handle must hold no tree
 * (fresh from qrx_init, or emptied with qrx_RemoveDOMTree): one whose
 * root is not null is refused with QRX_TREE_HELD (traced), its tree
 * untouched. The tree built stays in the handle, after a failure as far
 * as it got, until qrx_RemoveDOMTree or qrx_deinit frees it. A start
 * event whose depth does not fit the cursor (possible only when a caller
 * tampers with depth) is traced and the parse ends with QRX_BAD_DEPTH;
 * the process goes on. When a record cannot be allocated the parse ends
 * with QRX_NO_MEMORY.
 */
TANDEL_API int qrx_BuildDOMTree(qrx_Parser *handle, FILE *stream);

/* Frees the handle's tree (any depth) and nulls root, so that the
   handle can take another. QRX_BAD_HANDLE, else 0. */
TANDEL_API int qrx_RemoveDOMTree(qrx_Parser *handle);

/*
 * Prints the tree as XML (CR LF lines, tab indentation), flushes the
 * stream, then fsyncs it when it has a descriptor and, when that is a
 * regular file, opens its mode to 0666 (a pipe, terminal or device
 * behind the stream keeps its mode). The walk follows `parent` back up,
 * so every child's parent must be the element that lists it; any depth
 * fits the stack.
 * QRX_BAD_HANDLE; QRX_NO_TREE; QRX_STREAM_ERROR when a write, the flush
 * or fsync failed (fsync refusing a descriptor that cannot be synced,
 * EINVAL or EROFS, is no error); otherwise the number of characters.
 * A failed fchmod is not reported.
 * Nothing is escaped; an attribute value holding '"' but no '\'' is
 * written in single quotes. What either printer writes reads back
 * (qrx_BuildDOMTree, a handle of the same depth limit) as the same
 * tree: names, attributes in order, values, texts and structure. Not
 * so, being outside the parser's rules: an attribute value holding both
 * quote kinds or over 8189 bytes; a text holding '<' or over 8189
 * bytes; a text's blanks at either end (they are lost) and an empty
 * text (it reads back as none); a name that is empty, over 125 bytes or
 * holds a blank or one of < > = / !, and an element name starting with
 * '?'; elements deeper than the reading handle allows; the root's own
 * text and attributes, which are never printed.
 */
TANDEL_API int qrx_PrintDOMTree(qrx_Parser *handle, FILE *stream);

/*
 * The same text as qrx_PrintDOMTree, flushed, with no storage policy:
 * no fsync, no mode change. Use it for any stream that is not a job
 * file (standard output, a pipe, a report, a file the caller syncs
 * itself); use qrx_PrintDOMTree to write a job file. Same results
 * (TANDEL_XML_PRINT): QRX_STREAM_ERROR when a write or the flush failed.
 */
TANDEL_API int qrx_WriteDOMTree(qrx_Parser *handle, FILE *stream);

/* ------------------------------------------------------------------ */
/* Sensor job codec                                                    */
/* ------------------------------------------------------------------ */

/*
 * Round trips. A message as the encoder writes it (fields in order,
 * shortest length headers, no unknown tags) decodes and encodes again to
 * the same bytes, as long as the job-edit setting leaves done as it is.
 * A job document encoded and decoded again comes back without what the
 * message does not carry: lab_unit, parameter, unit, admit_autojob, the
 * user, sensor, controller and instrument elements, and other elements,
 * attributes and texts the message has no field for (a lab
 * measurement's text travels only with its data_type, a measured value
 * only when it reads as a number, an optional time only when it reads);
 * without empty texts (sample_id, comment and methods are sent when not
 * empty); with the samples numbered 0, 1, ... in their order (number is
 * not carried) and contained_samples as the encoder counted them.
 * Integers come back as "%d" of the number the encoder read (see below);
 * times as the decoder prints them, with the zone's offset; sensordata
 * as the Base64 of the bytes it decoded to; measured values as "%f" of
 * the 32-bit float the message carries: six decimals, so a value below
 * 5e-7 comes back as 0.000000 and digits beyond the sixth decimal are
 * lost (addMeasurementResult writes lab values with "%f" too).
 */

/*
 * Results of the message decoder and the sensor job file reader
 * (TANDEL_SJOB_DECODE), beyond 0 (decoded). From SJOB_TRUNCATED on, each
 * writes one level-2 trace.
 */
#define SJOB_NO_JOB (-1)         /* no job container */
#define SJOB_NO_JOB_ID (-2)      /* no job_id */
#define SJOB_MISSING_FIELD (-3)  /* another required field missing */
#define SJOB_BAD_DATA_TYPE (-4)  /* a measured value of a data type other than 16 */
#define SJOB_COUNT_MISMATCH (-5) /* the measurement count does not match */
#define SJOB_BAD_SAMPLE (-6)     /* too many samples, or a sample without date or count */
#define SJOB_OUT_OF_ORDER (-7)   /* a field out of order */
#define SJOB_NULL_PARSER (-99)   /* null parser handle */
#define SJOB_TRUNCATED (-8)      /* the message ends before its end markers */
#define SJOB_BAD_LENGTH (-9)     /* a length header with more than 4 length bytes */
#define SJOB_SHORT_FILE (-10)    /* a sensor job file of fewer than 6 bytes */
#define SJOB_FILE_ERROR (-11)    /* the file cannot be opened or read in full */
#define SJOB_NO_MEMORY (-12)     /* out of memory */
#define SJOB_SETTING_ERROR (-13) /* the job-edit setting file exists but cannot be read */
#define SJOB_NUL_TEXT (-14)      /* a text field holds a NUL byte */

/*
 * Decodes the sensor job message of `length` bytes at `message` into a
 * fresh tree of the handle (its old tree is freed first): a root
 * "__ROOT__" of index 0 holding the element "job". Never reads outside
 * the `length` bytes: a message or field that runs past them gives
 * SJOB_TRUNCATED. On failure the tree stays as far as it was built.
 * A null message counts as an empty one. sample_id and measured values
 * are kept whole, however long their texts are. A text field holding a
 * NUL byte, where a document's text would end, is refused, not cut:
 * SJOB_NUL_TEXT, traced with the attribute's name.
 * The job-edit flag (bit 0x40 of every lab measurement's `done`) is
 * taken from the controller's setting file, read once per call before
 * the message: "1" sets it, another number keeps the message's, an
 * absent file or one that holds no number clears it; a file that exists
 * but cannot be read (no regular file, no permission, an I/O error)
 * gives SJOB_SETTING_ERROR with the tree an empty root, one that cannot
 * be opened for lack of memory SJOB_NO_MEMORY.
 * Times are printed as the wall-clock reading the message carries,
 * followed by the local zone's offset in force at that reading. A
 * reading the clock shows twice (summer time ending) takes the first
 * showing, the summer offset; one it skips (summer time starting) the
 * offset before the gap. Numbers use '.' whatever the caller's locale.
 */
TANDEL_API int sjob_Message2DOMTreeN(const uint8_t *message, uint32_t length, qrx_Parser *parser);

/* The same without a length: the message's own structure is trusted to
   end with its end markers. Use sjob_Message2DOMTreeN where the length
   is known. A length header with more than 4 length bytes still gives
   SJOB_BAD_LENGTH. */
TANDEL_API int sjob_Message2DOMTree(const uint8_t *message, qrx_Parser *parser);

/* Results of the encoder (TANDEL_SJOB_ENCODE). */
#define SJOB_ENC_BAD_ARGUMENT (-1)  /* null parser, tree, length or message pointer, or buffer */
#define SJOB_ENC_EMPTY (-2)         /* the root has no child */
#define SJOB_ENC_NOT_A_JOB (-3)     /* the first child is not "job", or a required field is missing */
#define SJOB_ENC_BAD_DATA_TYPE (-4) /* data_type other than 16 */
#define SJOB_ENC_NO_DATA_TYPE (-5)  /* a process measurement without data_type */
#define SJOB_ENC_TOO_SMALL (-7)     /* the message does not fit */
#define SJOB_ENC_NO_MEMORY (-8)
#define SJOB_ENC_TIME_RANGE (-9)    /* a time outside the message's signed 32 bits */
#define SJOB_ENC_NUMBER_RANGE (-10) /* a number or count that does not fit its 16-bit field */

/*
 * Encodes the handle's job document into `buffer`, built from its end:
 * on success the message occupies *message up to buffer[*length - 2]
 * and *length (capacity on entry) becomes its length. Never writes
 * outside buffer[0] .. buffer[capacity - 2], also when it does not fit.
 * Results: 0; SJOB_ENC_BAD_ARGUMENT (also a null buffer with a capacity
 * above 0); SJOB_ENC_EMPTY; SJOB_ENC_NOT_A_JOB (traced);
 * SJOB_ENC_BAD_DATA_TYPE; SJOB_ENC_NO_DATA_TYPE; SJOB_ENC_TOO_SMALL when
 * it does not fit in capacity - 1 bytes ("buffer too small" names the
 * capacity that would do); SJOB_ENC_NO_MEMORY; SJOB_ENC_TIME_RANGE for a
 * time whose fields (counted as UTC, any offset in the text ignored) lie
 * outside 1931-12-13T20:45:52 .. 2068-01-19T03:14:07 (traced with the
 * attribute); SJOB_ENC_NUMBER_RANGE for an integer attribute outside
 * 0 .. 65535 (traced with the attribute), more than 65535 samples or
 * measurements in a sample. An integer attribute is read as its leading
 * decimal number ("12abc" is 12; empty or no number counts as absent).
 * On failure the buffer and the out-values are undefined. Numbers use
 * '.' whatever the caller's locale.
 */
TANDEL_API int sjob_DOMTree2Message(uint8_t *buffer, uint32_t *length, uint8_t **message, qrx_Parser *parser);

/*
 * Reads a sensor job file (13, 0, word count, message, fill, CRC-16)
 * and decodes its message into the handle (its old tree freed as by
 * sjob_Message2DOMTreeN; kept when the file cannot be read or is too
 * short). The decoder is bounded by the
 * bytes between header and CRC trailer. A CRC error is traced but does
 * not change the result. Results: those of sjob_Message2DOMTreeN, or
 * SJOB_FILE_ERROR (cannot be opened, sized or read in full, or not a
 * regular file: a FIFO is never waited on), SJOB_SHORT_FILE (traced
 * before any CRC check), SJOB_NO_MEMORY. The process never ends here.
 * errno after SJOB_FILE_ERROR is the system's reason (ENOENT, EACCES,
 * EISDIR...; EINVAL for a FIFO or device, or a null path; EFBIG for a
 * file of 4 GiB or more; EIO for one that shrank while it was read).
 */
TANDEL_API int sjob_SensorJobFile2DOMTree(const char *path, qrx_Parser *parser);

/* The one failure of sjob_DOMTree2SensorJobFile (TANDEL_SJOB_WRITE). */
#define SJOB_WRITE_FAILED (-1)

/*
 * Encodes the handle's job document and writes it as a sensor job file.
 * An existing file is replaced atomically: the bytes go to a temporary
 * ".jobapi-<pid>-XXXXXX" in the same directory (mode of the old file,
 * or 0666 less the umask for a new one), are synced and renamed over the
 * path; nothing that can fail comes after the rename. It never reads the
 * old file, so it takes no lock. A file the caller may not write stays.
 * After any failure the old file is intact and no temporary file is left.
 * 0 written; SJOB_WRITE_FAILED: null parser, encoding failed (message
 * over 2040 bytes, a time out of range among others), the file cannot be
 * written, or out of memory. Before anything is replaced the bytes are
 * decoded in memory as sjob_SensorJobFile2DOMTree would (the job-edit
 * setting aside): a document the encoder takes but the reader refuses
 * (more samples than max_samples, a process measurement whose text is
 * no number) fails, traced "sensor job would not read back: " and the
 * decoder's reason. errno after SJOB_WRITE_FAILED: the system's reason
 * when the file cannot be written (ENOSPC on a full device, EFBIG,
 * EACCES, ENOENT, EISDIR...), ENOMEM out of memory, EINVAL for a null
 * argument or a document that cannot be encoded or would not read back.
 */
TANDEL_API int sjob_DOMTree2SensorJobFile(const char *path, qrx_Parser *parser);

/* Base64 (RFC 4648, no line breaks) of length bytes, NUL-terminated;
   returns the characters written. text holds 4 * ceil(length / 3) + 1
   characters. length <= 0 gives "" and 0. */
TANDEL_API int encode_base64(char *text, const uint8_t *data, int length);

/*
 * Decodes Base64 text into data and returns the bytes written (no NUL).
 * Reads at most `length` characters and stops earlier at a NUL or at the
 * first '='. Characters outside the alphabet are skipped. An unfinished
 * group before '=' yields bytes only from characters taken: 2 characters
 * give 1 byte; 3 give 2, or 1 when another '=' follows; 0 or 1
 * characters (a '=' after a complete group, after one character, or a
 * text that is only "=") give none. Unpadded trailing characters are
 * dropped. Never writes more bytes than the text has characters.
 */
TANDEL_API uint32_t decode_base64(uint8_t *data, const char *text, int length);

/* The failure of the text conversions (TANDEL_TEXT): atotime2000,
   atolonglong, sprintf_tm. */
#define TEXT_UNREADABLE (-1)

/* strftime "%Y-%m-%dT%H:%M:%S%z" into text: TEXT_UNREADABLE (nothing
   written) when size <= 25 or text or time is null, else strftime's
   result (0 when it does not fit). */
TANDEL_API int sprintf_tm(char *text, size_t size, const struct tm *time);

/* ------------------------------------------------------------------ */
/* Job handler                                                         */
/* ------------------------------------------------------------------ */

/* Element paths: null-terminated lists of element names. The first four
   start at a tree's "__ROOT__", the last two at a sample element. */
TANDEL_API extern const char *const jobref_job[];
TANDEL_API extern const char *const jobref_sensor[];
TANDEL_API extern const char *const jobref_contr[];
TANDEL_API extern const char *const jobref_sample[];
TANDEL_API extern const char *const jobref_prcMeas[];
TANDEL_API extern const char *const jobref_labMeas[];

/*
 * Depth-first search below start (never start itself) along path, with
 * backtracking over children of the same name; the element reached must
 * have an attribute attrName (of value attrValue when that is not null).
 * A null attrName accepts the element. A null path counts as empty.
 * Null start: null.
 */
TANDEL_API qrx_Element *findElement(qrx_Element *start, const char *const *path, const char *attrName,
                                    const char *attrValue);

/* First attribute of that name, or null (also for a null element). */
TANDEL_API qrx_Attribute *findAttribute(const qrx_Element *element, const char *name);

/* Frees every attribute of the element. 0, or TREE_NULL_ARGUMENT. */
TANDEL_API int clearAttributes(qrx_Element *element);

/* Sets every source attribute on the target (qrx_AddAttribute).
   0; TREE_NULL_ARGUMENT (null source); TREE_NULL_TARGET; TREE_NO_MEMORY
   (the attributes copied so far stay). */
TANDEL_API int copyAttributes(const qrx_Element *source, qrx_Element *target);

/*
 * Copies the attributes (only those) of the source parent's first child
 * named name onto the target parent's first child of that name, made
 * when missing. A non-zero front moves or puts that child first.
 * Result: the target child; null when the source lacks the child
 * (traced at level 6), for a null argument, or when memory runs out.
 */
TANDEL_API qrx_Element *copyElement(const char *name, qrx_Element *sourceParent, qrx_Element *targetParent,
                                    int front);

/* One job file of a job directory, read from the attributes of its
   "job" element and the header elements below it. Numbers are read with
   atoi, serial numbers as hexadecimal; an absent attribute leaves 0.
   Texts are owned, null when absent. "(counted)" marks the attributes
   that count towards knownAttributeCount. */
typedef struct JobDescriptor {
    uint64_t sensorSerialNumber;      /* sensor serial_number (counted) */
    int32_t sensorDeviceId;           /* sensor device_id (counted) */
    int32_t sensorManufacturerId;     /* sensor manufacturer_id (counted) */
    char *sensorName;                 /* sensor name (counted) */
    char *sensorLocation;             /* sensor location (counted) */
    int32_t controllerManufacturerId; /* controller manufacturer_id (counted) */
    int32_t controllerDeviceId;       /* controller device_id (counted) */
    uint64_t controllerSerialNumber;  /* controller serial_number (counted) */
    char *controllerIpAddress;        /* controller ip_address */
    int32_t admitAutojob;             /* job admit_autojob */
    int32_t jobId;                    /* job job_id (counted) */
    int32_t date;                     /* job date, seconds since 2000-01-01 UTC; -1 unreadable; 0 absent */
    int32_t jobType;                  /* job job_type (counted) */
    int32_t jobHandling;              /* job job_handling (counted) */
    uint32_t flags;                   /* bit 0: some lab measurement is in state 1 */
    int32_t containedSamples;         /* job contained_samples (counted) */
    int32_t requestedSamples;         /* job requested_samples (counted) */
    int32_t reserved0;                /* reserved, 0 */
    int32_t labAttributeCount;        /* attributes of all sample lab_measurement elements */
    int32_t labState1Count;           /* lab measurements whose done & 63 is 1: result entered */
    int32_t labState2Count;           /* lab measurements whose done & 63 is 2 (counted apart) */
    int32_t knownAttributeCount;      /* counted attributes met (see createJobDescrList_Ex) */
    char *filePath;                   /* the job file's path: directory "/" name */
    char *userName;                   /* user name (counted) */
    char *controllerFacility;         /* controller facility */
    char *controllerName;             /* controller name */
    char *controllerLocation;         /* controller location */
} JobDescriptor;

/* A 32-bit count, then count descriptor pointers (room for a multiple
   of 16). The list owns its descriptors and their texts: the caller
   frees it all with removeJobDescrList. */
typedef struct JobDescrList {
    int32_t count;
    TANDEL_FLEXIBLE_BEGIN
    JobDescriptor *items[];
    TANDEL_FLEXIBLE_END
} JobDescrList;

/* Seconds since 2000-01-01 UTC of "%Y-%m-%dT%H:%M:%S%z" text, as a
   32-bit number (computed without time_t, so years past 2038 work on
   32-bit targets); TEXT_UNREADABLE (traced) when the text does not read
   or names a time outside 1931-12-13T20:45:52Z .. 2068-01-19T03:14:07Z. */
TANDEL_API int32_t atotime2000(const char *text);

/* The text read as hexadecimal ("%llX"); TEXT_UNREADABLE (traced) when it
   does not read. */
TANDEL_API int64_t atolonglong(const char *text);

/* Results of the job list functions (TANDEL_JOB_LIST). */
#define JOBLIST_NULL_LIST (-1)    /* null list address; for sortJobDescrList null or empty list */
#define JOBLIST_NO_DIRECTORY (-2) /* the directory cannot be opened */
#define JOBLIST_READ_ERROR (-3)   /* a job file or the directory could not be read */
#define JOBLIST_LIST_HELD (-4)    /* *list already holds a list */
#define JOBLIST_NO_MEMORY (-7)

/* Parser callback filling the JobDescriptor given as userData from the
   attribute events of a job file. Always 0, except JOBLIST_NO_MEMORY when
   a text cannot be copied (the file is then not listed). */
TANDEL_API int listJobs_sax_callback(qrx_Parser *handle, int mode, const char *elName, const char *attrName,
                                     const char *value, void *userData);

/*
 * Lists the job files ("*.xml", more than 4 characters; only fileName when
 * it is not null) of a directory, newest first, into a new list stored at
 * *list, which must be null: a list held there is refused with
 * JOBLIST_LIST_HELD (traced) and stays as it is. The list is the
 * caller's, freed with removeJobDescrList. A file is listed when it
 * parses completely (with the depth limit 4 of qrx_init) and carries at
 * least minKnown recognised attributes. Every "*.xml" of the directory
 * counts, also a delivery waiting to be merged (see mergeJobFile).
 * Listing needs write access and costs a flush per file: each file is
 * opened read-write with O_SYNC, fsync'ed and sync() called before it is
 * read, so a file the process cannot write is not listed, and a
 * directory of files it may only read lists as empty.
 * Only regular files are opened (never waiting on a FIFO or device);
 * other files, files that vanish, and files this process may not read
 * and write are left out.
 * Paths are used whole, whatever their length.
 * Result: the count; JOBLIST_NULL_LIST; JOBLIST_LIST_HELD;
 * JOBLIST_NO_DIRECTORY (traced); JOBLIST_READ_ERROR when a job file or
 * the directory could not be read for another reason (I/O error,
 * descriptors exhausted; traced), so the list would be incomplete;
 * JOBLIST_NO_MEMORY, also when a file cannot be opened or parsed for
 * lack of memory. Nothing is stored on failure. errno after
 * JOBLIST_NO_DIRECTORY and JOBLIST_READ_ERROR is the system's reason
 * (EINVAL for a null directory path); ENOMEM after JOBLIST_NO_MEMORY;
 * EINVAL after JOBLIST_NULL_LIST and JOBLIST_LIST_HELD.
 */
TANDEL_API int createJobDescrList_Ex(const char *dirPath, const char *fileName, JobDescrList **list,
                                     int minKnown);
/* createJobDescrList_Ex with a minimum of 13. */
TANDEL_API int createJobDescrList(const char *dirPath, const char *fileName, JobDescrList **list);

/* qsort order of two list slots: newer date (unsigned 32-bit) first.
   A null slot sorts first; two null slots compare equal. */
TANDEL_API int compareJobDescriptors(const void *a, const void *b);

/* Sorts newest first; the count, or JOBLIST_NULL_LIST (errno EINVAL)
   for a null or empty list. */
TANDEL_API int sortJobDescrList(JobDescrList *list);

/* Frees the descriptor's texts and nulls them; the record stays, for a
   descriptor of the caller's own (on its stack, say). Called on a listed
   descriptor it leaves removeJobDescrList nothing to free twice. Null
   is ignored. */
TANDEL_API void removeJobDescriptor(JobDescriptor *descriptor);

/* Frees the list, its descriptors and texts; sets *list to null. A null
   address or list is ignored. */
TANDEL_API void removeJobDescrList(JobDescrList **list);

/* The "no value" marker of processValue and labValue, a float: compare
   the fields with it as they are (r->labValue == TANDEL_NO_VALUE), never
   with the double -9999.99, which no float equals. */
#define TANDEL_NO_VALUE (-9999.99f)

/*
 * One lab measurement of a job, joined with its process measurement of
 * the same index. Texts and sensorData are owned by the request, and any
 * of them is null when the document lacks it (parameter and unit also
 * without a process measurement): check before printing, or call
 * assureStringsMeasurementRequest first. A text put into a listed
 * request is freed with it: give it a malloc'd copy and free the one it
 * replaces, or better enter a result through a copy of the record
 * (MeasurementRequest entry = *list->items[k]) whose fields you set to
 * texts of your own: addMeasurementResult only reads it.
 * done: state in bits 0-5 (0 open, 1 result entered, 2 a state the job
 * list counts apart; a done of exactly 4 is reopened by the next merge),
 * flags above it (0x40 the job-edit flag); every change keeps the flags.
 * displayFormat is the word for formatMeasurementString: 65535 (the
 * process measurement has no display_format) prints "%5.2f", 0 (no
 * process measurement) prints "Error".
 */
typedef struct MeasurementRequest {
    int32_t jobId;
    int32_t jobDate; /* seconds since 2000-01-01 UTC */
    int32_t sensorManufacturerId;
    int32_t sensorDeviceId;
    int64_t sensorSerialNumber;
    int32_t sampleNumber;
    char *sampleId;
    char *label;        /* at most 31 characters */
    int32_t sampleDate; /* seconds since 2000-01-01 UTC */
    int32_t totalIndex; /* position in the list */
    char *parameter;
    char *unit;
    int32_t dataType;      /* 16 when absent */
    uint16_t done;         /* state & 63, flags above; see above */
    float processValue;    /* TANDEL_NO_VALUE without process value */
    float labValue;        /* -1 open ("-1.0"), TANDEL_NO_VALUE without text; input of addMeasurementResult */
    int32_t reserved0;     /* reserved, 0 */
    int32_t displayFormat; /* 65535 without display_format; 0 without process measurement */
    char *spareText;
    uint8_t reserved1[16]; /* reserved, 0 */
    uint32_t labTime;      /* unsigned seconds since 1970-01-01 UTC (valid past 2038); 0: now */
    char *defaultMethod;
    char *usedMethod;
    uint8_t *sensorData; /* decoded sensordata, area of strlen(Base64 text) bytes */
    char *labUnit;
} MeasurementRequest;

/* A 32-bit count, then count request pointers. Owns its requests and
   their texts: the caller frees it all with removeMeasurementRequestList. */
typedef struct MeasurementRequestList {
    int32_t count;
    TANDEL_FLEXIBLE_BEGIN
    MeasurementRequest *items[];
    TANDEL_FLEXIBLE_END
} MeasurementRequestList;

/* Results of createMeasurementRequestList (TANDEL_JOB_REQUESTS), besides
   the parse results of the job file. */
#define REQLIST_NULL_HANDLE (-1)
#define REQLIST_NULL_LIST (-2)  /* null list address */
#define REQLIST_LIST_HELD (-3)  /* *list already holds a list */
#define REQLIST_NULL_JOBS (-4)  /* null job list */
#define REQLIST_BAD_INDEX (-5)  /* index outside the job list */
#define REQLIST_UNREADABLE (-6) /* the job file cannot be read */
#define REQLIST_NO_MEMORY (-7)

/*
 * Reads the job file of jobs->items[jobIndex] into the handle's tree
 * (its old tree is freed; the new one stays after the call, freed by
 * the next call, qrx_RemoveDOMTree or qrx_deinit; give a handle of
 * qrx_init depth 4) into a new list at *list, which must be null
 * (REQLIST_LIST_HELD otherwise). The list is the caller's, freed with
 * removeMeasurementRequestList; the job list may be freed first. It makes
 * one request per lab measurement: samples numbered 0, 1, ... and, per
 * sample, lab measurement indexes 0, 1, ..., each walk ending at the
 * first number missing (no upper limit). Attributes the document lacks
 * read as 0 (absent date: 0, absent serial number: 0). Labels longer
 * than 31 characters are cut.
 * Result: the count; REQLIST_NULL_HANDLE; REQLIST_NULL_LIST;
 * REQLIST_LIST_HELD (traced); REQLIST_NULL_JOBS; REQLIST_BAD_INDEX;
 * REQLIST_UNREADABLE (traced; errno is the system's reason, EINVAL for
 * a file that is not regular or a descriptor without a path); the
 * negative build result when the file does not parse (traced; QRX_SYNTAX
 * shares its value with REQLIST_NULL_LIST); REQLIST_NO_MEMORY. Nothing
 * is stored at *list on failure. errno: EINVAL after the argument codes
 * (REQLIST_NULL_HANDLE to REQLIST_BAD_INDEX), 0 after a parse result,
 * ENOMEM after REQLIST_NO_MEMORY.
 */
TANDEL_API int createMeasurementRequestList(qrx_Parser *handle, JobDescrList *jobs, int jobIndex,
                                            MeasurementRequestList **list);

/* Replaces null texts of the request with "" (sensorData untouched), so
   that a program may print every text with "%s" unchecked; the copies
   are the request's, freed with it. Null is ignored; a text that cannot
   be allocated stays null. */
TANDEL_API void assureStringsMeasurementRequest(MeasurementRequest *request);

/* Frees the request's texts and sensorData and nulls them; the record
   stays, for a request of the caller's own. Called on a listed request
   it leaves removeMeasurementRequestList nothing to free twice. Null
   is ignored. */
TANDEL_API void freeMeasurementRequest(MeasurementRequest *request);

/* Frees the list and its requests; sets *list to null. A null address
   or list is ignored. */
TANDEL_API void removeMeasurementRequestList(MeasurementRequestList **list);

/* Results of addMeasurementResult and removeMeasurementResult
   (TANDEL_LAB_RESULT), besides the parse results of the job file. */
#define LABRES_UNREADABLE (-1) /* cannot be read, null argument, or no such lab measurement */
#define LABRES_NOT_FINITE (-4) /* add: the lab value is not finite */
#define LABRES_BAD_TEXT (-5)   /* add: labUnit or usedMethod would not read back */
#define LABRES_UNWRITABLE (-6) /* the file cannot be written */
#define LABRES_NO_MEMORY (-7)
#define LABRES_OTHER_JOB (-20) /* the request is of another job than the file */

/*
 * Enter (add) or take back (remove) the lab result of the request's
 * totalIndex-th lab measurement in the job file, and update the job's
 * job_handling bits (0x40 some result entered, 0x20 some still open).
 * Of the request they read jobId, totalIndex, done (its flags are kept,
 * the state becomes 1 or 0), sampleNumber (for the trace) and, to add,
 * labValue, labTime, labUnit and usedMethod (null: attribute left as it
 * is); nothing else, and the request is not changed. A jobId that is
 * not 0 must be the file's job_id (compared as the lists read it, with
 * atoi): a request listed from another job's file is refused with
 * LABRES_OTHER_JOB (traced) before anything changes; a request the
 * caller makes itself may leave jobId 0. The file is replaced
 * atomically (temporary file in its directory, written, synced once,
 * mode 0666 whatever the umask, renamed over it): on
 * any failure the old file stays as it was. An add refuses, before it
 * opens the file, a labUnit or usedMethod that would not read back as
 * written: over 8189 characters, or holding both '"' and '\'' (the writer
 * escapes nothing and can quote only one of them). lab_time is the local time of
 * labTime, also past 2038 where time_t has 32 bits; labTime 0 takes the
 * current time, which a build with 32-bit time_t cannot read past
 * 2038-01-19T03:14:07Z. The value is written with '.' as the decimal
 * mark, whatever the caller's locale.
 * totalIndex counts lab measurements exactly as createMeasurementRequestList
 * does (a sample ends at its first index without a lab measurement), and
 * job_handling counts the same ones.
 * Only a regular file that this process may read and write is changed.
 * Links, the same for every writer of job files and sensor job files
 * (addMeasurementResult, removeMeasurementResult, mergeJobFile,
 * sjob_DOMTree2SensorJobFile): a symbolic link, or a chain of them (a
 * relative target counts from the directory of its link), is followed
 * to the file at its end, which is locked, read and replaced in its own
 * directory; the link stays a link. A dangling link is refused with the
 * operation's "cannot read" code (SJOB_WRITE_FAILED for the sensor job
 * file), errno ENOENT, and never created through; a link to a directory
 * or FIFO is refused like the directory or FIFO itself.
 * Writers: addMeasurementResult, removeMeasurementResult and mergeJobFile
 * exclude each other on one path, in any thread or process that uses this
 * library: each holds an exclusive flock() on the job file for its whole
 * read-change-replace and waits for another holder (the kernel drops the
 * lock of a holder that dies). Programs that write job files without the
 * library are not excluded. Where the file system has no locks, the call
 * goes on unlocked and traces "cannot lock" at level 2. Readers (the job
 * and request lists) take no lock; they always see a whole file.
 * Result: 0; LABRES_UNREADABLE: the file cannot be read (also a FIFO,
 * directory or other file that is not regular), a null argument, or no
 * lab measurement at totalIndex (traced); LABRES_NOT_FINITE and
 * LABRES_BAD_TEXT (add; traced, the file is not opened); the negative
 * build result when the file does not parse; LABRES_UNWRITABLE, also
 * for a readable file this process may not write, or when descriptors
 * run out for the temporary (traced); LABRES_NO_MEMORY; LABRES_OTHER_JOB.
 * After the rename nothing can fail.
 * errno after LABRES_UNREADABLE and LABRES_UNWRITABLE is the system's
 * reason (ENOENT, EACCES, EISDIR, EINVAL for a FIFO or other file that
 * is not regular, ENOSPC or EFBIG for a full device or file size limit,
 * EIO, ...); 0 after "no such lab measurement" and a parse result,
 * which have no system reason; EINVAL after a null argument,
 * LABRES_NOT_FINITE, LABRES_BAD_TEXT and LABRES_OTHER_JOB; ENOMEM after
 * LABRES_NO_MEMORY.
 */
TANDEL_API int addMeasurementResult(const char *path, const MeasurementRequest *request);
TANDEL_API int removeMeasurementResult(const char *path, const MeasurementRequest *request);

/*
 * The job workflow. A job directory holds one job file per job; every
 * "*.xml" in it is listed as a job (the custom name is job-<job_id>.xml).
 * The library writes job files with mode 0666 whatever the umask (the
 * controller's programs share them), replacing them atomically, synced.
 * A delivery, a sensor job file of a new job or of a newer version of a
 * stored one, comes in in two steps. First it is decoded
 * (sjob_SensorJobFile2DOMTree) and printed with qrx_PrintDOMTree into
 * News, a file that waits for the merge under a name the job list does
 * not take: in the job directory any name not ending in ".xml" (say
 * job-1003.xml.new), or a file in another directory. A News named
 * "*.xml" in the job directory would be listed as a job of its own
 * until the merge deletes it, and for good after a kill. Then
 * mergeJobFile(the job's file, News) takes it in; which of four things
 * it does is known before the call from News' tree and Base:
 *   kill: News' job_handling has bit 0x100. Base is deleted; News is
 *     kept: the caller deletes it (unlink) once it has what it needs;
 *   first delivery: Base does not exist. News is copied to Base;
 *   copy: News' job_type has bit 0x20. Base becomes a copy of News;
 *   merge: otherwise. Base becomes the merged job, in which News wins:
 *     the job's attributes (job_handling too, as News brings it: its
 *     0x20 and 0x40 summary bits are computed again by the next
 *     addMeasurementResult or removeMeasurementResult), the attributes
 *     of instrument, controller, sensor and user, of each sample, and
 *     each lab measurement News has, even an open one, so a result
 *     entered on the controller is replaced when News brings that
 *     measurement still open; a lab measurement only Base has stays
 *     (one whose done is exactly "4" comes out open). A process
 *     measurement keeps Base's attributes and takes News' text. Other
 *     elements, and element texts above the measurements, are dropped.
 * After the copies and the merge News is deleted. The result is 0 for
 * the kill and both copies and the number of measurement elements
 * written for a merge, which is 0 too for a job without measurements;
 * after a result of 0 or more, Base is gone exactly after a kill.
 * Two different jobs are never merged: see MERGE_OTHER_JOB.
 */

/* Results of mergeJobFile (TANDEL_MERGE), besides the parse results of
   the two files. -3 is no longer returned. */
#define MERGE_NEWS_UNREADABLE (-1) /* News cannot be read (also not a regular file) */
#define MERGE_COPY_FAILED (-2)     /* a copy failed or a tree has no job element */
#define MERGE_SAME_FILE (-4)       /* Base and News are the same file */
#define MERGE_BASE_UNREADABLE (-5) /* Base may exist but cannot be opened for reading */
#define MERGE_BASE_UNWRITABLE (-6) /* Base cannot be written or deleted */
#define MERGE_NO_MEMORY (-7)
#define MERGE_OTHER_JOB (-20) /* Base and News hold different jobs */

/*
 * Folds the job file News into Base and deletes News (see the job
 * workflow above). News' job_handling bit 0x100 deletes Base instead
 * (News kept); News' job_type bit 0x20 makes Base a copy of News. When
 * Base and News both have a job_id and the two differ (compared as the
 * lists read them, with atoi), nothing is merged, copied or deleted:
 * MERGE_OTHER_JOB (traced), also where News would kill or replace Base;
 * a first delivery to an absent Base is not compared. Copies are made
 * byte by byte without a
 * shell (any path characters work) and, like the merged document,
 * replace Base atomically with mode 0666, synced once. Base is locked
 * for the whole merge (see addMeasurementResult, also for links); a Base
 * that does not exist yet (neither a file nor a link) is created under
 * a lock on its directory: a first delivery, no failure, traced at level
 * 6 only.
 * News (for a link, the file at its end; the link stays) is deleted in
 * one step that cannot delete another file: it is moved to a private
 * name ".jobapi-<pid>-XXXXXX" in its directory, compared with the file
 * that was read (device and inode), and removed, or else put back
 * without replacing anything: a newer News put in its place meanwhile is
 * kept. Should its place be taken yet again in that instant, the newer
 * News stays as ".jobapi-kept-<pid>-XXXXXX" (traced at level 2 with that
 * name), which no writer removes. The directory is synced after the
 * removal, so a News reported merged stays gone after a power cut.
 * A kill deletes the file at the end of Base's links (the link stays)
 * and syncs its directory: a deletion reported stays one after a power
 * cut.
 * Result: the number of measurement elements merged; 0 for the copy and
 * kill short-cuts; MERGE_NEWS_UNREADABLE; MERGE_COPY_FAILED;
 * MERGE_OTHER_JOB;
 * MERGE_SAME_FILE (same device and inode, however the paths are spelled;
 * nothing read, written or deleted); MERGE_BASE_UNREADABLE (not a regular
 * file, a dangling link, not readable, descriptors exhausted, read error);
 * MERGE_BASE_UNWRITABLE (also a Base this process may not write, or a
 * kill that cannot delete it); the negative build result when Base or
 * News does not parse (traced; Base untouched, News kept; QRX_SYNTAX
 * shares its value with MERGE_COPY_FAILED); MERGE_NO_MEMORY.
 * errno after MERGE_NEWS_UNREADABLE, MERGE_BASE_UNREADABLE and
 * MERGE_BASE_UNWRITABLE is the system's reason, as for
 * addMeasurementResult (EBUSY for a Base that keeps appearing and
 * vanishing again while it is opened); after MERGE_COPY_FAILED the
 * copy's reason, or 0 when a tree has no job element; 0 after a parse
 * result; EINVAL after a null path, MERGE_SAME_FILE and MERGE_OTHER_JOB;
 * ENOMEM after MERGE_NO_MEMORY.
 */
TANDEL_API int mergeJobFile(const char *basePath, const char *newsPath);

/*
 * Formats value as the display format word asks (low 16 bits: 0x8000
 * plain "%5.2f", 0x0400 fixed decimals, bits 7-9 significant digits,
 * bits 0-2 decimals; a request's 65535, no display_format, is plain,
 * its 0, no process measurement, gives "Error"). The text has at most
 * 12 characters: out needs 13 bytes. 1 when a text was made (also
 * "##.##" for a text too long and
 * for an infinite value), 0 for "Error" (no significant digits outside
 * fixed mode, or a NaN value). The decimal mark is always '.', whatever
 * the caller's locale.
 */
TANDEL_API int formatMeasurementString(char *out, int format, double value);

/* ------------------------------------------------------------------ */
/* Dates of the records                                                */
/* ------------------------------------------------------------------ */

/* 2000-01-01T00:00:00Z in seconds since 1970: the epoch of the records'
   dates (JobDescriptor.date, MeasurementRequest.jobDate and sampleDate). */
#define TANDEL_EPOCH_2000 INT64_C(946684800)

/* tandel_gmtime and tandel_localtime (TANDEL_TEXT): seconds outside
   INT32_MIN .. UINT32_MAX, or an instant the C library cannot break down. */
#define TEXT_TIME_RANGE (-2)

/*
 * The broken-down UTC (tandel_gmtime) or local (tandel_localtime, the
 * zone of TZ; call tzset() after changing TZ, as for localtime_r) time
 * of seconds since 1970-01-01T00:00:00Z, without time_t: the same fields
 * whatever its width, also past 2038-01-19T03:14:07Z. A record's date is
 * TANDEL_EPOCH_2000 + date (1931 to 2068), a lab time labTime itself
 * (1970 to 2106); seconds may lie from INT32_MIN (1901-12-13T20:45:52Z)
 * to UINT32_MAX (2106-02-07T06:28:15Z).
 * Every field is set: tm_year (years since 1900), tm_mon (0 January),
 * tm_mday, tm_hour, tm_min, tm_sec (60 only at a leap second of a zone
 * that counts them, "right/..."), tm_wday (0 Sunday), tm_yday (0 for
 * January 1), tm_isdst (1 in daylight saving time, else 0; always 0 for
 * UTC), tm_gmtoff (seconds east of UTC; 0 for UTC) and tm_zone, null
 * (strftime's "%Z" then names the C library's current zone).
 * Past 2037 local time follows the zone's data as a 64-bit time_t C
 * library reads it (transitions listed in the zone file, then the rule
 * in its footer, or TZ as a rule string); see README.md for the zones a
 * 32-bit time_t build cannot read itself.
 * Result: 0; TEXT_UNREADABLE when tm is null; TEXT_TIME_RANGE. Nothing is
 * written on failure. No state is kept: safe on any thread, as
 * localtime_r is.
 */
TANDEL_API int tandel_gmtime(int64_t seconds, struct tm *tm);
TANDEL_API int tandel_localtime(int64_t seconds, struct tm *tm);

/* ------------------------------------------------------------------ */
/* HTTP client                                                         */
/* ------------------------------------------------------------------ */

/* Results of makeHttpRequest (TANDEL_HTTP) other than a status. */
#define HTTP_SHORT_ANSWER 1
#define HTTP_NO_STATUS 2
#define HTTP_SOCKET_FAILED (-1)
#define HTTP_NO_HOST (-2)
#define HTTP_CONNECT_FAILED (-3)
#define HTTP_BODY_FAILED (-4)
#define HTTP_NO_ANSWER_IN_TIME (-5)
#define HTTP_WAIT_FAILED (-6)
#define HTTP_RECV_FAILED (-7)
#define HTTP_NO_ANSWER (-8)
#define HTTP_HEAD_TOO_LONG (-9)
#define HTTP_BAD_ARGUMENT (-10)
#define HTTP_CONNECT_TIMED_OUT (-11)
#define HTTP_SEND_STALLED (-12)
#define HTTP_LOOKUP_FAILED (-13)

/*
 * One blocking HTTP/1.1 request over a new TCP connection to an IPv4
 * host (name or dotted address, first IPv4 address of getaddrinfo; the
 * low 16 bits of port are used). Sends "<method> <path> HTTP/1.1\r\n",
 * the headers verbatim (may be null; each line already ends in "\r\n")
 * and for "PUT" and "POST" (exact case) "Content-length: <size+4>\r\n\r\n",
 * the whole body stream from its first byte and a closing "\r\n\r\n";
 * other methods send "\r\n" after the headers and no body (body unused).
 * Then reads the answer into response until the server closes or
 * responseSize bytes are stored (not terminated, count not returned).
 *
 * timeout (seconds; -1: 100; 0: no waiting at all) bounds each wait on
 * the peer on its own, not the whole call, so a slow peer that keeps
 * moving is never cut off:
 *   the connect: not done within timeout gives HTTP_CONNECT_TIMED_OUT;
 *   a send that makes no progress within timeout gives HTTP_SEND_STALLED;
 *   the first answer byte: none within timeout gives HTTP_NO_ANSWER_IN_TIME;
 *   each later read: timeout without a byte ends the answer, and the
 *       result comes from the bytes received as if the server had
 *       closed (a server that keeps the connection open costs timeout).
 * Signals neither end nor stretch a wait; SIGPIPE is never raised. The
 * socket is close-on-exec; its descriptor may have any number.
 *
 * Results:
 *   the integer read as "%d" at offset 9 of an answer of 14 or more
 *       bytes (a negative one is returned as it stands);
 *   HTTP_NO_STATUS     14 or more bytes but no integer (or none that
 *                      fits an int) there;
 *   HTTP_SHORT_ANSWER  1 to 13 bytes received;
 *   HTTP_SOCKET_FAILED;
 *   HTTP_NO_HOST       the name is unknown (the hosts file and a resolver
 *                      that answered do not know it) or has no IPv4 address;
 *   HTTP_CONNECT_FAILED (refused, unreachable...);
 *   HTTP_BODY_FAILED   the stream cannot be measured (not seekable, or
 *      larger than INT_MAX - 4 bytes), a read gives no bytes while some
 *      remain, or a send fails (for any method). The request ends at
 *      once: nothing more is sent, no answer is waited for. A stream
 *      that cannot be measured is found before connecting;
 *   HTTP_NO_ANSWER_IN_TIME  no answer byte within timeout;
 *   HTTP_WAIT_FAILED   poll failed with an error other than EINTR, or
 *      timeout is negative other than -1 (found before any socket is
 *      created);
 *   HTTP_RECV_FAILED;  HTTP_NO_ANSWER  the server closed without one;
 *   HTTP_HEAD_TOO_LONG the head does not fit the 8192-byte request
 *      buffer: for "PUT" and "POST" request line, headers and length
 *      header must leave room for "\r\n\r\n" and a terminator (at most
 *      8187 bytes), for other methods request line, headers and "\r\n"
 *      at most 8191. Found before any socket is created;
 *   HTTP_BAD_ARGUMENT  null host, method or path, a method or path
 *      holding a blank or a control character (below 0x20, or 0x7F),
 *      null body for "PUT"/"POST", negative responseSize, or null
 *      response with a positive responseSize. Found before any socket
 *      is created;
 *   HTTP_CONNECT_TIMED_OUT  the connect did not complete within timeout;
 *   HTTP_SEND_STALLED  a send made no progress within timeout (the peer
 *      stopped reading); what was sent before stays sent;
 *   HTTP_LOOKUP_FAILED the lookup could not be made (no reply from the
 *      resolver, also where none is configured and the hosts file lacks
 *      the name; no memory or descriptors...): unlike HTTP_NO_HOST it
 *      says nothing about the host, and a later try may succeed.
 * errno: after HTTP_SOCKET_FAILED, HTTP_CONNECT_FAILED, HTTP_BODY_FAILED
 * from a failed send, HTTP_WAIT_FAILED from poll and HTTP_RECV_FAILED it
 * is the system's error of that call; after HTTP_CONNECT_TIMED_OUT and
 * HTTP_SEND_STALLED it is ETIMEDOUT. responseSize 0 stores nothing and
 * gives HTTP_NO_ANSWER once the answer arrives.
 * The body stream stays open, positioned where the reads ended. Every
 * path closes the socket. Safe on any thread; no state is kept.
 */
TANDEL_API int makeHttpRequest(const char *host, int port, int timeout, const char *method, const char *path,
                               const char *headers, FILE *body, char *response, int responseSize);

#ifdef __cplusplus
}
#endif

#endif /* TANDEL_CNTRL_H */

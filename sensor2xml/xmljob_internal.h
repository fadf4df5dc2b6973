/*
 * Internals of the sensor job codec: the decoder's cursor and its two
 * routines, the length and text helpers. Not exported; tests reach them
 * through the static library.
 */
#ifndef TANDEL_XMLJOB_INTERNAL_H
#define TANDEL_XMLJOB_INTERNAL_H

#include <cstdint>
#include <ctime>
#include <string>

#include "TandelCntrl.h"
#include "civiltime.h"

/* Decoder cursor. `end` bounds the message (null: unbounded, the
   message's structure is trusted). */
struct tag_cursor {
    uint32_t len;        /* value length of the last decoded length header */
    uint32_t lenCount;   /* bytes of that header */
    int32_t status;      /* 0, or SJOB_OUT_OF_ORDER once a field out of order was met */
    const uint8_t *tail; /* tag byte of the next field */
    uint8_t lastTag;     /* tag findTag found last */
    const uint8_t *start;
    const uint8_t *end;
};

/* Thrown when the message cannot be walked on or a field cannot be
   taken (code SJOB_TRUNCATED, SJOB_BAD_LENGTH or SJOB_NUL_TEXT with the
   field's name, and the byte offset); the decoder turns it into its
   result. */
struct MessageFault {
    int code;
    unsigned long offset;
    const char *field = nullptr;
};

/* Moves tail to the field `tag` of the current container or to the
   first one above it; out of order: trace, status SJOB_OUT_OF_ORDER, no move. */
void findTag(uint8_t tag, tag_cursor *c);
/* Moves tail past the field `tag` (the end marker 0xFF). */
void skipTag(uint8_t tag, tag_cursor *c);

/* Reads the length header at p: stores its byte count and the length,
   returns the count. More than 4 length bytes: only the first byte is
   read, the length is 0 and the count is k + 1; callers reject it. */
uint32_t decode_length(const uint8_t *p, uint32_t *count, uint32_t *value);
/* Heap copy of n bytes plus NUL (free it), null when out of memory. */
char *copy_to_string(const uint8_t *bytes, uint32_t n);

namespace tandel {
/* sjob_Message2DOMTreeN without the job-edit setting: every done stays
   as the message has it, and nothing about the setting is traced. What
   the sensor job file writer checks its bytes with. */
int decodeAsWritten(const uint8_t *message, uint32_t length, qrx_Parser *parser);
} // namespace tandel

/* Length header of n (0 <= n) into out (5 bytes); *size gets 1 to 5. */
int encode_length(int32_t n, uint8_t *out, int *size);
/* 0 for a null or empty text, else vsscanf's result. */
int sscanf_nonempty(const char *text, const char *format, ...) __attribute__((format(scanf, 2, 3)));

#endif

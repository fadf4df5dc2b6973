/*
 * The sensor job file: 13, 0, the file's length in 16-bit words (low
 * byte first), the message, a 0 that fills it to an even length, and the
 * CRC-16 of everything before it (low byte first). The codec and jobtool
 * both frame and unframe files with these, so the two never differ.
 */
#ifndef TANDEL_INTERNAL_JOBFILE_H
#define TANDEL_INTERNAL_JOBFILE_H

#include <cstddef>
#include <cstdint>

#include "TandelCntrl.h"

/* CRC-16/MCRF4XX (reflected 0x1021, start 0xFFFF); 0xFFFF for no bytes.
   Over a whole intact file, trailer included, it is 0. */
uint16_t calculateProbeDrvCRC(const uint8_t *data, uint32_t length);

namespace tandel {

const uint32_t kJobFileHeader = 4;  /* 13, 0, word count */
const uint32_t kJobFileTrailer = 2; /* the CRC */
const uint32_t kJobFileMin = kJobFileHeader + kJobFileTrailer;
/* Room for the file of the longest message (2040 bytes). */
const size_t kJobFileMax = 2048;

/* Encodes the handle's document as a whole sensor job file in buf:
   *file points at its first byte, *size is its length. The encoder's
   result; on failure *file and *size are undefined. */
int encodeJobFile(qrx_Parser *parser, uint8_t (&buf)[kJobFileMax], uint8_t **file, uint32_t *size);

/* Decodes the message between header and trailer of a file of size
   bytes (at least kJobFileMin): sjob_Message2DOMTreeN's result. */
int decodeJobFile(const uint8_t *file, uint32_t size, qrx_Parser *parser);

} // namespace tandel

#endif

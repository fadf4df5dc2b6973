/*
 * jobfile.cpp - the frame around a sensor job message and its CRC-16.
 */
#include "jobfile.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0x8408u : crc >> 1;
        t[i] = static_cast<uint16_t>(crc);
    }
    return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

} // namespace

uint16_t calculateProbeDrvCRC(const uint8_t *data, uint32_t length)
{
    unsigned crc = 0xFFFF;
    for (uint32_t i = 0; i < length; ++i)
        crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return static_cast<uint16_t>(crc);
}

namespace tandel {

/* file -> 0D 00 words(low, high) message [00] crc(low, high)   (00 fills to an even length) */
int encodeJobFile(qrx_Parser *parser, uint8_t (&buf)[kJobFileMax], uint8_t **file, uint32_t *size)
{
    /* The encoder leaves the last byte of its room unused; the header
       goes before the message, fill byte and CRC after it. */
    uint32_t n = kJobFileMax - kJobFileHeader - 3;
    uint8_t *message = nullptr;
    if (const int r = sjob_DOMTree2Message(buf + kJobFileHeader, &n, &message, parser))
        return r;
    if (n & 1)
        message[n++] = 0x00;
    uint8_t *f = message - kJobFileHeader;
    const auto words = static_cast<uint16_t>((n + kJobFileMin) / 2);
    f[0] = 13;
    f[1] = 0;
    f[2] = static_cast<uint8_t>(words);
    f[3] = static_cast<uint8_t>(words >> 8);
    const uint16_t crc = calculateProbeDrvCRC(f, kJobFileHeader + n);
    f[kJobFileHeader + n] = static_cast<uint8_t>(crc);
    f[kJobFileHeader + n + 1] = static_cast<uint8_t>(crc >> 8);
    *file = f;
    *size = n + kJobFileMin;
    return 0;
}

int decodeJobFile(const uint8_t *file, uint32_t size, qrx_Parser *parser)
{
    return sjob_Message2DOMTreeN(file + kJobFileHeader, size - kJobFileMin, parser);
}

} // namespace tandel

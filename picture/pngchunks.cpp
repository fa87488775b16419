#include "picture/pngchunks.h"

#include <QIODevice>

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr char signature[8] = { '\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n' };

// libpng's default user limit: a larger picture is "Invalid IHDR data".
constexpr quint32 maximumSide = 1000000;

const std::array<quint32, 256> &crcTable()
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t {};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

quint32 crcUpdate(quint32 crc, const char *data, qint64 size)
{
    const auto &table = crcTable();
    for (qint64 i = 0; i < size; ++i)
        crc = table[(crc ^ uchar(data[i])) & 0xff] ^ (crc >> 8);
    return crc;
}

quint32 bigEndian(const char *p)
{
    return quint32(uchar(p[0])) << 24 | quint32(uchar(p[1])) << 16 | quint32(uchar(p[2])) << 8
        | quint32(uchar(p[3]));
}

// The combinations libpng's IHDR check takes.
bool validHeader(const char *data)
{
    const quint32 width = bigEndian(data);
    const quint32 height = bigEndian(data + 4);
    const int depth = uchar(data[8]);
    const int colour = uchar(data[9]);
    if (width == 0 || height == 0 || width > maximumSide || height > maximumSide)
        return false;
    if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16)
        return false;
    switch (colour) {
    case 0: // grey
        break;
    case 3: // palette
        if (depth > 8)
            return false;
        break;
    case 2: // RGB
    case 4: // grey and alpha
    case 6: // RGBA
        if (depth < 8)
            return false;
        break;
    default:
        return false;
    }
    // Compression and filter method 0; no interlacing or Adam7.
    return data[10] == 0 && data[11] == 0 && uchar(data[12]) <= 1;
}

} // namespace

bool hasPngSignature(QIODevice &device)
{
    char start[8];
    return device.read(start, 8) == 8 && std::equal(start, start + 8, signature);
}

bool isSoundPng(QIODevice &device)
{
    if (!hasPngSignature(device))
        return false;
    QByteArray buffer;
    bool first = true;
    for (;;) {
        char head[8];
        if (device.read(head, 8) != 8)
            return false;
        const quint32 length = bigEndian(head);
        if (length > 0x7fffffffu)
            return false;
        const QByteArray type(head + 4, 4);
        if (first && (type != "IHDR" || length != 13))
            return false;
        // Critical chunks (an upper-case first letter) with a wrong checksum end the decoding;
        // for the others libpng only warns.
        const bool critical = (uchar(head[4]) & 0x20) == 0;
        quint32 crc = crcUpdate(0xffffffffu, head + 4, 4);
        qint64 left = length;
        while (left > 0) {
            buffer = device.read(qMin<qint64>(left, 64 * 1024));
            if (buffer.isEmpty())
                return false;
            if (first && !validHeader(buffer.constData()))
                return false;
            if (critical)
                crc = crcUpdate(crc, buffer.constData(), buffer.size());
            left -= buffer.size();
        }
        char stored[4];
        if (device.read(stored, 4) != 4)
            return false;
        if (critical && (crc ^ 0xffffffffu) != bigEndian(stored))
            return false;
        if (type == "IEND")
            return true;
        first = false;
    }
}

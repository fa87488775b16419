#include "probe/exif.h"

#include <cstring>

namespace {

class Tiff
{
public:
    Tiff(const uint8_t *data, size_t size)
        : data(data)
        , size(size)
    { }

    ExifFacts read() const
    {
        ExifFacts facts;
        if (size < 8)
            return facts;
        if (data[0] == 'I' && data[1] == 'I')
            little = true;
        else if (!(data[0] == 'M' && data[1] == 'M'))
            return facts;
        if (u16(2) != 42)
            return facts;
        uint32_t exifIfd = 0;
        forEachEntry(u32(4), [&](uint16_t tag, uint16_t type, uint32_t count, size_t value) {
            if (tag == 0x0112 && type == 3 && count >= 1) {
                const int o = u16(value);
                if (o >= 1 && o <= 8)
                    facts.orientation = o;
            } else if (tag == 0x8769 && type == 4 && count == 1) {
                exifIfd = u32(value);
            }
        });
        if (exifIfd != 0) {
            forEachEntry(exifIfd, [&](uint16_t tag, uint16_t type, uint32_t count, size_t value) {
                if (tag != 0x9003 || type != 2 || count < 2 || count > 64)
                    return;
                const size_t at = count > 4 ? u32(value) : value;
                if (at >= size || count > size - at)
                    return;
                std::string text(reinterpret_cast<const char *>(data + at), count);
                text.resize(std::strlen(text.c_str()));
                // Cameras without a clock write zeros or blanks.
                if (text.find_first_not_of(" :0") != std::string::npos)
                    facts.taken = text;
            });
        }
        return facts;
    }

private:
    // Calls visit(tag, type, count, offset of the value field) for each entry of the IFD.
    template<typename Visit> void forEachEntry(uint32_t offset, Visit visit) const
    {
        if (offset < 8 || offset > size || size - offset < 2)
            return;
        const size_t count = u16(offset);
        for (size_t i = 0; i < count && i < 512; ++i) {
            const size_t entry = offset + 2 + i * 12;
            if (entry + 12 > size)
                return;
            visit(u16(entry), u16(entry + 2), u32(entry + 4), entry + 8);
        }
    }

    uint16_t u16(size_t at) const
    {
        if (at + 2 > size)
            return 0;
        return little ? uint16_t(data[at] | data[at + 1] << 8)
                      : uint16_t(data[at] << 8 | data[at + 1]);
    }
    uint32_t u32(size_t at) const
    {
        if (at + 4 > size)
            return 0;
        const uint32_t a = data[at], b = data[at + 1], c = data[at + 2], d = data[at + 3];
        return little ? a | b << 8 | c << 16 | d << 24 : a << 24 | b << 16 | c << 8 | d;
    }

    const uint8_t *data;
    size_t size;
    mutable bool little = false;
};

uint32_t bigEndian32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

ExifFacts fromJpeg(const uint8_t *data, size_t size)
{
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xff)
            break;
        const uint8_t marker = data[at + 1];
        if (marker == 0xff) {
            ++at;
            continue;
        }
        // Start of scan or end of image: EXIF comes before both.
        if (marker == 0xda || marker == 0xd9)
            break;
        const size_t length = size_t(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || at + 2 + length > size)
            break;
        const uint8_t *segment = data + at + 4;
        if (marker == 0xe1 && length >= 8 && std::memcmp(segment, "Exif\0\0", 6) == 0)
            return Tiff(segment + 6, length - 8).read();
        at += 2 + length;
    }
    return {};
}

ExifFacts fromPng(const uint8_t *data, size_t size)
{
    size_t at = 8;
    while (at + 12 <= size) {
        const size_t length = bigEndian32(data + at);
        const uint8_t *type = data + at + 4;
        if (length > size - at - 12)
            break;
        if (std::memcmp(type, "eXIf", 4) == 0)
            return Tiff(data + at + 8, length).read();
        if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0)
            break;
        at += 12 + length;
    }
    return {};
}

} // namespace

ExifFacts readExif(const uint8_t *data, size_t size)
{
    if (size >= 4 && data[0] == 0xff && data[1] == 0xd8)
        return fromJpeg(data, size);
    if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
        return fromPng(data, size);
    return {};
}

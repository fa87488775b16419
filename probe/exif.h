#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What a photo's EXIF block says about when and how it was taken.
struct ExifFacts
{
    // DateTimeOriginal as written ("2021:07:14 18:02:33"); empty when absent or unset.
    std::string taken;
    // 1 to 8; 0 when absent.
    int orientation = 0;
};

// Reads the EXIF block of a JPEG (APP1) or PNG (eXIf) from the file's first bytes. Every offset
// is checked against `size`; a damaged block gives what could be read before the damage.
ExifFacts readExif(const uint8_t *data, size_t size);

// hearth-probe's EXIF reader, fed arbitrary bytes: as a whole file (JPEG or PNG), and as the
// TIFF block of a JPEG's APP1 segment, so the fuzzer reaches the IFDs without finding the
// wrapping first. The buffers are exact copies, so the sanitizer sees any read beyond them.
#include "probe/exif.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> whole(data, data + size);
    readExif(whole.data(), whole.size());

    if (size > 0xffff - 8)
        return 0;
    const size_t length = size + 8;
    std::vector<uint8_t> jpeg { 0xff, 0xd8, 0xff, 0xe1, uint8_t(length >> 8), uint8_t(length) };
    jpeg.insert(jpeg.end(), { 'E', 'x', 'i', 'f', 0, 0 });
    jpeg.insert(jpeg.end(), data, data + size);
    const ExifFacts facts = readExif(jpeg.data(), jpeg.size());
    if (facts.orientation < 0 || facts.orientation > 8 || facts.taken.size() > 64)
        std::abort();
    return 0;
}

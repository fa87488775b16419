// hearth-purge's entry decoder and wininit section edit, fed arbitrary entries. Buffers are
// allocated to their exact sizes so that the sanitizer sees any byte read or written beyond.
#include "purge/decoder.h"
#include "purge/wininitsection.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// One encoding of path as a launcher would write it.
std::vector<char> encode(const char *path, unsigned length)
{
    std::vector<char> out;
    for (unsigned i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (byte == '%' || byte == '&') {
            out.push_back(char(byte));
            out.push_back(char(byte));
        } else if (byte == '=' || byte == 0x80 || byte == 0x80 + '&') {
            // "&" would be followed by NUL or by itself: these go through "%" instead.
            out.push_back('%');
            out.push_back(char(byte + 64));
        } else if (byte >= 0x80) {
            out.push_back('&');
            out.push_back(char(byte - 128));
        } else {
            out.push_back(char(byte));
        }
    }
    out.push_back('\0');
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The entry ends at the first NUL, as in the environment block; the rest is a section.
    const auto *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t entryLength = nul ? size_t(nul - data) : size;
    std::vector<char> entry(data, data + entryLength);
    entry.push_back('\0');

    std::vector<char> path(purge::kPathBufferSize);
    const purge::DecodeResult result = purge::decodeEntry(entry.data(), path.data());
    require(result.length <= purge::kMaxPathBytes && path[result.length] == '\0');
    require(std::memchr(path.data(), 0, result.length) == nullptr);
    require(result.status != purge::Decoded::Cut || result.length == purge::kMaxPathBytes);
    if (result.status == purge::Decoded::Whole) {
        // Whatever a launcher could have meant decodes back to exactly that.
        const std::vector<char> again = encode(path.data(), result.length);
        std::vector<char> decoded(purge::kPathBufferSize);
        const purge::DecodeResult back = purge::decodeEntry(again.data(), decoded.data());
        require(back.status == purge::Decoded::Whole && back.length == result.length);
        require(std::memcmp(decoded.data(), path.data(), result.length) == 0);
    }

    // The section as the profile read returned it: what follows the entry, in a buffer with a
    // little room to spare (chosen by the entry's length) and not a byte more.
    if (!nul || result.length == 0)
        return 0;
    const std::vector<char> text(nul + 1, data + size);
    const unsigned count = unsigned(text.size());
    const unsigned bufferSize = count + unsigned(entryLength % 16) + result.length;
    std::vector<char> section(text);
    section.resize(bufferSize);
    const std::vector<char> before(section);
    const bool appended = purge::appendDeleteLine(section.data(), count, bufferSize, path.data());
    require(appended == (count + 4 + result.length + 2 <= bufferSize));
    if (!appended) {
        require(section == before); // no existing line lost, no cut line written
        return 0;
    }
    require(std::memcmp(section.data(), before.data(), count) == 0);
    require(std::memcmp(section.data() + count, "NUL=", 4) == 0);
    require(std::memcmp(section.data() + count + 4, path.data(), result.length + 1) == 0);
    require(section[count + 4 + result.length + 1] == '\0');
    return 0;
}

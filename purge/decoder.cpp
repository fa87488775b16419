#include "purge/decoder.h"

namespace purge {

DecodeResult decodeEntry(const char *entry, char *path)
{
    const auto *in = reinterpret_cast<const unsigned char *>(entry);
    unsigned length = 0;
    Decoded status = Decoded::Whole;
    while (*in != 0) {
        if (length == kMaxPathBytes) {
            status = Decoded::Cut;
            break;
        }
        unsigned char byte = *in++;
        if (byte == '%' || byte == '&') {
            const unsigned char next = *in;
            if (next == 0) {
                // Never step over the terminator; the launcher never ends an entry so.
                status = Decoded::DanglingEscape;
                break;
            }
            ++in;
            // "%" lifts the low bytes ("=" travels as "%}") by 64, "&" lowers the high ones by
            // 128; each pair gives back the byte the launcher escaped.
            if (next != byte)
                byte = static_cast<unsigned char>(next - (byte == '%' ? 64 : 128));
            if (byte == 0) {
                // A NUL inside the path would silently shorten it to another path.
                status = Decoded::NulByte;
                break;
            }
        }
        path[length++] = static_cast<char>(byte);
    }
    path[length] = '\0';
    return {length, status};
}

} // namespace purge

#pragma once

// Turns one entry of the environment block back into the path the launcher encoded.
namespace purge {

constexpr unsigned kPathBufferSize = 260;
// Two bytes of the buffer stay spare, as the launcher's format allows.
constexpr unsigned kMaxPathBytes = 258;

enum class Decoded {
    Whole,          // the entry decoded completely
    Cut,            // the path would be longer than kMaxPathBytes; the buffer holds its start
    DanglingEscape, // the entry ends in a lone "%" or "&"; the buffer holds what came before
    NulByte,        // an escape decodes to byte 0; the buffer holds what came before
};

struct DecodeResult {
    unsigned length; // bytes in the buffer before its terminator
    Decoded status;
};

// Decodes the NUL-terminated entry into path (kPathBufferSize bytes), always NUL-terminated.
// Only a Whole result names a path: the others would name something the launcher did not.
DecodeResult decodeEntry(const char *entry, char *path);

} // namespace purge

#pragma once

class QIODevice;

// Whether the device, from its current position, holds a PNG that the decoder takes without
// an error of libpng's own: the signature, a valid IHDR first, and every chunk through IEND
// whole, with the checksum of every critical chunk right. The toolkit's PNG reader leaves
// libpng's error handler at its default, which prints "libpng error: ..." straight to
// standard error, past the program's message handler; such a file is refused here instead.
// Reads the whole file.
bool isSoundPng(QIODevice &device);

// Whether the device, from its current position, starts with the PNG signature. Reads 8 bytes.
bool hasPngSignature(QIODevice &device);

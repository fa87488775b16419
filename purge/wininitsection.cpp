#include "purge/wininitsection.h"

namespace purge {

bool appendDeleteLine(char *section, unsigned count, unsigned size, const char *shortPath)
{
    static const char kKey[] = "NUL=";
    constexpr unsigned kKeyLength = sizeof kKey - 1;
    unsigned pathLength = 0;
    while (shortPath[pathLength] != '\0')
        ++pathLength;
    if (pathLength == 0 || count > size)
        return false;
    // The text, its terminator and the section's final empty line. A read that filled the
    // buffer (count of size - 2) was cut, so it never passes this test and is not written back.
    const unsigned long long needed = 0ULL + count + kKeyLength + pathLength + 2;
    if (needed > size)
        return false;
    unsigned at = count;
    for (unsigned i = 0; i < kKeyLength; ++i)
        section[at++] = kKey[i];
    for (unsigned i = 0; i < pathLength; ++i)
        section[at++] = shortPath[i];
    section[at++] = '\0';
    section[at] = '\0';
    return true;
}

} // namespace purge

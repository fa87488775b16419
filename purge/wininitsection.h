#pragma once

// Editing of the "rename" section of "wininit.ini", which the Windows 95/98/Me family reads at
// start-up; a line "NUL=<short path>" there deletes that file.
namespace purge {

constexpr unsigned kSectionBufferSize = 32767;

// section holds count bytes of section text as the profile read returned them (lines, each
// NUL-terminated; count stops on the final terminator). Appends the line "NUL=" + shortPath and
// ends the section with an empty line. Returns false and leaves the existing lines alone when
// the whole line and both terminators do not fit in size bytes: a cut line would name another
// file, and a section left without its final empty line would be read past its end.
bool appendDeleteLine(char *section, unsigned count, unsigned size, const char *shortPath);

} // namespace purge

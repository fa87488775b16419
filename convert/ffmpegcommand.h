#pragma once

#include "convert/conversionplan.h"

#include <QString>
#include <QStringList>

// The ffmpeg command line that carries out a plan, as an argument list: it is never given to a
// shell, and no file name can become an option or break the filter graph.
namespace FfmpegCommand {

// Where a conversion starts and ends in the source, in seconds (end < 0: to its end).
struct Span
{
    double start = 0;
    double end = -1;
};

// `input` is a path (made a `file:` URL, so "-x" or "a:b" stay names); `output` where the
// result goes ("pipe:1" for a client).
QStringList arguments(const ConversionPlan &plan, const QString &input, const Span &span = {},
    const QString &output = QStringLiteral("pipe:1"));

// A value placed inside a filter graph (`subtitles=filename=...`): escaped for the option
// parser and again for the graph's own.
QString filterValue(const QString &text);

// The ffmpeg program: on PATH on Linux, beside hearth.exe on Windows. Empty when none.
QString program();

} // namespace FfmpegCommand

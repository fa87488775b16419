#pragma once

#include "convert/clientprofile.h"
#include "convert/conversionplan.h"
#include "media/mediadetails.h"

#include <QByteArray>
#include <QSet>
#include <QString>

// What the decision may use beyond the file and the client.
struct DecisionOptions
{
    // The ffmpeg's encoders (`ffmpeg -encoders`). Its own (mpeg2video, aac, ac3, pcm_s16be,
    // flac) are in every build; libx264 and libmp3lame only where it was built with them.
    QSet<QByteArray> encoders = builtInEncoders();
    // The subtitle chosen for the video: a file beside it or a stream of it (-1: none).
    QString subtitleFile;
    int subtitleStream = -1;
    // The user wants subtitles burnt in for clients that cannot show them, and the ffmpeg can
    // (its `subtitles` filter, built with libass).
    bool burnSubtitles = false;
    bool canBurnSubtitles = false;
    // False when there is no ffmpeg to run: every file is offered as it is.
    bool converter = true;

    static QSet<QByteArray> builtInEncoders()
    {
        return { "mpeg2video", "aac", "ac3", "mp2", "pcm_s16be", "pcm_s16le", "flac" };
    }
};

// The least work that makes `file` play on a client of `profile`: the file as it is; else its
// streams copied into a container the client plays; else the failing stream converted; else
// both. Also what the client is told the result is (MIME type, DLNA profile, URL extension).
// Where the ffmpeg has no encoder for what the client needs, the file is offered as it is.
ConversionPlan decide(const MediaDetails &file, const QString &fileName,
    const ClientProfile &profile, const DecisionOptions &options = DecisionOptions());

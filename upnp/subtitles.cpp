#include "upnp/subtitles.h"

#include "upnp/didlwriter.h"
#include "upnp/objectid.h"
#include "upnp/upnppaths.h"

#include <QDir>

namespace {

// Samsung's fields, declared on the DIDL-Lite element as "sec".
const QString secNamespace = QStringLiteral("http://www.sec.co.kr/");

} // namespace

namespace Subtitles {

QList<EntryInfo> filesBeside(const EntryInfo &entry)
{
    QString root;
    QString relative;
    if (!Sidecars::folderOf(entry, &root, &relative))
        return {};
    return Sidecars::subtitleFiles(root, relative);
}

QList<Sidecars::Subtitle> among(const QList<EntryInfo> &files, const EntryInfo &video)
{
    return Sidecars::subtitlesFor(files, video.fileName());
}

QList<Sidecars::Subtitle> of(const EntryInfo &video)
{
    return among(filesBeside(video), video);
}

int chosen(const QList<Sidecars::Subtitle> &subtitles)
{
    for (qsizetype i = 0; i < subtitles.size(); ++i) {
        const QString &language = subtitles.at(i).language;
        if (language.isEmpty() || language == u"en" || language == u"eng")
            return int(i);
    }
    return subtitles.isEmpty() ? -1 : 0;
}

QByteArray path(const QByteArray &videoId, int index, const Sidecars::Subtitle &subtitle)
{
    return UpnpPaths::subtitlePrefix + videoId + '/' + QByteArray::number(index) + '.'
        + subtitle.format.toLatin1();
}

bool fromPath(QByteArrayView rest, ObjectId *id, int *index)
{
    const qsizetype slash = rest.indexOf('/');
    if (slash < 0 || !ObjectId::parse(rest.first(slash), id))
        return false;
    QByteArrayView number = rest.sliced(slash + 1);
    const qsizetype dot = number.indexOf('.');
    if (dot >= 0)
        number = number.first(dot);
    // A handful of digits: no sign, no spaces, nothing that overflows.
    if (number.isEmpty() || number.size() > 4)
        return false;
    for (const char c : number) {
        if (c < '0' || c > '9')
            return false;
    }
    *index = number.toInt();
    return true;
}

void write(DidlWriter &xml, const QByteArray &baseUrl, const QByteArray &videoId,
    const QList<Sidecars::Subtitle> &subtitles)
{
    for (qsizetype i = 0; i < subtitles.size(); ++i) {
        const Sidecars::Subtitle &subtitle = subtitles.at(i);
        xml.writeStartElement("res");
        xml.writeAttribute(
            "protocolInfo", "http-get:*:" + subtitle.mimeType.toLatin1() + QByteArrayLiteral(":*"));
        xml.writeCharacters(baseUrl + path(videoId, int(i), subtitle));
        xml.writeEndElement();
    }
    const int one = chosen(subtitles);
    if (one < 0)
        return;
    // Samsung's sets fetch this one and show it with the video.
    xml.writeStartElement(secNamespace, QStringLiteral("CaptionInfoEx"));
    xml.writeAttribute(secNamespace, QStringLiteral("type"), subtitles.at(one).format);
    xml.writeCharacters(QString::fromUtf8(baseUrl + path(videoId, one, subtitles.at(one))));
    xml.writeEndElement();
}

QList<Sidecars::Subtitle> Folders::of(const EntryInfo &video)
{
    const QString key = video.liveRoot() + QLatin1Char('\n') + video.absolutePath();
    auto folder = folders.constFind(key);
    if (folder == folders.constEnd()) {
        // Matching every video against every file would be quadratic in a folder of episodes
        // with a subtitle each.
        Files files;
        for (const EntryInfo &file : filesBeside(video)) {
            const QString name = file.fileName();
            const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
            if (dot <= 0)
                continue;
            const QString stem = name.first(dot).toCaseFolded();
            files[stem].append(file);
            const qsizetype language = stem.lastIndexOf(QLatin1Char('.'));
            if (language > 0)
                files[stem.first(language)].append(file);
        }
        folder = folders.insert(key, files);
    }
    const QString name = video.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const auto candidates = folder->constFind((dot > 0 ? name.first(dot) : name).toCaseFolded());
    return candidates == folder->constEnd() ? QList<Sidecars::Subtitle>()
                                            : among(*candidates, video);
}

} // namespace Subtitles

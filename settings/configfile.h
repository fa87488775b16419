#pragma once

#include <QByteArray>
#include <QDomDocument>
#include <QString>

// Where "hearth.xml" lives. A copy run from installedDir (where the package puts the program)
// keeps it in the per-user configuration directory, whoever runs it, so that nothing is
// written beside an installed program. A copy elsewhere (a build tree, an unpacked folder, a
// USB stick) keeps it beside itself in applicationDir, or in the per-user directory when that
// directory cannot be written.
QString configurationPath(const QString &applicationDir, const QString &installedDir);

// Where to read "hearth.xml" from: configurationPath, except that a file beside a copy whose
// folder cannot be written is read from there as long as the per-user one does not exist yet
// (the save then goes to the per-user file, which later starts read).
QString configurationReadPath(const QString &applicationDir, const QString &installedDir);

// What reading the configuration file gave.
struct ConfigurationRead
{
    // All that could be read: up to the first error of a broken file. Elements nested deeper
    // than anything the program reads are left out, so a hostile nesting costs nothing.
    QDomDocument document;
    // The file could be opened at all (a missing file is a first start).
    bool opened = false;
    // Not empty when the file must not be used at all, in words for the user: it is no
    // regular file (a directory, a device, a FIFO), cannot be read, is far larger than any
    // configuration, or nothing in it reads as one (a program, a video). Nothing of it is to
    // be used then, and it must not be kept aside, replaced or written.
    QString refusal;
    // Empty when the document holds the whole file; else why not, in words for the user.
    QString problem;
    // The file's bytes, for keeping a broken file aside; all of them only when bytesComplete.
    QByteArray bytes;
    bool bytesComplete = false;
};

// The document as writeConfigurationDocument writes it.
QByteArray serializeConfiguration(const QDomDocument &document);

// Reads and parses the file at path. Bytes that are not UTF-8 are taken as Latin-1
// characters (as an editor working in Latin-1 writes them) rather than end the reading there;
// the result then names that as its problem, since writing it back changes the file.
ConfigurationRead readConfiguration(const QString &path);

// Keeps the file that read came from beside it, unchanged, under the first free name of
// "hearth.xml.broken", "hearth.xml.broken.1", ...; never overwrites one. The new path, or an
// empty string with *error set.
QString keepAside(const QString &path, const ConfigurationRead &read, QString *error);

// Writes the document (UTF-8, indent 4, no declaration; the attributes of an element always
// in the same order) through a temporary file renamed over the old one, so a failed write
// keeps the previous file. The new file keeps the old one's owner and mode as far as the
// system permits. Characters that XML cannot hold are left out, so the file always reads
// back. True when it was replaced; else *error (if given) says why.
bool writeConfigurationDocument(
    const QString &path, const QDomDocument &document, QString *error = nullptr);

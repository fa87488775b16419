#pragma once

#include <QDomDocument>
#include <QString>

// Where "hearth.xml" lives: next to the executable in applicationDir, or, when that directory
// cannot be written (an installed copy), in the per-user configuration directory.
QString configurationPath(const QString &applicationDir);

// The parsed file; opened tells whether the file could be opened at all (a file that opens
// but does not parse still counts as opened, and the document holds what was read).
// Elements nested deeper than anything the program reads are left out, so a hostile
// nesting costs nothing.
QDomDocument readConfigurationDocument(const QString &path, bool *opened);

// Writes the document (UTF-8, indent 4, no declaration) through a temporary file renamed
// over the old one, so a failed write keeps the previous file. Characters that XML cannot
// hold are left out, so the file always reads back. True when it was replaced.
bool writeConfigurationDocument(const QString &path, const QDomDocument &document);

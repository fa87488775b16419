#include "library/userprompts.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QInputDialog>

#include <cstdio>

namespace {

void tellStandardError(const QString &title, const QString &text)
{
    const QByteArray line = (title + QLatin1String(": ") + text + QLatin1Char('\n')).toLocal8Bit();
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}

// The answer a person gives by closing the box.
QMessageBox::StandardButton refusal(QMessageBox::StandardButtons buttons)
{
    for (auto b : { QMessageBox::Cancel, QMessageBox::No, QMessageBox::Close, QMessageBox::Ok }) {
        if (buttons.testFlag(b))
            return b;
    }
    return QMessageBox::NoButton;
}

} // namespace

bool QtUserPrompts::headless()
{
    return QGuiApplication::platformName() == QLatin1String("offscreen")
        || QGuiApplication::platformName() == QLatin1String("minimal");
}

QMessageBox::StandardButton QtUserPrompts::message(QMessageBox::Icon icon, QWidget *parent,
    const QString &title, const QString &text, QMessageBox::StandardButtons buttons)
{
    if (headless()) {
        tellStandardError(title, text);
        return refusal(buttons);
    }
    QMessageBox box(icon, title, text, buttons, parent);
    const int result = box.exec();
    return static_cast<QMessageBox::StandardButton>(result);
}

QString QtUserPrompts::getText(
    QWidget *parent, const QString &title, const QString &label, bool *ok)
{
    if (headless()) {
        tellStandardError(title, label);
        if (ok)
            *ok = false;
        return QString();
    }
    return QInputDialog::getText(parent, title, label, QLineEdit::Normal, QString(), ok);
}

QStringList QtUserPrompts::getOpenFileNames(
    QWidget *parent, const QString &caption, const QString &directory, const QString &filter)
{
    if (headless()) {
        tellStandardError(caption, filter);
        return {};
    }
    return QFileDialog::getOpenFileNames(parent, caption, directory, filter);
}

QString QtUserPrompts::getExistingDirectory(
    QWidget *parent, const QString &caption, const QString &directory)
{
    if (headless()) {
        tellStandardError(caption, directory);
        return QString();
    }
    return QFileDialog::getExistingDirectory(parent, caption, directory, QFileDialog::Options());
}

#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

// Every message box and dialog that the library views and start-up open goes through here,
// so tests can answer them without a modal loop.
class UserPrompts
{
public:
    virtual ~UserPrompts() = default;

    // A message box of the given icon; returns the button chosen (the escape button when
    // it was closed).
    virtual QMessageBox::StandardButton message(QMessageBox::Icon icon, QWidget *parent,
        const QString &title, const QString &text, QMessageBox::StandardButtons buttons)
        = 0;
    // A one-line text; ok is false when cancelled.
    virtual QString getText(QWidget *parent, const QString &title, const QString &label, bool *ok)
        = 0;
    virtual QStringList getOpenFileNames(
        QWidget *parent, const QString &caption, const QString &directory, const QString &filter)
        = 0;
    // An empty string when cancelled.
    virtual QString getExistingDirectory(
        QWidget *parent, const QString &caption, const QString &directory)
        = 0;
};

// The real dialogs. Without a display (the offscreen platform) nobody could answer a modal
// box, so there each prompt writes its title and text to standard error and returns the
// refusing answer at once.
class QtUserPrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton message(QMessageBox::Icon icon, QWidget *parent,
        const QString &title, const QString &text, QMessageBox::StandardButtons buttons) override;
    QString getText(QWidget *parent, const QString &title, const QString &label, bool *ok) override;
    QStringList getOpenFileNames(QWidget *parent, const QString &caption, const QString &directory,
        const QString &filter) override;
    QString getExistingDirectory(
        QWidget *parent, const QString &caption, const QString &directory) override;

private:
    static bool headless();
};

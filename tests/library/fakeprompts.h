#pragma once

#include "library/userprompts.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Answers every prompt from what the test queued, and records what was asked.
class FakePrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton message(QMessageBox::Icon, QWidget *, const QString &title,
        const QString &text, QMessageBox::StandardButtons) override
    {
        messages.append({ title, text });
        return messageAnswers.isEmpty() ? QMessageBox::Ok : messageAnswers.takeFirst();
    }
    QString getText(QWidget *, const QString &title, const QString &, bool *ok) override
    {
        asked.append(title);
        if (ok)
            *ok = textAccepted;
        return text;
    }
    QStringList getOpenFileNames(QWidget *, const QString &caption, const QString &,
        const QString &filter) override
    {
        asked.append(caption);
        lastFilter = filter;
        return files;
    }
    QString getExistingDirectory(QWidget *, const QString &caption, const QString &) override
    {
        asked.append(caption);
        return directory;
    }

    QList<QPair<QString, QString>> messages;
    QList<QMessageBox::StandardButton> messageAnswers;
    QStringList asked;
    QString lastFilter;

    QString text;
    bool textAccepted = true;
    QStringList files;
    QString directory;
};

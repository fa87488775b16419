#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// One control request: the action element of a SOAP envelope and its arguments.
struct SoapAction
{
    QString serviceType; // the action element's namespace
    QString name;
    QList<std::pair<QString, QString>> arguments;

    // The argument's text; a null string when it is absent.
    QString argument(const QString &argumentName) const;
};

// Output arguments: element names and UTF-8 values (escaped when written). A listing is
// megabytes: kept in UTF-8 from end to end it is never held twice as wide.
using SoapArguments = QList<std::pair<QByteArray, QByteArray>>;

// Appends UTF-8 text escaped for XML character data and attribute values.
void appendEscaped(QByteArray *out, const QByteArray &text);

// What the control URL answers: 200 with a response envelope, or 500 with a UPnP fault.
struct SoapReply
{
    int status = 200;
    QByteArray body;

    static SoapReply response(const SoapAction &action, const SoapArguments &arguments);
    // A response written in place: opened up to the text of its first argument, which the
    // caller appends already escaped, then closed with the rest. A listing of megabytes is
    // then never copied.
    static SoapReply openResponse(
        const SoapAction &action, const QByteArray &argument, qsizetype reserve);
    void closeResponse(
        const SoapAction &action, const QByteArray &argument, const SoapArguments &rest);
    static SoapReply fault(int errorCode, const QString &description);
};

// Reads the envelope without DTDs or entity references (either makes it unreadable); false
// when the body is not a SOAP envelope carrying one action.
bool parseSoapAction(const QByteArray &body, SoapAction *action);

#pragma once

#include "convert/clientprofiles.h"

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QUrl>

class QNetworkAccessManager;

// What clients' own device descriptions say of them (maker, model, name): a TV that renders
// announces where its description is, and many a TV sends no User-Agent that tells its kind.
// Each neighbour's description is read at most once in a while, small and soon or not at all.
class ClientDescriptions : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxBytes = 64 * 1024;
    static constexpr int timeoutMs = 5000;
    static constexpr int maxAddresses = 256;
    static constexpr qint64 againAfterSeconds = 30 * 60;

    explicit ClientDescriptions(QObject *parent = nullptr);

    // The hints a device description gives; empty when the text is none.
    static ClientHints hintsOf(const QByteArray &description);

public slots:
    // Reads the description at `location` unless that address's was read lately.
    void announced(const QHostAddress &peer, const QUrl &location);

signals:
    void described(const QHostAddress &peer, const ClientHints &hints);

private:
    QNetworkAccessManager *network = nullptr;
    // When each address's description was last asked for.
    QHash<QString, QDateTime> asked;
};

#pragma once

#include "convert/clientregistry.h"
#include "picture/pictureformat.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QDomDocument;

// Every user setting, normalised as it is set; receivers learn of changes through its
// signals. Reads and writes its own "settings" element of the configuration file.
class Settings : public QObject
{
    Q_OBJECT

public:
    enum TvSystem : uint { PAL = 0, NTSC = 1, HDTV_720 = 2, HDTV_1080 = 3 };
    enum TvFormat : uint { NORMAL = 0, WIDESCREEN = 1 };

    // defaultServerName stands in for a name that is empty or blank.
    explicit Settings(const QString &defaultServerName);

    TvSystem tvSystem() const { return tvSystemValue; }
    TvFormat tvFormat() const { return tvFormatValue; }
    bool scale() const { return scaleValue; }
    bool squarePixels() const { return squarePixelsValue; }
    bool compress() const { return compressValue; }
    uint compressMin() const { return compressMinValue; }
    uint compressMax() const { return compressMaxValue; }
    QString serverName() const { return serverNameValue; }
    // Whether DLNA clients (smart TVs, consoles, phones) are served too, and the identity
    // ("uuid:...") they know this server by; made once and kept in the file.
    bool serveUpnp() const { return serveUpnpValue; }
    QString upnpUdn() const { return upnpUdnValue; }
    // Whether files a DLNA client cannot play are converted for it, how many conversions may
    // run at once, and the user's choice of profile for particular clients.
    bool conversionEnabled() const { return conversionEnabledValue; }
    int conversionLimit() const { return conversionLimitValue; }
    QList<ClientOverride> clientOverrides() const { return clientOverridesValue; }
    // One conversion per two cores, at least one.
    static int defaultConversionLimit();
    static constexpr int maximumConversionLimit = 16;
    // Video, audio and pictures filter texts, in that order.
    QStringList extensions() const;
    static QStringList defaultExtensions();

    // Derived from the TV system and format, never stored.
    uint width() const;
    uint height() const;
    double screenRatio() const;
    // How pictures are prepared for the television these settings describe.
    PictureFormat pictureFormat() const;

    void setScaling(uint tvSystem, uint tvFormat, bool scale, bool squarePixels, bool compress);
    void setServerName(const QString &name);
    void setExtensions(const QString &video, const QString &audio, const QString &pictures);
    void setServeUpnp(bool serve);
    void setConversionEnabled(bool enabled);
    // Bounded to 1..maximumConversionLimit.
    void setConversionLimit(int limit);
    // Choices with an empty client or profile are dropped; a later choice for the same client
    // replaces an earlier one. A profile id that no profile file has is kept as given.
    void setClientOverrides(const QList<ClientOverride> &overrides);

    void loadXml(const QDomDocument &document);
    void saveXml(QDomDocument &document) const;

    static QString tvSystemWord(uint code);
    static QString tvFormatWord(uint code);

signals:
    void scalingSettingsChanged(const PictureFormat &format);
    void serverNameChanged(const QString &name);
    void videoExtensionsChanged(const QString &filter);
    void audioExtensionsChanged(const QString &filter);
    void pictureExtensionsChanged(const QString &filter);
    void serveUpnpChanged(bool serve);
    void conversionEnabledChanged(bool enabled);
    void conversionLimitChanged(int limit);
    void clientOverridesChanged(const QList<ClientOverride> &overrides);

private:
    void emitScaling();

    TvSystem tvSystemValue = PAL;
    TvFormat tvFormatValue = WIDESCREEN;
    bool scaleValue = true;
    bool squarePixelsValue = false;
    bool compressValue = true;
    uint compressMinValue = 16;
    uint compressMaxValue = 235;
    QString defaultName;
    QString serverNameValue;
    QString videoExtensionsValue;
    QString audioExtensionsValue;
    QString pictureExtensionsValue;
    bool serveUpnpValue = true;
    QString upnpUdnValue;
    bool conversionEnabledValue = true;
    int conversionLimitValue = defaultConversionLimit();
    QList<ClientOverride> clientOverridesValue;
};

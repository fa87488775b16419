#include "upnp/description.h"

#include <QBuffer>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSysInfo>
#include <QXmlStreamWriter>

#include <initializer_list>

namespace {
struct Argument
{
    const char *name;
    bool out;
    const char *variable;
};

struct Action
{
    const char *name;
    std::initializer_list<Argument> arguments;
};

struct Variable
{
    const char *name;
    const char *type;
    bool evented;
    std::initializer_list<const char *> allowed = {};
};

struct Service
{
    UpnpService service;
    const char *type;
    const char *id;
    QByteArray scpd;
    QByteArray control;
    QByteArray event;
};

const Service services[] = {
    { UpnpService::ContentDirectory, "urn:schemas-upnp-org:service:ContentDirectory:1",
        "urn:upnp-org:serviceId:ContentDirectory", UpnpPaths::contentDirectoryScpd,
        UpnpPaths::contentDirectoryControl, UpnpPaths::contentDirectoryEvent },
    { UpnpService::ConnectionManager, "urn:schemas-upnp-org:service:ConnectionManager:1",
        "urn:upnp-org:serviceId:ConnectionManager", UpnpPaths::connectionManagerScpd,
        UpnpPaths::connectionManagerControl, UpnpPaths::connectionManagerEvent },
    { UpnpService::MediaReceiverRegistrar,
        "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1",
        "urn:microsoft.com:serviceId:X_MS_MediaReceiverRegistrar", UpnpPaths::registrarScpd,
        UpnpPaths::registrarControl, UpnpPaths::registrarEvent },
};

struct Icon
{
    const char *name;
    const char *mimeType;
    int size;
    const char *format;
};

const Icon icons[] = {
    { "48.png", "image/png", 48, "PNG" },
    { "120.png", "image/png", 120, "PNG" },
    { "48.jpg", "image/jpeg", 48, "JPEG" },
    { "120.jpg", "image/jpeg", 120, "JPEG" },
};

void writeText(QXmlStreamWriter &xml, const char *name, const QString &text)
{
    xml.writeTextElement(QLatin1String(name), text);
}

void writeText(QXmlStreamWriter &xml, const char *name, const char *text)
{
    xml.writeTextElement(QLatin1String(name), QLatin1String(text));
}

QString versionText()
{
    return QString::number(HEARTH_VERSION_MAJOR) + QLatin1Char('.')
        + QString::number(HEARTH_VERSION_MINOR) + QLatin1Char('.')
        + QString::number(HEARTH_VERSION_PATCH);
}

QByteArray scpd(std::initializer_list<Action> actions, std::initializer_list<Variable> variables)
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(QStringLiteral("urn:schemas-upnp-org:service-1-0"));
    xml.writeStartElement(QStringLiteral("scpd"));
    xml.writeStartElement(QStringLiteral("specVersion"));
    writeText(xml, "major", "1");
    writeText(xml, "minor", "0");
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("actionList"));
    for (const Action &action : actions) {
        xml.writeStartElement(QStringLiteral("action"));
        writeText(xml, "name", action.name);
        if (action.arguments.size() > 0) {
            xml.writeStartElement(QStringLiteral("argumentList"));
            for (const Argument &argument : action.arguments) {
                xml.writeStartElement(QStringLiteral("argument"));
                writeText(xml, "name", argument.name);
                writeText(xml, "direction", argument.out ? "out" : "in");
                writeText(xml, "relatedStateVariable", argument.variable);
                xml.writeEndElement();
            }
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("serviceStateTable"));
    for (const Variable &variable : variables) {
        xml.writeStartElement(QStringLiteral("stateVariable"));
        xml.writeAttribute(QStringLiteral("sendEvents"),
            variable.evented ? QStringLiteral("yes") : QStringLiteral("no"));
        writeText(xml, "name", variable.name);
        writeText(xml, "dataType", variable.type);
        if (variable.allowed.size() > 0) {
            xml.writeStartElement(QStringLiteral("allowedValueList"));
            for (const char *value : variable.allowed)
                writeText(xml, "allowedValue", value);
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

QByteArray contentDirectory()
{
    constexpr bool in = false;
    constexpr bool out = true;
    return scpd(
        {
            { "GetSearchCapabilities", { { "SearchCaps", out, "SearchCapabilities" } } },
            { "GetSortCapabilities", { { "SortCaps", out, "SortCapabilities" } } },
            { "GetSystemUpdateID", { { "Id", out, "SystemUpdateID" } } },
            { "Browse",
                {
                    { "ObjectID", in, "A_ARG_TYPE_ObjectID" },
                    { "BrowseFlag", in, "A_ARG_TYPE_BrowseFlag" },
                    { "Filter", in, "A_ARG_TYPE_Filter" },
                    { "StartingIndex", in, "A_ARG_TYPE_Index" },
                    { "RequestedCount", in, "A_ARG_TYPE_Count" },
                    { "SortCriteria", in, "A_ARG_TYPE_SortCriteria" },
                    { "Result", out, "A_ARG_TYPE_Result" },
                    { "NumberReturned", out, "A_ARG_TYPE_Count" },
                    { "TotalMatches", out, "A_ARG_TYPE_Count" },
                    { "UpdateID", out, "A_ARG_TYPE_UpdateID" },
                } },
            { "Search",
                {
                    { "ContainerID", in, "A_ARG_TYPE_ObjectID" },
                    { "SearchCriteria", in, "A_ARG_TYPE_SearchCriteria" },
                    { "Filter", in, "A_ARG_TYPE_Filter" },
                    { "StartingIndex", in, "A_ARG_TYPE_Index" },
                    { "RequestedCount", in, "A_ARG_TYPE_Count" },
                    { "SortCriteria", in, "A_ARG_TYPE_SortCriteria" },
                    { "Result", out, "A_ARG_TYPE_Result" },
                    { "NumberReturned", out, "A_ARG_TYPE_Count" },
                    { "TotalMatches", out, "A_ARG_TYPE_Count" },
                    { "UpdateID", out, "A_ARG_TYPE_UpdateID" },
                } },
            { "X_GetFeatureList", { { "FeatureList", out, "A_ARG_TYPE_Featurelist" } } },
            { "X_SetBookmark",
                {
                    { "CategoryType", in, "A_ARG_TYPE_CategoryType" },
                    { "RID", in, "A_ARG_TYPE_RID" },
                    { "ObjectID", in, "A_ARG_TYPE_ObjectID" },
                    { "PosSecond", in, "A_ARG_TYPE_PosSec" },
                } },
        },
        {
            { "SearchCapabilities", "string", false },
            { "SortCapabilities", "string", false },
            { "SystemUpdateID", "ui4", true },
            { "A_ARG_TYPE_ObjectID", "string", false },
            { "A_ARG_TYPE_Result", "string", false },
            { "A_ARG_TYPE_BrowseFlag", "string", false,
                { "BrowseMetadata", "BrowseDirectChildren" } },
            { "A_ARG_TYPE_Filter", "string", false },
            { "A_ARG_TYPE_SortCriteria", "string", false },
            { "A_ARG_TYPE_SearchCriteria", "string", false },
            { "A_ARG_TYPE_Index", "ui4", false },
            { "A_ARG_TYPE_Count", "ui4", false },
            { "A_ARG_TYPE_UpdateID", "ui4", false },
            { "A_ARG_TYPE_Featurelist", "string", false },
            { "A_ARG_TYPE_CategoryType", "ui4", false },
            { "A_ARG_TYPE_RID", "ui4", false },
            { "A_ARG_TYPE_PosSec", "ui4", false },
        });
}

QByteArray connectionManager()
{
    constexpr bool in = false;
    constexpr bool out = true;
    return scpd(
        {
            { "GetProtocolInfo",
                { { "Source", out, "SourceProtocolInfo" }, { "Sink", out, "SinkProtocolInfo" } } },
            { "GetCurrentConnectionIDs", { { "ConnectionIDs", out, "CurrentConnectionIDs" } } },
            { "GetCurrentConnectionInfo",
                {
                    { "ConnectionID", in, "A_ARG_TYPE_ConnectionID" },
                    { "RcsID", out, "A_ARG_TYPE_RcsID" },
                    { "AVTransportID", out, "A_ARG_TYPE_AVTransportID" },
                    { "ProtocolInfo", out, "A_ARG_TYPE_ProtocolInfo" },
                    { "PeerConnectionManager", out, "A_ARG_TYPE_ConnectionManager" },
                    { "PeerConnectionID", out, "A_ARG_TYPE_ConnectionID" },
                    { "Direction", out, "A_ARG_TYPE_Direction" },
                    { "Status", out, "A_ARG_TYPE_ConnectionStatus" },
                } },
        },
        {
            { "SourceProtocolInfo", "string", true },
            { "SinkProtocolInfo", "string", true },
            { "CurrentConnectionIDs", "string", true },
            { "A_ARG_TYPE_ConnectionStatus", "string", false,
                { "OK", "ContentFormatMismatch", "InsufficientBandwidth", "UnreliableChannel",
                    "Unknown" } },
            { "A_ARG_TYPE_ConnectionManager", "string", false },
            { "A_ARG_TYPE_Direction", "string", false, { "Input", "Output" } },
            { "A_ARG_TYPE_ProtocolInfo", "string", false },
            { "A_ARG_TYPE_ConnectionID", "i4", false },
            { "A_ARG_TYPE_AVTransportID", "i4", false },
            { "A_ARG_TYPE_RcsID", "i4", false },
        });
}

QByteArray registrar()
{
    constexpr bool in = false;
    constexpr bool out = true;
    return scpd(
        {
            { "IsAuthorized",
                { { "DeviceID", in, "A_ARG_TYPE_DeviceID" },
                    { "Result", out, "A_ARG_TYPE_Result" } } },
            { "RegisterDevice",
                {
                    { "RegistrationReqMsg", in, "A_ARG_TYPE_RegistrationReqMsg" },
                    { "RegistrationRespMsg", out, "A_ARG_TYPE_RegistrationRespMsg" },
                } },
            { "IsValidated",
                { { "DeviceID", in, "A_ARG_TYPE_DeviceID" },
                    { "Result", out, "A_ARG_TYPE_Result" } } },
        },
        {
            { "A_ARG_TYPE_DeviceID", "string", false },
            { "A_ARG_TYPE_Result", "int", false },
            { "A_ARG_TYPE_RegistrationReqMsg", "bin.base64", false },
            { "A_ARG_TYPE_RegistrationRespMsg", "bin.base64", false },
            { "AuthorizationGrantedUpdateID", "ui4", true },
            { "AuthorizationDeniedUpdateID", "ui4", true },
            { "ValidationSucceededUpdateID", "ui4", true },
            { "ValidationRevokedUpdateID", "ui4", true },
        });
}

// The application icon drawn at `size` pixels; JPEG has no transparency, so it gets a white
// ground.
QByteArray renderIcon(const Icon &icon)
{
    const QImage source(icon.size > 48 ? QStringLiteral(":/images/app_icon_256.png")
                                       : QStringLiteral(":/images/app_icon_48.png"));
    if (source.isNull())
        return {};
    QImage image(icon.size, icon.size, QImage::Format_ARGB32_Premultiplied);
    image.fill(qstrcmp(icon.format, "JPEG") == 0 ? Qt::white : Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(0, 0, icon.size, icon.size), source);
    }
    if (qstrcmp(icon.format, "JPEG") == 0)
        image = image.convertToFormat(QImage::Format_RGB32);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, icon.format, 90);
    return data;
}
} // namespace

QByteArray deviceDescription(const QString &friendlyName, const QString &udn)
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(QStringLiteral("urn:schemas-upnp-org:device-1-0"));
    xml.writeNamespace(QStringLiteral("urn:schemas-dlna-org:device-1-0"), QStringLiteral("dlna"));
    xml.writeNamespace(QStringLiteral("http://www.sec.co.kr/dlna"), QStringLiteral("sec"));
    xml.writeStartElement(QStringLiteral("root"));
    xml.writeStartElement(QStringLiteral("specVersion"));
    writeText(xml, "major", "1");
    writeText(xml, "minor", "0");
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("device"));
    writeText(xml, "deviceType", "urn:schemas-upnp-org:device:MediaServer:1");
    // UPnP devices keep friendlyName under 64 characters.
    writeText(xml, "friendlyName", friendlyName.left(64));
    writeText(xml, "manufacturer", "Vela Hearth");
    writeText(xml, "modelDescription", "Vela Hearth media server");
    writeText(xml, "modelName", "Vela Hearth");
    writeText(xml, "modelNumber", versionText());
    writeText(xml, "UDN", udn);
    xml.writeTextElement(QStringLiteral("urn:schemas-dlna-org:device-1-0"),
        QStringLiteral("X_DLNADOC"), QStringLiteral("DMS-1.50"));
    // Samsung's sets ask a video's answer for its subtitle (getCaptionInfo.sec) only of a
    // server that says it tells it.
    for (const char *name : { "ProductCap", "X_ProductCap" }) {
        xml.writeTextElement(QStringLiteral("http://www.sec.co.kr/dlna"), QLatin1String(name),
            QStringLiteral("getCaptionInfo.sec"));
    }
    xml.writeStartElement(QStringLiteral("iconList"));
    for (const Icon &icon : icons) {
        xml.writeStartElement(QStringLiteral("icon"));
        writeText(xml, "mimetype", icon.mimeType);
        writeText(xml, "width", QString::number(icon.size));
        writeText(xml, "height", QString::number(icon.size));
        writeText(xml, "depth", "24");
        writeText(xml, "url", QString::fromLatin1(UpnpPaths::iconsPrefix + icon.name));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("serviceList"));
    for (const Service &service : services) {
        xml.writeStartElement(QStringLiteral("service"));
        writeText(xml, "serviceType", service.type);
        writeText(xml, "serviceId", service.id);
        writeText(xml, "SCPDURL", QString::fromLatin1(service.scpd));
        writeText(xml, "controlURL", QString::fromLatin1(service.control));
        writeText(xml, "eventSubURL", QString::fromLatin1(service.event));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement(); // device
    xml.writeEndElement(); // root
    xml.writeEndDocument();
    return out;
}

QByteArray serviceDescription(UpnpService service)
{
    switch (service) {
    case UpnpService::ContentDirectory: {
        static const QByteArray text = contentDirectory();
        return text;
    }
    case UpnpService::ConnectionManager: {
        static const QByteArray text = connectionManager();
        return text;
    }
    case UpnpService::MediaReceiverRegistrar: {
        static const QByteArray text = registrar();
        return text;
    }
    }
    return {};
}

QByteArray iconData(QByteArrayView path, QByteArray *mimeType)
{
    if (path.startsWith(UpnpPaths::iconsPrefix))
        path = path.sliced(UpnpPaths::iconsPrefix.size());
    // Drawn once, on first use (on the main thread, like every request).
    static QHash<QByteArray, QByteArray> drawn;
    for (const Icon &icon : icons) {
        if (path != QByteArrayView(icon.name))
            continue;
        auto it = drawn.find(icon.name);
        if (it == drawn.end())
            it = drawn.insert(icon.name, renderIcon(icon));
        if (it->isEmpty())
            return {};
        if (mimeType)
            *mimeType = icon.mimeType;
        return *it;
    }
    return {};
}

QByteArray serverWord()
{
    QString os = QSysInfo::kernelType();
    if (!os.isEmpty())
        os[0] = os[0].toUpper();
    return (os + QLatin1Char('/') + QSysInfo::kernelVersion()).toLatin1()
        + " UPnP/1.0 DLNADOC/1.50 VelaHearth/" + QByteArray::number(HEARTH_VERSION_MAJOR) + '.'
        + QByteArray::number(HEARTH_VERSION_MINOR) + '.' + QByteArray::number(HEARTH_VERSION_PATCH);
}

#include "app/startup.h"

#include "app/quitsignals.h"
#include "library/userprompts.h"
#include "net/udpserver.h"
#include "picture/picturecache.h"
#include "settings/configfile.h"
#include "settings/settings.h"

#include <QApplication>
#include <QDomDocument>

#include <memory>

namespace {

QString listenError(const char *protocol, quint16 port)
{
    return QLatin1String("Unable to listen on ") + QLatin1String(protocol)
        + QLatin1String(" port ") + QString::number(port)
        + QLatin1String(", probably because another process is doing so already.");
}

} // namespace

bool loadConfiguration(QList<TreeWidget *> &libraries, Settings &settings, const QString &path,
    UserPrompts *prompts)
{
    Q_UNUSED(libraries);
    Q_UNUSED(prompts);
    bool opened = false;
    const QDomDocument document = readConfigurationDocument(path, &opened);
    settings.loadXml(document);
    return opened;
}

void saveConfiguration(const QList<TreeWidget *> &libraries, const Settings &settings,
    const QString &path)
{
    Q_UNUSED(libraries);
    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    settings.saveXml(document);
    writeConfigurationDocument(path, document);
}

int runHearth(const HearthOptions &options)
{
    UserPrompts *prompts = options.prompts ? options.prompts : QtUserPrompts::shared();
    const QString configPath = configurationPath(options.applicationDir);

    QList<TreeWidget *> libraries;
    auto settings = std::make_unique<Settings>();
    /* fileOpened */ loadConfiguration(libraries, *settings, configPath, prompts);

    auto pictureCache = std::make_unique<PictureCache>(settings->width(), settings->height(),
        settings->screenRatio(), settings->scale(), settings->squarePixels(),
        settings->compress(), settings->compressMin(), settings->compressMax());
    QObject::connect(settings.get(), &Settings::scalingSettingsChanged, pictureCache.get(),
        &PictureCache::setFormat);

    auto udpServer = std::make_unique<UDPServer>(settings->serverName(), options.udpPort);
    QObject::connect(settings.get(), &Settings::serverNameChanged, udpServer.get(),
        &UDPServer::setServerName);
    if (!udpServer->bind()) {
        prompts->message(QMessageBox::Critical, nullptr, QStringLiteral("Hearth Network Error"),
            listenError("UDP", options.udpPort), QMessageBox::Ok);
        return 1;
    }

    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, qApp, [&] {
        saveConfiguration(libraries, *settings, configPath);
        QCoreApplication::quit();
    });

    return QCoreApplication::exec();
}

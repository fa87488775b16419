#include "app/startup.h"

#include "app/mainwindow.h"
#include "app/productstrings.h"
#include "app/quitsignals.h"
#include "convert/clientprofiles.h"
#include "convert/clientregistry.h"
#include "convert/conversions.h"
#include "convert/ffmpegcapabilities.h"
#include "convert/ffmpegcommand.h"
#include "library/treewidget.h"
#include "library/userprompts.h"
#include "media/mediacache.h"
#include "media/mediainfo.h"
#include "media/mediaprober.h"
#include "media/musiclibrary.h"
#include "media/probersource.h"
#include "net/tcpserver.h"
#include "net/udpserver.h"
#include "picture/picturecache.h"
#include "settings/configfile.h"
#include "settings/configlog.h"
#include "settings/settings.h"
#include "upnp/mediaserver.h"

#include <QApplication>
#include <QDir>
#include <QDomDocument>
#include <QPointer>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

QString listenError(const char *protocol, quint16 port)
{
    return QLatin1String("Unable to listen on ") + QLatin1String(protocol) + QLatin1String(" port ")
        + QString::number(port)
        + QLatin1String(", probably because another process is doing so already.");
}

// The library views belong to the main window once it has them in its tabs; until then
// (a start-up that ends early) this deletes them.
struct UnownedViews
{
    QList<TreeWidget *> &views;
    bool adopted = false;
    ~UnownedViews()
    {
        if (!adopted)
            qDeleteAll(views);
    }
};

// What to tell the user about a file that could not be read whole, once it is kept aside.
QString brokenFileNotice(
    const QString &path, const QString &problem, const QString &keptAs, const QString &keepError)
{
    QString text = QLatin1String("The configuration file ") + QDir::toNativeSeparators(path)
        + QLatin1String(" could not be read whole (") + problem + QLatin1String(").\n");
    if (!keptAs.isEmpty()) {
        text += QLatin1String("It was kept unchanged as ") + QDir::toNativeSeparators(keptAs)
            + QLatin1String(". ");
    } else if (!keepError.isEmpty()) {
        text += QLatin1String("It could not be kept aside (") + keepError
            + QLatin1String("); it is tried again at quit, and the file is not overwritten "
                            "unless that succeeds. ");
    } else {
        return text
            + QLatin1String("It is left as it was; Vela Hearth goes on with what could be "
                            "read, and saves that elsewhere.");
    }
    return text
        + QLatin1String("Vela Hearth goes on with what could be read, and writes the "
                        "configuration file from that when it quits.");
}

QString refusalText(const QString &path, const QString &why)
{
    return QLatin1String("The configuration file ") + QDir::toNativeSeparators(path)
        + QLatin1String(" cannot be used: ") + why
        + QLatin1String(".\nVela Hearth did not start and left it as it was. Name a "
                        "configuration file with --config, or move this one away.");
}

} // namespace

QString configurationErrorTitle()
{
    return QStringLiteral("Hearth Configuration Error");
}

bool loadConfiguration(QList<TreeWidget *> &libraries, Settings &settings, const QString &path,
    UserPrompts &prompts, ConfigurationLoad *load, const QString &savePath)
{
    ConfigurationLoad ignored;
    ConfigurationLoad &result = load ? *load : ignored;
    result = ConfigurationLoad();
    auto read = std::make_shared<ConfigurationRead>(readConfiguration(path));
    if (!read->refusal.isEmpty())
        result.refusal = refusalText(path, read->refusal);
    const bool overwritten = savePath.isEmpty() || savePath == path;
    if (!read->problem.isEmpty()) {
        // Kept before anything can overwrite it: the save at quit writes only what was read.
        QString keepError;
        const QString keptAs = overwritten ? keepAside(path, *read, &keepError) : QString();
        result.notice = brokenFileNotice(path, read->problem, keptAs, keepError);
        if (overwritten && keptAs.isEmpty()) {
            // The bytes stay in memory until then: they are all that is left of the file.
            result.keepBeforeSaving = [path, read](QString *error) {
                QString reason;
                if (!keepAside(path, *read, &reason).isEmpty())
                    return true;
                *error = QLatin1String("The configuration file ") + QDir::toNativeSeparators(path)
                    + QLatin1String(" could not be read whole at start, and it still cannot be "
                                    "kept aside (")
                    + reason
                    + QLatin1String(").\nIt was left as it was; what changed in this run was "
                                    "not saved.");
                return false;
            };
        }
    }
    // Nothing of a refused file is taken, whatever it held.
    const QDomDocument document = read->refusal.isEmpty() ? read->document : QDomDocument();
    settings.loadXml(document);

    const QStringList filters = settings.extensions();
    struct Library
    {
        const char *name;
        MediaType mediaType;
        void (Settings::*filtersChanged)(const QString &);
    };
    const Library table[] = {
        { "Video", VideoMedia, &Settings::videoExtensionsChanged },
        { "Audio", AudioMedia, &Settings::audioExtensionsChanged },
        { "Pictures", PictureMedia, &Settings::pictureExtensionsChanged },
    };
    for (int i = 0; i < 3; ++i) {
        auto *view = new TreeWidget(
            QLatin1String(table[i].name), table[i].mediaType, filters.value(i), document, prompts);
        QObject::connect(&settings, table[i].filtersChanged, view, &TreeWidget::setFilters);
        libraries.append(view);
    }
    return read->opened;
}

bool saveConfiguration(const QList<TreeWidget *> &libraries, const Settings &settings,
    const QString &path, QString *error)
{
    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    settings.saveXml(document);
    for (const TreeWidget *view : libraries)
        view->saveTree(document);
    QString reason;
    if (writeConfigurationDocument(path, document, &reason))
        return true;
    if (error) {
        *error = QLatin1String("The configuration could not be saved to ")
            + QDir::toNativeSeparators(path) + QLatin1String(" (") + reason
            + QLatin1String(").\nThe file there was left as it was; what changed in this run "
                            "was not saved.");
    }
    return false;
}

int runHearth(const HearthOptions &options)
{
#ifdef Q_OS_UNIX
    // A player that leaves mid-answer must not end the program. The toolkit's socket writes
    // never raise SIGPIPE, but the kernel's sendfile into a closed connection does.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // From the first moment: a quit signal that comes while the start is under way is taken up
    // by the event loop's first turn, and saves as any quit does.
    QuitSignals quitSignals;
    QPointer<MainWindow> window;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &quitSignals, [&window] {
        if (window)
            window->quit();
    });

    QtUserPrompts realPrompts;
    UserPrompts &prompts = options.prompts ? *options.prompts : realPrompts;
    const QString configPath = options.configFile.isEmpty()
        ? configurationPath(options.applicationDir, options.installedDir)
        : options.configFile;
    const QString readPath = options.configFile.isEmpty()
        ? configurationReadPath(options.applicationDir, options.installedDir)
        : options.configFile;
    if (readPath != configPath) {
        qCWarning(lcConfig).noquote()
            << "reading" << QDir::toNativeSeparators(readPath)
            << "- its folder cannot be written, so the configuration is saved to"
            << QDir::toNativeSeparators(configPath);
    }

    QList<TreeWidget *> libraries;
    UnownedViews unownedViews { libraries };
    auto settings = std::make_unique<Settings>(defaultServerName());
    ConfigurationLoad load;
    const bool fileOpened
        = loadConfiguration(libraries, *settings, readPath, prompts, &load, configPath);
    if (!load.refusal.isEmpty()) {
        prompts.message(QMessageBox::Critical, nullptr, configurationErrorTitle(), load.refusal,
            QMessageBox::Ok);
        return ConfigurationRefusedExit;
    }

    const QList<DirTreeInterface *> interfaces(libraries.cbegin(), libraries.cend());

    auto pictureCache = std::make_unique<PictureCache>(settings->pictureFormat());
    QObject::connect(settings.get(), &Settings::scalingSettingsChanged, pictureCache.get(),
        &PictureCache::setFormat);

    auto tcpServer = std::make_unique<TCPServer>(interfaces, pictureCache.get(), options.tcpPort);
    if (!tcpServer->listen()) {
        prompts.message(QMessageBox::Critical, nullptr, QStringLiteral("Hearth Network Error"),
            listenError("TCP", options.tcpPort), QMessageBox::Ok);
        return ListenFailedExit;
    }

    auto udpServer = std::make_unique<UDPServer>(settings->serverName(), options.udpPort);
    QObject::connect(
        settings.get(), &Settings::serverNameChanged, udpServer.get(), &UDPServer::setServerName);
    if (!udpServer->bind()) {
        prompts.message(QMessageBox::Critical, nullptr, QStringLiteral("Hearth Network Error"),
            listenError("UDP", options.udpPort), QMessageBox::Ok);
        return ListenFailedExit;
    }

    // What each kind of DLNA client plays, and which kind each client is. The settings hold
    // the user's choices; the registry follows every change to them. Declared before the
    // media server and the window, which look them up until they go.
    auto clientProfiles = std::make_unique<ClientProfiles>();
    clientProfiles->loadFolder(ClientProfiles::userFolder());
    auto clientRegistry = std::make_unique<ClientRegistry>(*clientProfiles);
    clientRegistry->setOverrides(settings->clientOverrides());
    QObject::connect(settings.get(), &Settings::clientOverridesChanged,
        [registry = clientRegistry.get()](
            const QList<ClientOverride> &overrides) { registry->setOverrides(overrides); });

    // The door for DLNA clients. Unlike the players' ports, a failure here stops nothing.
    auto mediaServer = std::make_unique<MediaServer>(interfaces);
    mediaServer->setClients(clientProfiles.get(), clientRegistry.get());
    // Until the ffmpeg has said what it encodes, only what every build has is planned with.
    FfmpegCapabilities::ask(FfmpegCommand::program(), mediaServer.get(),
        [server = mediaServer.get()](
            const DecisionOptions &found) { server->setDecisionOptions(found); });
    mediaServer->setConversionEnabled(settings->conversionEnabled());
    QObject::connect(settings.get(), &Settings::conversionEnabledChanged, mediaServer.get(),
        &MediaServer::setConversionEnabled);
    mediaServer->setFriendlyName(settings->serverName());
    mediaServer->setUdn(settings->upnpUdn());
    mediaServer->conversions()->setLimit(settings->conversionLimit());
    QObject::connect(settings.get(), &Settings::conversionLimitChanged, mediaServer->conversions(),
        &Conversions::setLimit);
    QObject::connect(settings.get(), &Settings::serverNameChanged, mediaServer.get(),
        &MediaServer::setFriendlyName);
    const auto serveUpnp = [server = mediaServer.get(), &options](bool serve) {
        if (!serve) {
            server->stop();
            return;
        }
        const QHostAddress address
            = options.upnpLocalOnly ? QHostAddress::LocalHost : QHostAddress::AnyIPv4;
        server->start(options.upnpPort, address, !options.upnpLocalOnly);
    };
    QObject::connect(settings.get(), &Settings::serveUpnpChanged, mediaServer.get(), serveUpnp);
    for (TreeWidget *view : libraries)
        QObject::connect(
            view, &TreeWidget::edited, mediaServer.get(), &MediaServer::libraryChanged);

    auto mainWindow = std::make_unique<MainWindow>(libraries, settings.get(), configPath, prompts);
    unownedViews.adopted = true;
    window = mainWindow.get();
    if (load.keepBeforeSaving)
        mainWindow->setSaveCondition(load.keepBeforeSaving);
    mainWindow->watchPlayers(tcpServer.get());
    mainWindow->watchDlnaClients(mediaServer.get());
    mainWindow->setClients(clientRegistry.get(), clientProfiles.get());
    QObject::connect(mediaServer->conversions(), &Conversions::countChanged, mainWindow.get(),
        &MainWindow::setConversionCount);
    QObject::connect(
        settings.get(), &Settings::serverNameChanged, mainWindow.get(), &MainWindow::setServerName);
    mainWindow->show();

    // Started once a quit request is caught: SSDP announcements are followed by the byebye.
    if (settings->serveUpnp())
        serveUpnp(true);

    // What DLNA clients are told of media files: made once everything listens, the cache read
    // in steps from the event loop and the files by hearth-probe, so neither start-up nor a
    // player waits for them. Declared after the media server, so they go before it.
    // HEARTH_MEDIA_DETAILS=0, a seam for the benchmarks, makes none of them: Browse then
    // answers without details, as it did before they were read, to time what they cost.
    std::unique_ptr<MediaCache> mediaCache;
    std::unique_ptr<MediaProber> mediaProber;
    std::unique_ptr<ProberSource> mediaSource;
    std::unique_ptr<MediaInfo> mediaInfo;
    std::unique_ptr<MusicLibrary> musicLibrary;
    if (qEnvironmentVariable("HEARTH_MEDIA_DETAILS") != QLatin1String("0")) {
        mediaCache = std::make_unique<MediaCache>();
        mediaProber = std::make_unique<MediaProber>();
        mediaSource = std::make_unique<ProberSource>(*mediaProber);
        mediaInfo = std::make_unique<MediaInfo>(*mediaCache, *mediaSource);
        mediaServer->setMediaInfo(mediaInfo.get());
        // The music views and Search: the libraries are walked in slices once the cache is
        // read.
        musicLibrary = std::make_unique<MusicLibrary>(interfaces, *mediaCache, *mediaInfo);
        musicLibrary->setActive(settings->serveUpnp());
        QObject::connect(settings.get(), &Settings::serveUpnpChanged, musicLibrary.get(),
            &MusicLibrary::setActive);
        mediaServer->setMusicLibrary(musicLibrary.get());
    }

    // Said and asked from inside the event loop, so that a quit while a box or the settings
    // dialog is open ends every loop, the main one included.
    // The configuration's trouble first, then one line per library of paths that are gone.
    if (!load.notice.isEmpty()) {
        MainWindow *parent = mainWindow.get();
        QMetaObject::invokeMethod(
            parent,
            [&prompts, parent, notice = load.notice] {
                prompts.message(QMessageBox::Warning, parent, configurationErrorTitle(), notice,
                    QMessageBox::Ok);
            },
            Qt::QueuedConnection);
    }
    for (TreeWidget *view : std::as_const(libraries))
        QMetaObject::invokeMethod(view, &TreeWidget::reportGoneAtLoad, Qt::QueuedConnection);
    if (!fileOpened)
        QMetaObject::invokeMethod(
            mainWindow.get(), &MainWindow::askFirstRunQuestion, Qt::QueuedConnection);

    return QCoreApplication::exec();
}

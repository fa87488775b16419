#include "app/startup.h"

#include "app/mainwindow.h"
#include "app/productstrings.h"
#include "app/quitsignals.h"
#include "library/treewidget.h"
#include "library/userprompts.h"
#include "net/tcpserver.h"
#include "net/udpserver.h"
#include "picture/picturecache.h"
#include "settings/configfile.h"
#include "settings/settings.h"

#include <QApplication>
#include <QDomDocument>

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

} // namespace

bool loadConfiguration(
    QList<TreeWidget *> &libraries, Settings &settings, const QString &path, UserPrompts &prompts)
{
    bool opened = false;
    const QDomDocument document = readConfigurationDocument(path, &opened);
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
    return opened;
}

void saveConfiguration(
    const QList<TreeWidget *> &libraries, const Settings &settings, const QString &path)
{
    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    settings.saveXml(document);
    for (const TreeWidget *view : libraries)
        view->saveTree(document);
    writeConfigurationDocument(path, document);
}

int runHearth(const HearthOptions &options)
{
#ifdef Q_OS_UNIX
    // A player that leaves mid-answer must not end the program. The toolkit's socket writes
    // never raise SIGPIPE, but the kernel's sendfile into a closed connection does.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QtUserPrompts realPrompts;
    UserPrompts &prompts = options.prompts ? *options.prompts : realPrompts;
    const QString configPath = configurationPath(options.applicationDir);

    QList<TreeWidget *> libraries;
    UnownedViews unownedViews { libraries };
    auto settings = std::make_unique<Settings>(defaultServerName());
    const bool fileOpened = loadConfiguration(libraries, *settings, configPath, prompts);

    const QList<DirTreeInterface *> interfaces(libraries.cbegin(), libraries.cend());

    auto pictureCache = std::make_unique<PictureCache>(settings->pictureFormat());
    QObject::connect(settings.get(), &Settings::scalingSettingsChanged, pictureCache.get(),
        &PictureCache::setFormat);

    auto tcpServer = std::make_unique<TCPServer>(interfaces, pictureCache.get(), options.tcpPort);
    if (!tcpServer->listen()) {
        prompts.message(QMessageBox::Critical, nullptr, QStringLiteral("Hearth Network Error"),
            listenError("TCP", options.tcpPort), QMessageBox::Ok);
        return 1;
    }

    auto udpServer = std::make_unique<UDPServer>(settings->serverName(), options.udpPort);
    QObject::connect(
        settings.get(), &Settings::serverNameChanged, udpServer.get(), &UDPServer::setServerName);
    if (!udpServer->bind()) {
        prompts.message(QMessageBox::Critical, nullptr, QStringLiteral("Hearth Network Error"),
            listenError("UDP", options.udpPort), QMessageBox::Ok);
        return 1;
    }

    auto mainWindow = std::make_unique<MainWindow>(libraries, settings.get(), configPath, prompts);
    unownedViews.adopted = true;
    QObject::connect(
        settings.get(), &Settings::serverNameChanged, mainWindow.get(), &MainWindow::setServerName);
    mainWindow->show();

    // A logout, kill or Ctrl+C ends the run exactly as "&Quit" does.
    QuitSignals quitSignals;
    QObject::connect(
        &quitSignals, &QuitSignals::quitRequested, mainWindow.get(), &MainWindow::quit);

    // Asked from inside the event loop, so that a quit while the question or the settings
    // dialog is open ends every loop, the main one included.
    if (!fileOpened)
        QMetaObject::invokeMethod(
            mainWindow.get(), &MainWindow::askFirstRunQuestion, Qt::QueuedConnection);

    return QCoreApplication::exec();
}

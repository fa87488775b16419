#include "app/mainwindow.h"

#include "app/aboutdialog.h"
#include "app/startup.h"
#include "library/sharewidget.h"
#include "library/treewidget.h"
#include "library/userprompts.h"
#include "net/tcpserver.h"
#include "settings/settings.h"
#include "settings/settingsdialog.h"
#include "upnp/mediaserver.h"
#ifdef Q_OS_WIN
#include "app/trayicon_win.h"
#endif

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QNetworkInterface>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

namespace {

const char appIconPath[] = ":/images/app_icon_16x16.png";

QString tabIconPath(int mediaType)
{
    switch (mediaType) {
    case VideoMedia:
        return QStringLiteral(":images/icon_tab_video.png");
    case AudioMedia:
        return QStringLiteral(":images/icon_tab_audio.png");
    case PictureMedia:
        return QStringLiteral(":images/icon_tab_picture.png");
    default:
        return QString();
    }
}

// The IPv4 addresses of the network interfaces that are up, other than loopback: where a
// player on the home network finds the server.
QStringList reachableAddresses(quint16 port)
{
    QStringList addresses;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp)
            || !flags.testFlag(QNetworkInterface::IsRunning)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                addresses.append(entry.ip().toString() + QLatin1Char(':') + QString::number(port));
        }
    }
    return addresses;
}

// The window is narrow: the status bar says it short, its tooltips in full.
QString reachText(const QStringList &addresses)
{
    if (addresses.isEmpty())
        return QStringLiteral("No network");
    return QStringLiteral("Reach at ") + addresses.join(QLatin1String(", "));
}

QString reachTip(const QStringList &addresses)
{
    if (addresses.isEmpty())
        return QStringLiteral("No network connection is up: players cannot reach this PC.");
    return QStringLiteral("Players on your network reach this PC at ")
        + addresses.join(QLatin1String(", ")) + QLatin1Char('.');
}

QString playersText(int connected, int streaming, int converting, bool full)
{
    const QString players = full ? QStringLiteral(" connected") : QString();
    QString text;
    if (connected == 0)
        text = QStringLiteral("No players") + players;
    else if (connected == 1)
        text = QStringLiteral("1 player") + players;
    else
        text = QStringLiteral("%1 players").arg(connected) + players;
    if (streaming > 0)
        text += QStringLiteral(", %1 streaming").arg(streaming);
    if (converting > 0)
        text += QStringLiteral(", %1 converting").arg(converting);
    return text;
}

} // namespace

MainWindow::MainWindow(const QList<TreeWidget *> &libraries, Settings *settings,
    const QString &configPath, UserPrompts &prompts)
    : QMainWindow(nullptr)
    , libraries(libraries)
    , settings(settings)
    , configPath(configPath)
    , prompts(prompts)
{
    resize(400, 600);
    setServerName(settings->serverName());
    setWindowIcon(QIcon(QLatin1String(appIconPath)));
    buildMenus();
    buildTabs();
    setCentralWidget(tabWidget);
    connect(qApp, &QGuiApplication::lastWindowClosed, this, &MainWindow::quit);
    addTrayIcon();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildMenus()
{
    QMenu *fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    const auto addEntry = [this](QMenu *menu, const QString &text, void (MainWindow::*slot)()) {
        auto *action = new QAction(text, this);
        connect(action, &QAction::triggered, this, slot);
        menu->addAction(action);
    };
    addEntry(fileMenu, QStringLiteral("&Add Top Level Files"), &MainWindow::addFilesClicked);
    addEntry(fileMenu, QStringLiteral("&New Top Level Folder"), &MainWindow::newDirClicked);
    addEntry(
        fileMenu, QStringLiteral("Add Top Level &Live Folder"), &MainWindow::addLiveDirClicked);
    addEntry(fileMenu, QStringLiteral("&Remove Selected"), &MainWindow::removeClicked);
    fileMenu->addSeparator();
    addEntry(fileMenu, QStringLiteral("&Settings"), &MainWindow::settingsClicked);
    fileMenu->addSeparator();
    addEntry(fileMenu, QStringLiteral("&Quit"), &MainWindow::quit);

    QMenu *helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    addEntry(helpMenu, QStringLiteral("&About"), &MainWindow::aboutClicked);
}

void MainWindow::buildTabs()
{
    tabWidget = new QTabWidget;
    for (TreeWidget *view : std::as_const(libraries)) {
        const int index = tabWidget->addTab(new ShareWidget(view), view->name());
        const QString iconPath = tabIconPath(view->mediaType());
        if (!iconPath.isEmpty())
            tabWidget->setTabIcon(index, QIcon(iconPath));
    }
    connect(tabWidget, &QTabWidget::currentChanged, this, &MainWindow::refreshTab);
}

void MainWindow::addTrayIcon()
{
    QIcon icon { QLatin1String(appIconPath) };
#ifdef Q_OS_WIN
    // The one drawn for the notification area, from the program file's resources.
    if (const QIcon own = windowsTrayIcon(); !own.isNull())
        icon = own;
#endif
    trayIcon = new QSystemTrayIcon(icon, this);
    trayIcon->setToolTip(QStringLiteral("Vela Hearth"));
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::trayActivated);
    // Without a notification area there is nowhere to hide to: the window stays visible.
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon->show();
}

void MainWindow::watchPlayers(const TCPServer *server)
{
    players = server;
    if (!playersTimer) {
        reachLabel = new QLabel;
        playersLabel = new QLabel;
        statusBar()->addWidget(reachLabel, 1);
        statusBar()->addPermanentWidget(playersLabel);
        playersTimer = new QTimer(this);
        connect(playersTimer, &QTimer::timeout, this, &MainWindow::showPlayers);
        playersTimer->start(1000);
    }
    showPlayers();
}

void MainWindow::watchDlnaClients(const MediaServer *server)
{
    dlnaClients = server;
    showPlayers();
}

void MainWindow::setClients(const ClientRegistry *registry, const ClientProfiles *profiles)
{
    clientRegistry = registry;
    clientProfiles = profiles;
}

void MainWindow::setConversionCount(int count)
{
    conversions = count;
    showPlayers();
}

void MainWindow::showPlayers()
{
    if (!players)
        return;
    const QStringList addresses = reachableAddresses(players->serverPort());
    const QString reach = reachText(addresses);
    QString tip = reachTip(addresses);
    if (dlnaClients && dlnaClients->port() != 0) {
        tip += QStringLiteral(" Smart TVs and other DLNA clients use HTTP port %1 and UDP port 1900.")
                   .arg(dlnaClients->port());
    }
    if (reachLabel->text() != reach || reachLabel->toolTip() != tip) {
        reachLabel->setText(reach);
        reachLabel->setToolTip(tip);
    }
    int connected = int(players->connections().size());
    if (dlnaClients)
        connected += dlnaClients->clientCount();
    const int streaming = players->streamingCount();
    const QString count = playersText(connected, streaming, conversions, false);
    if (playersLabel->text() != count) {
        const QString full = playersText(connected, streaming, conversions, true);
        playersLabel->setText(count);
        playersLabel->setToolTip(full);
        trayIcon->setToolTip(QStringLiteral("Vela Hearth\n") + full);
    }
}

void MainWindow::trayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::DoubleClick)
        return;
    if (isVisible()) {
        hide();
    } else {
        showNormal();
        raise();
        activateWindow();
    }
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && trayIcon->isVisible()) {
        // Queued, so the state change completes before the window goes.
        QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
    }
}

TreeWidget *MainWindow::currentView() const
{
    return libraries.value(tabWidget->currentIndex(), nullptr);
}

void MainWindow::setSaveCondition(std::function<bool(QString *error)> condition)
{
    saveCondition = std::move(condition);
}

void MainWindow::quit()
{
    if (quitting)
        return;
    quitting = true;
    trayIcon->hide();
    QString error;
    const bool mayReplace = !saveCondition || saveCondition(&error);
    if (!mayReplace || !saveConfiguration(libraries, *settings, configPath, &error)) {
        // Said before the run ends, and in the exit code for whoever started it unattended.
        prompts.message(
            QMessageBox::Critical, this, configurationErrorTitle(), error, QMessageBox::Ok);
        QCoreApplication::exit(SaveFailedExit);
        return;
    }
    QCoreApplication::quit();
}

void MainWindow::refreshTab(int index)
{
    if (TreeWidget *view = libraries.value(index, nullptr))
        view->refresh();
}

void MainWindow::addFilesClicked()
{
    if (TreeWidget *view = currentView())
        view->addFiles(true);
}

void MainWindow::newDirClicked()
{
    if (TreeWidget *view = currentView())
        view->makeDir(true);
}

void MainWindow::addLiveDirClicked()
{
    if (TreeWidget *view = currentView())
        view->addLiveDir(true);
}

void MainWindow::removeClicked()
{
    if (TreeWidget *view = currentView())
        view->deleteSelected();
}

void MainWindow::settingsClicked()
{
    SettingsDialog dialog(settings, this);
    dialog.setClients(clientRegistry, clientProfiles);
    runDialog(&dialog);
}

void MainWindow::aboutClicked()
{
    AboutDialog dialog(this);
    runDialog(&dialog);
}

void MainWindow::setServerName(const QString &name)
{
    // The toolkit takes "[*]" in a title as its unsaved-changes mark and drops it; doubled,
    // it shows as written.
    QString shown = name;
    shown.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
    setWindowTitle(QLatin1String("Vela Hearth") + QLatin1String(" <") + shown + QLatin1Char('>'));
}

void MainWindow::askFirstRunQuestion()
{
    const QMessageBox::StandardButton answer = prompts.message(QMessageBox::Question, this,
        QStringLiteral("Set up picture scaling now?"),
        QStringLiteral("Do you want to set up picture scaling now?\nThis only has effect on "
                       "picture viewing, but should be done before using that feature."),
        QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        settingsClicked();
}

void MainWindow::runDialog(QDialog *dialog)
{
    dialog->exec();
}

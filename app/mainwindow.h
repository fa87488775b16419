#pragma once

#include <QList>
#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

#include <functional>

class ClientProfiles;
class ClientRegistry;
class QDialog;
class QEvent;
class QLabel;
class QTabWidget;
class QTimer;
class MediaServer;
class TCPServer;
class Settings;
class TreeWidget;
class UserPrompts;

// The program's only top-level window: one tab per library, the File and Help menus, the
// tray icon, and the orderly end of the run through quit().
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // libraries in tab order (Video, Audio, Pictures); the window's widget tree takes them.
    // configPath is where quit() writes the configuration; questions go through prompts.
    MainWindow(const QList<TreeWidget *> &libraries, Settings *settings, const QString &configPath,
        UserPrompts &prompts);
    ~MainWindow() override;

    // Must hold before quit() may replace the configuration file; else quit() tells the user
    // why (its *error) and ends with SaveFailedExit, the file left as it is.
    void setSaveCondition(std::function<bool(QString *error)> condition);
    // Asks whether to set up picture scaling now; Yes opens the settings dialog.
    void askFirstRunQuestion();
    // Shows in the status bar (and the tray tooltip) where players reach the server and how
    // many are connected and streaming, brought up to date every second.
    void watchPlayers(const TCPServer *server);
    // DLNA clients count as players too.
    void watchDlnaClients(const MediaServer *server);
    // What the settings dialog lists on its Clients page.
    void setClients(const ClientRegistry *registry, const ClientProfiles *profiles);

public slots:
    void quit();
    void refreshTab(int index);
    void addFilesClicked();
    void newDirClicked();
    void addLiveDirClicked();
    void removeClicked();
    void settingsClicked();
    void aboutClicked();
    void setServerName(const QString &name);
    // Conversions running for DLNA clients, counted in the status bar beside the players.
    void setConversionCount(int count);

protected:
    void changeEvent(QEvent *event) override;
    // Runs a dialog of this window modally. Tests override it to answer without blocking.
    virtual void runDialog(QDialog *dialog);

private:
    void buildMenus();
    void buildTabs();
    void addTrayIcon();
    void trayActivated(QSystemTrayIcon::ActivationReason reason);
    TreeWidget *currentView() const;
    void showPlayers();

    QTabWidget *tabWidget = nullptr;
    QList<TreeWidget *> libraries;
    Settings *settings;
    QString configPath;
    std::function<bool(QString *error)> saveCondition;
    UserPrompts &prompts;
    QSystemTrayIcon *trayIcon = nullptr;
    const TCPServer *players = nullptr;
    const MediaServer *dlnaClients = nullptr;
    const ClientRegistry *clientRegistry = nullptr;
    const ClientProfiles *clientProfiles = nullptr;
    int conversions = 0;
    QLabel *reachLabel = nullptr;
    QLabel *playersLabel = nullptr;
    QTimer *playersTimer = nullptr;
    // quit() can be reached from the menu, lastWindowClosed and SIGTERM in one run.
    bool quitting = false;
};

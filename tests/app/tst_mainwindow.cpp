#include "app/aboutdialog.h"
#include "app/mainwindow.h"
#include "app/picturewidget.h"
#include "app/productstrings.h"
#include "convert/clientprofiles.h"
#include "convert/clientregistry.h"
#include "library/treeitem.h"
#include "library/treewidget.h"
#include "library/userprompts.h"
#include "net/tcpserver.h"
#include "picture/picturecache.h"
#include "settings/settings.h"
#include "settings/settingsdialog.h"
#include "upnp/mediaserver.h"

#include <QApplication>
#include <QDomDocument>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>

namespace {

// Answers every prompt at once with what the test set up.
class ScriptedPrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton message(QMessageBox::Icon, QWidget *parent, const QString &title,
        const QString &text, QMessageBox::StandardButtons) override
    {
        messages << title + QLatin1Char('|') + text;
        messageParents << parent;
        return answer;
    }
    QString getText(QWidget *, const QString &, const QString &, bool *ok) override
    {
        *ok = true;
        return text;
    }
    QStringList getOpenFileNames(
        QWidget *, const QString &, const QString &, const QString &) override
    {
        return files;
    }
    QString getExistingDirectory(QWidget *, const QString &, const QString &) override
    {
        return directory;
    }

    QMessageBox::StandardButton answer = QMessageBox::Ok;
    QStringList messages;
    QList<QWidget *> messageParents;
    QString text;
    QStringList files;
    QString directory;
};

// Dialogs are handed to the test instead of running a modal loop.
class TestWindow : public MainWindow
{
public:
    using MainWindow::MainWindow;
    std::function<void(QDialog *)> onDialog;
    QStringList dialogsRun;

protected:
    void runDialog(QDialog *dialog) override
    {
        dialogsRun << QString::fromLatin1(dialog->metaObject()->className());
        QCOMPARE(dialog->parentWidget(), this);
        if (onDialog)
            onDialog(dialog);
    }
};

const char *const libraryNames[] = { "Video", "Audio", "Pictures" };

struct Fixture
{
    Fixture()
    {
        QDomDocument empty;
        for (int i = 0; i < 3; ++i) {
            libraries << new TreeWidget(
                QLatin1String(libraryNames[i]), i + 1, QStringLiteral("*"), empty, prompts);
        }
        configPath = dir.filePath(QStringLiteral("hearth.xml"));
        window = std::make_unique<TestWindow>(libraries, &settings, configPath, prompts);
    }

    QString makeFile(const QString &name)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot create a test file");
        file.write("x");
        return path;
    }

    QTabWidget *tabs() const { return window->findChild<QTabWidget *>(); }
    QSystemTrayIcon *tray() const { return window->findChild<QSystemTrayIcon *>(); }

    QTemporaryDir dir;
    ScriptedPrompts prompts;
    Settings settings { defaultServerName() };
    QList<TreeWidget *> libraries;
    QString configPath;
    std::unique_ptr<TestWindow> window;
};

QAction *menuEntry(QMainWindow *window, const QString &menuTitle, const QString &text)
{
    const QList<QAction *> menus = window->menuBar()->actions();
    for (QAction *menuAction : menus) {
        if (menuAction->text() != menuTitle || !menuAction->menu())
            continue;
        const QList<QAction *> entries = menuAction->menu()->actions();
        for (QAction *entry : entries) {
            if (entry->text() == text)
                return entry;
        }
    }
    return nullptr;
}

QStringList menuTexts(QMainWindow *window, const QString &menuTitle)
{
    QStringList texts;
    const QList<QAction *> menus = window->menuBar()->actions();
    for (QAction *menuAction : menus) {
        if (menuAction->text() == menuTitle && menuAction->menu()) {
            const QList<QAction *> entries = menuAction->menu()->actions();
            for (QAction *entry : entries) {
                texts << (entry->isSeparator() ? QStringLiteral("-") : entry->text());
                if (!entry->shortcut().isEmpty())
                    texts << QStringLiteral("shortcut!");
            }
        }
    }
    return texts;
}

QColor textColor(TreeWidget *view)
{
    return view->topLevelItem(0)->foreground(0).color();
}

QStringList topLevelElementNames(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return { QStringLiteral("<no file>") };
    QDomDocument document;
    if (!document.setContent(&file))
        return { QStringLiteral("<not XML>") };
    QStringList names { document.documentElement().tagName() };
    for (QDomElement e = document.documentElement().firstChildElement(); !e.isNull();
         e = e.nextSiblingElement())
        names << e.tagName();
    return names;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void tabsInOrderWithIcons();
    void placeholderViewHasNoTabIcon();
    void switchingTabsRefreshesTheNewView();
    void menus();
    void menuEntriesActOnCurrentTab_data();
    void menuEntriesActOnCurrentTab();
    void renamingRetitles_data();
    void renamingRetitles();
    void settingsAndAboutRunAsChildDialogs();
    void firstRunQuestion_data();
    void firstRunQuestion();
    void quitWritesOnce();
    void closingTheWindowQuitsAndSaves();
    void minimiseHidesIntoTray();
    void minimiseWithoutTrayStaysVisible();
    void statusBarCountsPlayers();
    void aboutBox();
    void pictureWidget_data();
    void pictureWidget();
    void compiledInImages_data();
    void compiledInImages();
};

void TestMainWindow::tabsInOrderWithIcons()
{
    Fixture f;
    QCOMPARE(f.window->windowTitle(), QStringLiteral("Vela Hearth <My Hearth>"));
    QCOMPARE(f.window->size(), QSize(400, 600));
    QVERIFY(!f.window->windowIcon().isNull());

    QTabWidget *tabs = f.tabs();
    QVERIFY(tabs);
    QCOMPARE(f.window->centralWidget(), tabs);
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->currentIndex(), 0);
    const char *const icons[] = { ":images/icon_tab_video.png", ":images/icon_tab_audio.png",
        ":images/icon_tab_picture.png" };
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(tabs->tabText(i), QLatin1String(libraryNames[i]));
        QVERIFY(tabs->widget(i)->isAncestorOf(f.libraries.at(i)));
        const QImage expected = QImage(QLatin1String(icons[i]));
        QVERIFY(!expected.isNull());
        const QImage shown = tabs->tabIcon(i).pixmap(16, 16).toImage();
        QCOMPARE(shown.convertToFormat(QImage::Format_ARGB32_Premultiplied),
            expected.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
}

void TestMainWindow::placeholderViewHasNoTabIcon()
{
    Settings settings(defaultServerName());
    QTemporaryDir dir;
    ScriptedPrompts prompts;
    QList<TreeWidget *> views { new TreeWidget(QStringLiteral("Video"), 1, QStringLiteral("*"),
                                    QDomDocument(), prompts),
        new TreeWidget(QStringLiteral("Other"), 0, QStringLiteral("*"), QDomDocument(), prompts) };
    MainWindow window(views, &settings, dir.filePath(QStringLiteral("hearth.xml")), prompts);
    auto *tabs = window.findChild<QTabWidget *>();
    QCOMPARE(tabs->count(), 2);
    QVERIFY(!tabs->tabIcon(0).isNull());
    QVERIFY(tabs->tabIcon(1).isNull());
    QCOMPARE(tabs->tabText(1), QStringLiteral("Other"));
}

// A view's file that went missing shows red only once that view was refreshed.
void TestMainWindow::switchingTabsRefreshesTheNewView()
{
    Fixture f;
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths << f.makeFile(QStringLiteral("file%1.avi").arg(i));
        QVERIFY(f.libraries.at(i)->addPath(paths.last(), nullptr));
        QCOMPARE(textColor(f.libraries.at(i)), QColor(Qt::black));
        QVERIFY(QFile::remove(paths.last()));
    }

    const QList<QColor> black3 { Qt::black, Qt::black, Qt::black };
    const auto colours = [&] {
        return QList<QColor> { textColor(f.libraries.at(0)), textColor(f.libraries.at(1)),
            textColor(f.libraries.at(2)) };
    };
    QCOMPARE(colours(), black3);

    f.tabs()->setCurrentIndex(2);
    QCOMPARE(colours(), QList<QColor>({ Qt::black, Qt::black, Qt::red }));
    f.tabs()->setCurrentIndex(1);
    QCOMPARE(colours(), QList<QColor>({ Qt::black, Qt::red, Qt::red }));

    // Coming back to a tab refreshes it again: its file is back, so black again.
    f.makeFile(QStringLiteral("file2.avi"));
    f.tabs()->setCurrentIndex(2);
    QCOMPARE(colours(), QList<QColor>({ Qt::black, Qt::red, Qt::black }));
    f.tabs()->setCurrentIndex(0);
    QCOMPARE(colours(), QList<QColor>({ Qt::red, Qt::red, Qt::black }));
}

void TestMainWindow::menus()
{
    Fixture f;
    QCOMPARE(menuTexts(f.window.get(), QStringLiteral("&File")),
        QStringList({ QStringLiteral("&Add Top Level Files"),
            QStringLiteral("&New Top Level Folder"), QStringLiteral("Add Top Level &Live Folder"),
            QStringLiteral("&Remove Selected"), QStringLiteral("-"), QStringLiteral("&Settings"),
            QStringLiteral("-"), QStringLiteral("&Quit") }));
    QCOMPARE(menuTexts(f.window.get(), QStringLiteral("&Help")),
        QStringList({ QStringLiteral("&About") }));
    QCOMPARE(f.window->menuBar()->actions().size(), 2);
}

void TestMainWindow::menuEntriesActOnCurrentTab_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("tab");
    QTest::addColumn<int>("change");
    const struct
    {
        const char *entry;
        int change;
    } entries[] = { { "&Add Top Level Files", 1 }, { "&New Top Level Folder", 1 },
        { "Add Top Level &Live Folder", 1 }, { "&Remove Selected", -1 } };
    for (const auto &e : entries) {
        for (int tab = 0; tab < 3; ++tab)
            QTest::addRow("%s on %s", e.entry, libraryNames[tab])
                << QString::fromLatin1(e.entry) << tab << e.change;
    }
}

void TestMainWindow::menuEntriesActOnCurrentTab()
{
    QFETCH(QString, entry);
    QFETCH(int, tab);
    QFETCH(int, change);

    Fixture f;
    // Each view holds a selected folder, and its current item is that folder, so an entry
    // that wrongly added below the current item instead of at the top level would show.
    for (TreeWidget *view : std::as_const(f.libraries)) {
        TreeItem *folder = view->addPath(QStringLiteral("Existing"), nullptr, true);
        QVERIFY(folder);
        view->setCurrentItem(folder);
        folder->setSelected(true);
    }
    f.prompts.files = { f.makeFile(QStringLiteral("new.avi")) };
    f.prompts.text = QStringLiteral("Fresh");
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("live")));
    f.prompts.directory = f.dir.filePath(QStringLiteral("live"));

    f.tabs()->setCurrentIndex(tab);
    QAction *action = menuEntry(f.window.get(), QStringLiteral("&File"), entry);
    QVERIFY(action);
    action->trigger();

    for (int i = 0; i < 3; ++i) {
        TreeWidget *view = f.libraries.at(i);
        QCOMPARE(view->topLevelItemCount(), 1 + (i == tab ? change : 0));
        if (view->topLevelItemCount() > 0
            && view->topLevelItem(0)->text(0) == QLatin1String("Existing"))
            QCOMPARE(view->topLevelItem(0)->childCount(), 0);
    }
}

void TestMainWindow::renamingRetitles_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("title");
    QTest::addRow("plain") << QStringLiteral("Attic") << QStringLiteral("Vela Hearth <Attic>");
    QTest::addRow("cut to 30") << QStringLiteral("A name that is far too long to be announced")
                               << QStringLiteral("Vela Hearth <A name that is far too long to>");
    QTest::addRow("blank") << QStringLiteral("   ") << QStringLiteral("Vela Hearth <My Hearth>");
    // The toolkit reads "[*]" in a title as its mark for unsaved changes.
    QTest::addRow("modified mark")
        << QStringLiteral("Den [*]") << QStringLiteral("Vela Hearth <Den [*]>");
    QTest::addRow("two marks") << QStringLiteral("[*][*]x[*]")
                               << QStringLiteral("Vela Hearth <[*][*]x[*]>");
}

// The name typed in the settings dialog reaches the title as soon as Ok is pressed.
void TestMainWindow::renamingRetitles()
{
    QFETCH(QString, typed);
    QFETCH(QString, title);
    Fixture f;
    f.settings.setServerName(QStringLiteral("Before"));
    // As the start-up sequence wires it.
    QObject::connect(
        &f.settings, &Settings::serverNameChanged, f.window.get(), &MainWindow::setServerName);
    f.window->onDialog = [&](QDialog *dialog) {
        dialog->findChild<QLineEdit *>(QStringLiteral("serverNameEdit"))->setText(typed);
        dialog->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
        QCOMPARE(f.window->windowHandle()->title(), title);
    };
    f.window->winId(); // the title as the window system shows it
    f.window->settingsClicked();
    QCOMPARE(f.window->dialogsRun, QStringList({ QStringLiteral("SettingsDialog") }));
    QVERIFY(f.window->windowHandle());
    QCOMPARE(f.window->windowHandle()->title(), title);
}

void TestMainWindow::settingsAndAboutRunAsChildDialogs()
{
    Fixture f;
    // The settings dialog lists the clients the window was given.
    ClientProfiles profiles;
    ClientRegistry registry(profiles);
    registry.recognise(QStringLiteral("10.0.0.5"), ClientHints());
    f.window->setClients(&registry, &profiles);
    QPointer<QDialog> seen;
    int clientRows = -1;
    f.window->onDialog = [&](QDialog *dialog) {
        seen = dialog;
        if (auto *table = dialog->findChild<QTableWidget *>())
            clientRows = table->rowCount();
    };

    QAction *settingsEntry
        = menuEntry(f.window.get(), QStringLiteral("&File"), QStringLiteral("&Settings"));
    QVERIFY(settingsEntry);
    settingsEntry->trigger();
    QVERIFY(seen.isNull()); // destroyed once run
    QCOMPARE(clientRows, 1);

    QAction *aboutEntry
        = menuEntry(f.window.get(), QStringLiteral("&Help"), QStringLiteral("&About"));
    QVERIFY(aboutEntry);
    aboutEntry->trigger();
    QVERIFY(seen.isNull());

    QCOMPARE(f.window->dialogsRun,
        QStringList({ QStringLiteral("SettingsDialog"), QStringLiteral("AboutDialog") }));
}

void TestMainWindow::firstRunQuestion_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("opensSettings");
    QTest::addRow("Yes") << int(QMessageBox::Yes) << true;
    QTest::addRow("No") << int(QMessageBox::No) << false;
    QTest::addRow("closed") << int(QMessageBox::NoButton) << false;
}

void TestMainWindow::firstRunQuestion()
{
    QFETCH(int, answer);
    QFETCH(bool, opensSettings);
    Fixture f;
    f.prompts.answer = QMessageBox::StandardButton(answer);
    f.window->askFirstRunQuestion();
    QCOMPARE(f.prompts.messages,
        QStringList({ QStringLiteral("Set up picture scaling now?|Do you want to set up picture "
                                     "scaling now?\nThis only has effect on picture viewing, "
                                     "but should be done before using that feature.") }));
    QCOMPARE(f.prompts.messageParents.value(0), f.window.get());
    QCOMPARE(f.window->dialogsRun.size(), opensSettings ? 1 : 0);
}

void TestMainWindow::quitWritesOnce()
{
    Fixture f;
    f.settings.setServerName(QStringLiteral("Den"));
    // One item in the audio library only, so a mixed-up order would show.
    QVERIFY(f.libraries.at(1)->addPath(QStringLiteral("Only audio"), nullptr, true));
    f.tray()->show();

    QAction *quitEntry
        = menuEntry(f.window.get(), QStringLiteral("&File"), QStringLiteral("&Quit"));
    QVERIFY(quitEntry);
    quitEntry->trigger();
    QVERIFY(!f.tray()->isVisible());
    QCOMPARE(topLevelElementNames(f.configPath),
        QStringList(
            { QStringLiteral("hearth"), QStringLiteral("settings"), QStringLiteral("video_tree"),
                QStringLiteral("audio_tree"), QStringLiteral("pictures_tree") }));
    QFile file(f.configPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QDomDocument document;
    QVERIFY(document.setContent(&file));
    file.close();
    const QDomElement root = document.documentElement();
    QCOMPARE(root.firstChildElement(QStringLiteral("settings"))
                 .firstChildElement(QStringLiteral("server"))
                 .attribute(QStringLiteral("name")),
        QStringLiteral("Den"));
    QVERIFY(root.firstChildElement(QStringLiteral("video_tree")).firstChildElement().isNull());
    QVERIFY(!root.firstChildElement(QStringLiteral("audio_tree")).firstChildElement().isNull());

    // Closing the window and a termination signal after the menu entry write nothing more.
    QVERIFY(QFile::remove(f.configPath));
    emit qApp->lastWindowClosed();
    f.window->quit();
    QVERIFY(!QFile::exists(f.configPath));
}

void TestMainWindow::closingTheWindowQuitsAndSaves()
{
    Fixture f;
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    QTimer::singleShot(0, f.window.get(), [&] { f.window->close(); });
    // A window close that never reaches quit() would hang here; end the loop with 2 instead.
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(2); });
    QCOMPARE(QApplication::exec(), 0);
    QCOMPARE(topLevelElementNames(f.configPath).value(1), QStringLiteral("settings"));
}

void TestMainWindow::minimiseHidesIntoTray()
{
    Fixture f;
    QSystemTrayIcon *tray = f.tray();
    QVERIFY(tray);
    QCOMPARE(tray->toolTip(), QStringLiteral("Vela Hearth"));
    QVERIFY(!tray->icon().isNull());
    QVERIFY(!tray->contextMenu());
    tray->show(); // as where a notification area exists

    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    f.window->setWindowState(Qt::WindowMinimized);
    QTRY_VERIFY(!f.window->isVisible());

    // Single clicks do nothing; a double click brings the window back, normal.
    emit tray->activated(QSystemTrayIcon::Trigger);
    emit tray->activated(QSystemTrayIcon::Context);
    QCoreApplication::processEvents();
    QVERIFY(!f.window->isVisible());
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    QTRY_VERIFY(f.window->isVisible());
    QVERIFY(!f.window->isMinimized());
    QVERIFY(!f.window->isMaximized());

    emit tray->activated(QSystemTrayIcon::DoubleClick);
    QTRY_VERIFY(!f.window->isVisible());

    // Hiding is not quitting.
    QCoreApplication::processEvents();
    QVERIFY(!QFile::exists(f.configPath));
}

void TestMainWindow::minimiseWithoutTrayStaysVisible()
{
    Fixture f;
    if (f.tray()->isVisible())
        QSKIP("this platform has a notification area");
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    f.window->setWindowState(Qt::WindowMinimized);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QVERIFY(f.window->isVisible());
}

void TestMainWindow::aboutBox()
{
    AboutDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.size(), QSize(480, 256));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About Vela Hearth"));
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));

    auto *label = dialog.findChild<QLabel *>(QStringLiteral("titleLabel"));
    QVERIFY(label);
    QVERIFY(label->text().contains(QStringLiteral("Vela Hearth v. 3.0.0")));
    QVERIFY(label->geometry().left() >= 170);
    // Rendered on black, the text is white: its brightest pixels are white and nothing of it
    // is coloured.
    QImage image(label->size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    label->render(&image);
    int white = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            QVERIFY2(c.red() == c.green() && c.green() == c.blue(), "text is not white");
            white += c.red() == 255;
        }
    }
    QVERIFY(white > 20);

    QPushButton *close = nullptr;
    const QList<QPushButton *> buttons = dialog.findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->text() == QLatin1String("&Close"))
            close = button;
    }
    QVERIFY(close);
    close->click();
    QVERIFY(!dialog.isVisible());
}

void TestMainWindow::pictureWidget_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("fixedSize");
    QTest::addRow("About picture") << QStringLiteral(":/images/about_logo.png") << QSize(480, 256);
    QTest::addRow("tab icon, short prefix")
        << QStringLiteral(":images/icon_tab_audio.png") << QSize(16, 16);
    QTest::addRow("missing") << QStringLiteral(":/images/nothing.png") << QSize();
}

void TestMainWindow::pictureWidget()
{
    QFETCH(QString, file);
    QFETCH(QSize, fixedSize);
    auto *overlay = new QHBoxLayout;
    auto *button = new QPushButton(QStringLiteral("over"));
    overlay->addWidget(button);
    PictureWidget widget(file, overlay);
    QCOMPARE(widget.layout(), overlay);
    QCOMPARE(button->parentWidget(), &widget);

    if (!fixedSize.isValid()) {
        QCOMPARE(widget.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
        QCOMPARE(widget.minimumSize(), QSize(0, 0));
        widget.resize(40, 30);
        QImage image(widget.size(), QImage::Format_RGB32);
        image.fill(Qt::magenta);
        button->hide();
        widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        QCOMPARE(image.pixelColor(20, 15), QColor(Qt::magenta));
        return;
    }

    QCOMPARE(widget.minimumSize(), fixedSize);
    QCOMPARE(widget.maximumSize(), fixedSize);
    button->hide();
    QImage painted(fixedSize, QImage::Format_ARGB32_Premultiplied);
    painted.fill(Qt::transparent);
    widget.render(&painted, QPoint(), QRegion(), QWidget::DrawChildren);
    QImage expected(fixedSize, QImage::Format_ARGB32_Premultiplied);
    expected.fill(Qt::transparent);
    QPainter(&expected).drawImage(0, 0, QImage(file));
    QCOMPARE(painted, expected);
}

void TestMainWindow::compiledInImages_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addRow("app icon") << QStringLiteral("app_icon_16x16.png") << QSize(16, 16);
    QTest::addRow("About picture") << QStringLiteral("about_logo.png") << QSize(480, 256);
    const char *const icons[] = { "icon_tab_video", "icon_tab_audio", "icon_tab_picture",
        "icon_media_file", "icon_media_file_video", "icon_media_file_audio",
        "icon_media_file_picture", "icon_media_livefile", "icon_media_livefile_video",
        "icon_media_livefile_audio", "icon_media_livefile_picture", "icon_media_folder",
        "icon_media_folder_open", "icon_media_livefolder", "icon_media_livefolder_open" };
    for (const char *icon : icons)
        QTest::addRow("%s", icon) << QLatin1String(icon) + QLatin1String(".png") << QSize(16, 16);
}

// Every image is reachable under both spellings of the resource prefix, at its own size.
void TestMainWindow::compiledInImages()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QImage full(QLatin1String(":/images/") + name);
    const QImage shortPrefix(QLatin1String(":images/") + name);
    QCOMPARE(full.size(), size);
    QCOMPARE(shortPrefix, full);
    QVERIFY(full.hasAlphaChannel() || name == QLatin1String("about_logo.png"));
}

void TestMainWindow::statusBarCountsPlayers()
{
    Fixture f;
    const QList<DirTreeInterface *> libraries(f.libraries.cbegin(), f.libraries.cend());
    TCPServer server(libraries, nullptr, 0);
    QVERIFY(server.listen(QHostAddress::LocalHost));
    f.window->watchPlayers(&server);
    const QList<QLabel *> labels = f.window->statusBar()->findChildren<QLabel *>();
    QCOMPARE(labels.size(), 2);
    const auto shows = [&](const QString &text) {
        return labels.at(0)->text() == text || labels.at(1)->text() == text;
    };
    QVERIFY(shows(QStringLiteral("No players")));
    const QSystemTrayIcon *tray = f.window->findChild<QSystemTrayIcon *>();
    QVERIFY(tray->toolTip().startsWith(QLatin1String("Vela Hearth")));

    QTcpSocket idle, playing;
    idle.connectToHost(QHostAddress::LocalHost, server.serverPort());
    playing.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QTRY_COMPARE(server.connections().size(), 2);
    // A missing file still streams: as NULs, as many as asked for.
    playing.write("GET /VIDEO/none.avi| 0 100000 |\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(shows(QStringLiteral("2 players, 1 streaming")), 3000);
    QCOMPARE(tray->toolTip(), QStringLiteral("Vela Hearth\n2 players connected, 1 streaming"));
    f.window->setConversionCount(2);
    QVERIFY(shows(QStringLiteral("2 players, 1 streaming, 2 converting")));
    QCOMPARE(tray->toolTip(),
        QStringLiteral("Vela Hearth\n2 players connected, 1 streaming, 2 converting"));
    f.window->setConversionCount(0);

    // A DLNA client is a player too; where such clients connect is in the tooltip.
    QTemporaryDir state;
    MediaServer dlna(libraries, state.path());
    QVERIFY(dlna.start(0, QHostAddress::LocalHost, false));
    f.window->watchDlnaClients(&dlna);
    QTcpSocket television;
    television.connectToHost(QHostAddress::LocalHost, dlna.port());
    QTRY_VERIFY_WITH_TIMEOUT(shows(QStringLiteral("3 players, 1 streaming")), 3000);
    QTRY_VERIFY(labels.at(0)->toolTip().contains(QString::number(dlna.port()))
        || labels.at(1)->toolTip().contains(QString::number(dlna.port())));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

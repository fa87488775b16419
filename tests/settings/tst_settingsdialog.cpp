#include "app/productstrings.h"
#include "convert/clientprofiles.h"
#include "convert/clientregistry.h"
#include "settings/settings.h"
#include "settings/settingsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDomDocument>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>

#include <memory>

namespace {

template<typename T> T *control(QWidget *dialog, const char *name)
{
    T *widget = dialog->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no control %s", name);
    return widget;
}

QRadioButton *systemButton(QWidget *dialog, uint code)
{
    static const char *const names[]
        = { "palButton", "ntscButton", "hdtv720Button", "hdtv1080Button" };
    return control<QRadioButton>(dialog, names[code]);
}

QTextEdit *filterEdit(QWidget *dialog, int index)
{
    static const char *const names[]
        = { "videoExtensionsEdit", "audioExtensionsEdit", "pictureExtensionsEdit" };
    return control<QTextEdit>(dialog, names[index]);
}

QPushButton *defaultButton(QWidget *dialog, int index)
{
    // The Default buttons sit below their edits, one per column, in column order.
    QList<QPushButton *> buttons;
    const QList<QPushButton *> all = dialog->findChildren<QPushButton *>();
    for (QPushButton *button : all) {
        if (button->text() == QLatin1String("Default"))
            buttons.append(button);
    }
    std::sort(buttons.begin(), buttons.end(), [](QPushButton *a, QPushButton *b) {
        return a->mapToGlobal(QPoint()).x() < b->mapToGlobal(QPoint()).x();
    });
    return buttons.value(index);
}

// Records every model signal by name, in emission order.
struct SignalLog
{
    explicit SignalLog(Settings &settings)
    {
        QObject::connect(&settings, &Settings::scalingSettingsChanged, &context,
            [this] { names << QStringLiteral("scaling"); });
        QObject::connect(&settings, &Settings::serverNameChanged, &context,
            [this](const QString &name) { names << QStringLiteral("name:") + name; });
        QObject::connect(&settings, &Settings::videoExtensionsChanged, &context,
            [this](const QString &f) { names << QStringLiteral("video:") + f; });
        QObject::connect(&settings, &Settings::audioExtensionsChanged, &context,
            [this](const QString &f) { names << QStringLiteral("audio:") + f; });
        QObject::connect(&settings, &Settings::pictureExtensionsChanged, &context,
            [this](const QString &f) { names << QStringLiteral("pictures:") + f; });
    }
    QObject context;
    QStringList names;
};

// "client=profile;..." as a list of choices.
QList<ClientOverride> overridesOf(const QString &pairs)
{
    QList<ClientOverride> list;
    for (const QString &pair : pairs.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        list.append({ pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1) });
    return list;
}

void loadSettingsXml(Settings &settings, const QString &xml)
{
    QDomDocument document;
    QVERIFY(document.setContent(xml));
    settings.loadXml(document);
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void opensWithModelValues_data();
    void opensWithModelValues();
    void scalingOffDisablesOnlyTheGroup_data();
    void scalingOffDisablesOnlyTheGroup();
    void switchingFormat_data();
    void switchingFormat();
    void discardingLeavesModelUntouched_data();
    void discardingLeavesModelUntouched();
    void defaultButtonsResetTheirOwnList_data();
    void defaultButtonsResetTheirOwnList();
    void multiLineFilterIsStoredWithBlanks();
    void serverNameIsCut_data();
    void serverNameIsCut();
    void okWithNothingChangedCallsAllSetters();
    void compensateIsInverseOfSquarePixels();
    void upnpCheckBoxOnlyWrittenByOk();
    void conversionControls();
    void clientsPage_data();
    void clientsPage();
    void everyControlHasHelp();
    void controlTextsAndHelp_data();
    void controlTextsAndHelp();
};

void TestSettingsDialog::opensWithModelValues_data()
{
    QTest::addColumn<uint>("system");
    QTest::addColumn<uint>("format");
    QTest::addColumn<bool>("squarePixels");
    QTest::addColumn<bool>("compress");
    QTest::addColumn<uint>("shownSystem");
    QTest::addColumn<bool>("hdtvEnabled");

    QTest::addRow("PAL 16:9") << 0u << 1u << false << true << 0u << true;
    QTest::addRow("NTSC 4:3") << 1u << 0u << true << false << 1u << false;
    QTest::addRow("HDTV 720 16:9") << 2u << 1u << true << true << 2u << true;
    QTest::addRow("HDTV 1080 16:9") << 3u << 1u << false << false << 3u << true;
    QTest::addRow("stored 4:3 with HDTV 720 opens as PAL")
        << 2u << 0u << false << true << 0u << false;
    QTest::addRow("stored 4:3 with HDTV 1080 opens as PAL")
        << 3u << 0u << true << true << 0u << false;
}

// Opening shows the model; Ok without touching anything writes the shown values back.
void TestSettingsDialog::opensWithModelValues()
{
    QFETCH(uint, system);
    QFETCH(uint, format);
    QFETCH(bool, squarePixels);
    QFETCH(bool, compress);
    QFETCH(uint, shownSystem);
    QFETCH(bool, hdtvEnabled);

    Settings settings(defaultServerName());
    settings.setScaling(system, format, true, squarePixels, compress);
    SettingsDialog dialog(&settings);

    for (uint code = 0; code < 4; ++code)
        QCOMPARE(systemButton(&dialog, code)->isChecked(), code == shownSystem);
    QCOMPARE(control<QRadioButton>(&dialog, "normalTvButton")->isChecked(), format == 0);
    QCOMPARE(control<QRadioButton>(&dialog, "widescreenTvButton")->isChecked(), format == 1);
    QCOMPARE(systemButton(&dialog, 2)->isEnabled(), hdtvEnabled);
    QCOMPARE(systemButton(&dialog, 3)->isEnabled(), hdtvEnabled);
    QVERIFY(systemButton(&dialog, 0)->isEnabled());
    QVERIFY(systemButton(&dialog, 1)->isEnabled());
    QCOMPARE(control<QCheckBox>(&dialog, "compensateCheck")->isChecked(), !squarePixels);
    QCOMPARE(control<QCheckBox>(&dialog, "colorCorrectionCheck")->isChecked(), compress);

    control<QPushButton>(&dialog, "okButton")->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(uint(settings.tvSystem()), shownSystem);
    QCOMPARE(uint(settings.tvFormat()), format);
    QCOMPARE(settings.scale(), true);
    QCOMPARE(settings.squarePixels(), squarePixels);
    QCOMPARE(settings.compress(), compress);
}

void TestSettingsDialog::scalingOffDisablesOnlyTheGroup_data()
{
    QTest::addColumn<uint>("format");
    QTest::addRow("4:3") << 0u;
    QTest::addRow("16:9") << 1u;
}

void TestSettingsDialog::scalingOffDisablesOnlyTheGroup()
{
    QFETCH(uint, format);
    Settings settings(defaultServerName());
    settings.setScaling(Settings::NTSC, format, false, false, true);
    SettingsDialog dialog(&settings);

    auto *group = control<QGroupBox>(&dialog, "scalingGroup");
    QVERIFY(!group->isChecked());
    QVERIFY(!control<QCheckBox>(&dialog, "compensateCheck")->isEnabled());
    QVERIFY(!control<QRadioButton>(&dialog, "normalTvButton")->isEnabled());
    for (uint code = 0; code < 4; ++code)
        QVERIFY(!systemButton(&dialog, code)->isEnabled());
    QVERIFY(control<QCheckBox>(&dialog, "colorCorrectionCheck")->isEnabled());

    // Turning scaling back on restores what the format allows.
    group->setChecked(true);
    QVERIFY(control<QCheckBox>(&dialog, "compensateCheck")->isEnabled());
    QVERIFY(systemButton(&dialog, 0)->isEnabled());
    QVERIFY(systemButton(&dialog, 1)->isEnabled());
    QCOMPARE(systemButton(&dialog, 3)->isEnabled(), format == 1);

    control<QPushButton>(&dialog, "okButton")->click();
    QVERIFY(settings.scale());
    QCOMPARE(uint(settings.tvSystem()), uint(Settings::NTSC));
}

void TestSettingsDialog::switchingFormat_data()
{
    QTest::addColumn<uint>("system");
    QTest::addColumn<uint>("after43");
    QTest::addRow("PAL stays") << 0u << 0u;
    QTest::addRow("NTSC stays") << 1u << 1u;
    QTest::addRow("HDTV 720 moves to PAL") << 2u << 0u;
    QTest::addRow("HDTV 1080 moves to PAL") << 3u << 0u;
}

void TestSettingsDialog::switchingFormat()
{
    QFETCH(uint, system);
    QFETCH(uint, after43);
    Settings settings(defaultServerName());
    settings.setScaling(system, Settings::WIDESCREEN, true, false, true);
    SettingsDialog dialog(&settings);

    control<QRadioButton>(&dialog, "normalTvButton")->click();
    for (uint code = 0; code < 4; ++code) {
        QCOMPARE(systemButton(&dialog, code)->isChecked(), code == after43);
        QCOMPARE(systemButton(&dialog, code)->isEnabled(), code < 2);
    }

    control<QRadioButton>(&dialog, "widescreenTvButton")->click();
    for (uint code = 0; code < 4; ++code) {
        QCOMPARE(systemButton(&dialog, code)->isChecked(), code == after43);
        QVERIFY(systemButton(&dialog, code)->isEnabled());
    }

    // Nothing of this reached the model.
    QCOMPARE(uint(settings.tvSystem()), system);
    control<QPushButton>(&dialog, "okButton")->click();
    QCOMPARE(uint(settings.tvSystem()), after43);
    QCOMPARE(settings.tvFormat(), Settings::WIDESCREEN);
}

void TestSettingsDialog::discardingLeavesModelUntouched_data()
{
    QTest::addColumn<bool>("viaCancel");
    QTest::addRow("Cancel") << true;
    QTest::addRow("close button") << false;
}

void TestSettingsDialog::discardingLeavesModelUntouched()
{
    QFETCH(bool, viaCancel);
    Settings settings(defaultServerName());
    settings.setExtensions(
        QStringLiteral("*.mkv"), QStringLiteral("*.flac"), QStringLiteral("*.png"));
    SignalLog log(settings);

    SettingsDialog dialog(&settings);
    dialog.show();
    for (int i = 0; i < 3; ++i)
        defaultButton(&dialog, i)->click();
    control<QGroupBox>(&dialog, "scalingGroup")->setChecked(false);
    control<QLineEdit>(&dialog, "serverNameEdit")->setText(QStringLiteral("Elsewhere"));
    if (viaCancel)
        control<QPushButton>(&dialog, "cancelButton")->click();
    else
        dialog.close();

    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(log.names, QStringList());
    QCOMPARE(settings.extensions(),
        QStringList(
            { QStringLiteral("*.mkv"), QStringLiteral("*.flac"), QStringLiteral("*.png") }));
    QVERIFY(settings.scale());
    QCOMPARE(settings.serverName(), QStringLiteral("My Hearth"));
}

void TestSettingsDialog::defaultButtonsResetTheirOwnList_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("expected");
    QTest::addRow("video") << 0
                           << QStringLiteral(
                                  "*.avi\n*.m4v\n*.mkv\n*.mov\n*.mp4\n*.mpg\n*.mpeg\n*.ts\n*."
                                  "vob\n*.webm\n*.wmv");
    QTest::addRow("audio") << 1
                           << QStringLiteral("*.aac\n*.flac\n*.m3u\n*.m4a\n*.mp3\n*.ogg\n*.opus\n*."
                                             "tta\n*.wav\n*.wma");
    QTest::addRow("pictures") << 2 << QStringLiteral("*.jpg\n*.jpeg\n*.png");
}

void TestSettingsDialog::defaultButtonsResetTheirOwnList()
{
    QFETCH(int, index);
    QFETCH(QString, expected);
    Settings settings(defaultServerName());
    settings.setExtensions(
        QStringLiteral("*.v1 *.v2"), QStringLiteral("*.a1"), QStringLiteral("*.p1"));
    const QStringList custom
        = { QStringLiteral("*.v1\n*.v2"), QStringLiteral("*.a1"), QStringLiteral("*.p1") };
    SettingsDialog dialog(&settings);
    dialog.show();

    for (int i = 0; i < 3; ++i)
        QCOMPARE(filterEdit(&dialog, i)->toPlainText(), custom.at(i));
    defaultButton(&dialog, index)->click();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(filterEdit(&dialog, i)->toPlainText(), i == index ? expected : custom.at(i));
    // Only the box changed until Ok.
    QCOMPARE(settings.extensions().at(index),
        QString(custom.at(index)).replace(QLatin1Char('\n'), QLatin1Char(' ')));

    control<QPushButton>(&dialog, "okButton")->click();
    QCOMPARE(settings.extensions().at(index),
        QString(expected).replace(QLatin1Char('\n'), QLatin1Char(' ')));
}

void TestSettingsDialog::multiLineFilterIsStoredWithBlanks()
{
    Settings settings(defaultServerName());
    SignalLog log(settings);
    SettingsDialog dialog(&settings);
    filterEdit(&dialog, 1)->setPlainText(QStringLiteral("*.mp3\n*.flac\n*.opus"));
    filterEdit(&dialog, 2)->setPlainText(QStringLiteral("\n  \n"));

    control<QPushButton>(&dialog, "okButton")->click();
    QCOMPARE(settings.extensions().at(1), QStringLiteral("*.mp3 *.flac *.opus"));
    QCOMPARE(settings.extensions().at(2), QStringLiteral("*"));
    QCOMPARE(log.names,
        QStringList({ QStringLiteral("scaling"), QStringLiteral("audio:*.mp3 *.flac *.opus"),
            QStringLiteral("pictures:*") }));
}

void TestSettingsDialog::serverNameIsCut_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");
    const QString thirty = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123");
    QTest::addRow("31 characters") << thirty + QStringLiteral("4") << thirty;
    QTest::addRow("45 characters") << thirty + QStringLiteral("456789ABCDEFGHI") << thirty;
    QTest::addRow("exactly 30") << thirty << thirty;
    QTest::addRow("leading blanks count") << QStringLiteral("     ") + thirty << thirty.left(25);
    QTest::addRow("blank gives default") << QStringLiteral("   ") << QStringLiteral("My Hearth");
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two units
    QTest::addRow("pair across the cut is not split") << QString(29, QLatin1Char('x')) + face
            + QStringLiteral("tail") << QString(29, QLatin1Char('x'));
    QTest::addRow("pair before the cut kept") << QString(28, QLatin1Char('x')) + face
            + QStringLiteral("tail") << QString(28, QLatin1Char('x')) + face;
}

void TestSettingsDialog::serverNameIsCut()
{
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    Settings settings(defaultServerName());
    SettingsDialog dialog(&settings);
    control<QLineEdit>(&dialog, "serverNameEdit")->setText(typed);
    control<QPushButton>(&dialog, "okButton")->click();
    QCOMPARE(settings.serverName(), stored);
}

// A model read from a file can hold values that its setters would normalise; Ok hands them
// back through all three setters, so each one shows up as a change, in setter order.
void TestSettingsDialog::okWithNothingChangedCallsAllSetters()
{
    Settings settings(defaultServerName());
    loadSettingsXml(settings,
        QStringLiteral("<hearth><settings><server name=\"  Padded  \"/>"
                       "<extensions><video>\n*.avi\n</video><audio>*.mp3\n*.ogg</audio>"
                       "<pictures>*.jpg *.png\n*.gif</pictures></extensions></settings>"
                       "</hearth>"));
    SignalLog log(settings);

    SettingsDialog dialog(&settings);
    control<QPushButton>(&dialog, "okButton")->click();

    QCOMPARE(log.names,
        QStringList({ QStringLiteral("scaling"), QStringLiteral("name:Padded"),
            QStringLiteral("video: *.avi "), QStringLiteral("audio:*.mp3 *.ogg"),
            QStringLiteral("pictures:*.jpg *.png *.gif") }));

    // With a model already in normal form only the scaling signal, which always fires.
    log.names.clear();
    SettingsDialog again(&settings);
    control<QPushButton>(&again, "okButton")->click();
    QCOMPARE(log.names, QStringList({ QStringLiteral("scaling") }));
}

void TestSettingsDialog::upnpCheckBoxOnlyWrittenByOk()
{
    Settings settings(defaultServerName());
    QSignalSpy changed(&settings, &Settings::serveUpnpChanged);
    {
        SettingsDialog dialog(&settings);
        auto *check = control<QCheckBox>(&dialog, "serveUpnpCheck");
        QVERIFY(check->isChecked());
        check->setChecked(false);
        control<QPushButton>(&dialog, "cancelButton")->click();
    }
    QVERIFY(settings.serveUpnp());
    SettingsDialog dialog(&settings);
    control<QCheckBox>(&dialog, "serveUpnpCheck")->setChecked(false);
    control<QPushButton>(&dialog, "okButton")->click();
    QVERIFY(!settings.serveUpnp());
    QCOMPARE(changed.count(), 1);
    SettingsDialog again(&settings);
    QVERIFY(!control<QCheckBox>(&again, "serveUpnpCheck")->isChecked());
}

void TestSettingsDialog::conversionControls()
{
    Settings settings(defaultServerName());
    settings.setConversionEnabled(false);
    for (const char *button : { "cancelButton", "okButton" }) {
        SettingsDialog dialog(&settings);
        auto *spin = control<QSpinBox>(&dialog, "conversionLimitSpin");
        QVERIFY(!spin->isEnabled());
        control<QCheckBox>(&dialog, "conversionCheck")->click();
        spin->setValue(5);
        control<QPushButton>(&dialog, button)->click();
    }
    QVERIFY(settings.conversionEnabled());
    QCOMPARE(settings.conversionLimit(), 5);
}

void TestSettingsDialog::clientsPage_data()
{
    QTest::addColumn<QString>("stored"); // "client=profile;..."
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("choose"); // a profile id, "" for Automatic
    QTest::addColumn<QString>("saved");

    QTest::addRow("another profile for one client")
        << QString() << 1 << QStringLiteral("vlc") << QStringLiteral("10.0.0.5=vlc");
    QTest::addRow("plays everything")
        << QString() << 0 << QStringLiteral("everything") << QStringLiteral("10.0.0.6=everything");
    QTest::addRow("automatic drops the choice, the others stay as stored")
        << QStringLiteral("10.0.0.5=ps4;10.0.0.9=tv-of-2030") << 1 << QString()
        << QStringLiteral("10.0.0.9=tv-of-2030");
    QTest::addRow("a choice stored by name is changed by name")
        << QStringLiteral("Den PS3=everything") << 1 << QStringLiteral("generic")
        << QStringLiteral("Den PS3=generic");
    QTest::addRow("a client not seen in this run can be set back")
        << QStringLiteral("10.0.0.9=ps3") << 2 << QString() << QString();
}

// The clients seen, most recent first, then the choices for clients not seen; Ok stores only
// the rows that changed.
void TestSettingsDialog::clientsPage()
{
    QFETCH(QString, stored);
    QFETCH(int, row);
    QFETCH(QString, choose);
    QFETCH(QString, saved);

    ClientProfiles profiles;
    ClientRegistry registry(profiles);
    registry.recognise(QStringLiteral("10.0.0.5"), { "PLAYSTATION 3", {}, "Den PS3", {}, {} });
    registry.recognise(QStringLiteral("10.0.0.6"), { "VLC/3.0.18", {}, {}, {}, {} });
    Settings settings(defaultServerName());
    settings.setClientOverrides(overridesOf(stored));
    SettingsDialog dialog(&settings);
    auto *table = control<QTableWidget>(&dialog, "clientsTable");
    QCOMPARE(table->rowCount(), settings.clientOverrides().size());
    dialog.setClients(&registry, &profiles);
    QCOMPARE(table->item(0, 2)->text(), QStringLiteral("VLC"));
    QCOMPARE(table->item(1, 0)->text(), QStringLiteral("Den PS3"));
    QCOMPARE(table->item(1, 2)->text(), QStringLiteral("PlayStation 3"));
    auto *chooser = qobject_cast<QComboBox *>(table->cellWidget(row, 3));
    QVERIFY(chooser);
    chooser->setCurrentIndex(chooser->findData(choose));
    QVERIFY(chooser->currentIndex() >= 0);
    control<QPushButton>(&dialog, "okButton")->click();
    QCOMPARE(settings.clientOverrides(), overridesOf(saved));
}

void TestSettingsDialog::compensateIsInverseOfSquarePixels()
{
    Settings settings(defaultServerName());
    settings.setScaling(Settings::PAL, Settings::NORMAL, true, true, true);
    SettingsDialog dialog(&settings);
    auto *compensate = control<QCheckBox>(&dialog, "compensateCheck");
    QVERIFY(!compensate->isChecked());
    compensate->click();
    control<QPushButton>(&dialog, "okButton")->click();
    QVERIFY(!settings.squarePixels());
}

void TestSettingsDialog::everyControlHasHelp()
{
    Settings settings(defaultServerName());
    SettingsDialog dialog(&settings);
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Vela Hearth Settings"));

    auto *tabs = dialog.findChild<QTabWidget *>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 4);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Pictures"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Server"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Extensions"));
    QCOMPARE(tabs->tabText(3), QStringLiteral("Clients"));

    QStringList missing;
    const QList<QWidget *> widgets = dialog.findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        // The parts of a spin box or table (its line edit, headers, corner) go with it.
        QWidget *parent = widget->parentWidget();
        const bool part
            = qobject_cast<QAbstractSpinBox *>(parent) || qobject_cast<QAbstractItemView *>(parent);
        const bool input = !part
            && (qobject_cast<QAbstractButton *>(widget) || qobject_cast<QLineEdit *>(widget)
                || qobject_cast<QTextEdit *>(widget) || qobject_cast<QAbstractSpinBox *>(widget)
                || qobject_cast<QComboBox *>(widget) || qobject_cast<QAbstractItemView *>(widget));
        const bool isOkOrCancel = widget->objectName() == QLatin1String("okButton")
            || widget->objectName() == QLatin1String("cancelButton");
        if (input && !isOkOrCancel && widget->whatsThis().isEmpty()
            && !qobject_cast<QTabBar *>(widget->parentWidget()))
            missing << QString::fromLatin1(widget->metaObject()->className()) + QLatin1Char(' ')
                    + widget->property("text").toString();
    }
    QCOMPARE(missing, QStringList());
    QVERIFY(!control<QGroupBox>(&dialog, "scalingGroup")->whatsThis().isEmpty());
}

void TestSettingsDialog::controlTextsAndHelp_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("help");

    const QString system = QStringLiteral(
        "In order to compensate and pre-scale correctly, you will need to set which TV "
        "system you have. NTSC is mainly used in the US and Japan, while PAL is the "
        "system used in Europe. If you are uncertain which one you have, in general this "
        "option should just be set to the same as your player.");
    const QString server = QStringLiteral(
        "Enter the name of your Hearth server here to be able to identify it on your player.");
    const QString extensions = QStringLiteral(
        "Hearth is currently set up to accept the following file extensions. Feel free to"
        " add your own in the same fashion. Please note that your player has to support "
        "them to play them.");

    // The two blanks after "sometimes" belong to the text.
    QTest::addRow("Color Correction") << QStringLiteral("Color Correction") << 1 << QStringLiteral(
        "A TV screen is usually configured with a slightly more compressed color range "
        "(sometimes  referred to as 'gamut') than a computer monitor. This has an effect "
        "on the brightest and darkest parts of a picture. Activating 'Color Correction' "
        "will compensate for this and make your pictures look their best on the TV "
        "screen.");
    QTest::addRow("4:3 TV") << QStringLiteral("4:3 TV") << 1 << QStringLiteral(
        "If you will be viewing your pictures on a conventional 4:3 format TV, you will "
        "need to select this option. If you have a widescreen (16:9) TV, you will need to"
        " select the 16:9 option.");
    QTest::addRow("16:9 TV") << QStringLiteral("16:9 TV") << 1 << QStringLiteral(
        "If you will be viewing your pictures on a widescreen (16:9) format TV, you will "
        "need to select this option. If you have a conventional 4:3 TV, you will need to "
        "select the 4:3 option.");
    QTest::addRow("PAL") << QStringLiteral("PAL (720x576)") << 1 << system;
    QTest::addRow("NTSC") << QStringLiteral("NTSC (720x480)") << 1 << system;
    QTest::addRow("HDTV 720") << QStringLiteral("HDTV (1280x720)") << 1 << QStringLiteral(
        "If you are viewing pictures on an HDTV in 720p mode, you should select this "
        "option in order to gain full advantage of the resolution.");
    QTest::addRow("HDTV 1080") << QStringLiteral("HDTV (1920x1080)") << 1 << QStringLiteral(
        "If you are viewing pictures on an HDTV in 1080i or 1080p mode, you should select"
        " this option in order to gain full advantage of the resolution.");
    QTest::addRow("Compensate") << QStringLiteral("Compensate for Non-Square Pixels") << 1
        << QStringLiteral(
        "In most resolutions, conventional TVs do not have square pixels, making your "
        "pictures appear slightly squished when you view them. If you are experiencing "
        "this, enabling this option will compensate for it, making your pictures appear "
        "as they should.");
    QTest::addRow("Scaling group") << QStringLiteral("Scaling") << 1 << QStringLiteral(
        "Modern digital cameras are able to shoot pictures in very high resolution - much"
        " higher than a TV screen is able to display. As a result of their size they also"
        " take a long time to load. Enabling this option will pre-scale your pictures on "
        "your PC as they are sent to your player, speeding up the time it takes to view "
        "them. This process will not overwrite or in any other way alter your existing "
        "pictures.");
    QTest::addRow("Server Name label") << QStringLiteral("Server Name:") << 1 << server;
    QTest::addRow("server name edit") << QStringLiteral("#serverNameEdit") << 1 << server;
    QTest::addRow("UPnP check box")
        << QStringLiteral("Serve UPnP/DLNA players (smart TVs, consoles, phones)") << 1
        << QStringLiteral("Besides Hearth's own players, smart TVs, game consoles, phones and "
                          "media programs that browse UPnP/DLNA media servers find this server "
                          "under the same name and play from the same three libraries. They "
                          "need UDP port 1900 and the HTTP port shown in the status bar open in "
                          "the firewall.");
    QTest::addRow("video edit") << QStringLiteral("#videoExtensionsEdit") << 1 << extensions;
    QTest::addRow("audio edit") << QStringLiteral("#audioExtensionsEdit") << 1 << extensions;
    QTest::addRow("pictures edit") << QStringLiteral("#pictureExtensionsEdit") << 1 << extensions;
    QTest::addRow("Default buttons") << QStringLiteral("Default") << 3
                                     << QStringLiteral("Pressing this will reset this list of extensions.");
    // Texts that carry no help of their own.
    QTest::addRow("TV Format group") << QStringLiteral("TV Format") << 1 << QString();
    QTest::addRow("TV System group") << QStringLiteral("TV System") << 1 << QString();
    QTest::addRow("Video label") << QStringLiteral("Video:") << 1 << QString();
    QTest::addRow("Audio label") << QStringLiteral("Audio:") << 1 << QString();
    QTest::addRow("Pictures label") << QStringLiteral("Pictures:") << 1 << QString();
    QTest::addRow("Ok") << QStringLiteral("&Ok") << 1 << QString();
    QTest::addRow("Cancel") << QStringLiteral("&Cancel") << 1 << QString();
}

// Finds the controls by their visible text ("#name" for an object name) and compares each
// one's What's This help word for word.
void TestSettingsDialog::controlTextsAndHelp()
{
    QFETCH(QString, control);
    QFETCH(int, count);
    QFETCH(QString, help);

    Settings settings(defaultServerName());
    SettingsDialog dialog(&settings);
    QList<QWidget *> found;
    const QList<QWidget *> widgets = dialog.findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        QString text;
        if (control.startsWith(QLatin1Char('#')))
            text = QLatin1Char('#') + widget->objectName();
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            text = button->text();
        else if (auto *group = qobject_cast<QGroupBox *>(widget))
            text = group->title();
        else if (auto *label = qobject_cast<QLabel *>(widget))
            text = label->text();
        if (text == control)
            found << widget;
    }
    QCOMPARE(found.size(), count);
    for (QWidget *widget : std::as_const(found))
        QCOMPARE(widget->whatsThis(), help);
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"

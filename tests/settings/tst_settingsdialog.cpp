#include "settings/settings.h"
#include "settings/settingsdialog.h"

#include <QCheckBox>
#include <QDomDocument>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
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
    void everyControlHasHelp();
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

    Settings settings;
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
    Settings settings;
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
    Settings settings;
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
    Settings settings;
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
                           << QStringLiteral("*.avi\n*.mp4\n*.mpg\n*.mpeg\n*.ts\n*.vob\n*.wmv");
    QTest::addRow("audio") << 1
                           << QStringLiteral("*.aac\n*.m3u\n*.mp3\n*.ogg\n*.tta\n*.wav\n*.wma");
    QTest::addRow("pictures") << 2 << QStringLiteral("*.jpg\n*.jpeg");
}

void TestSettingsDialog::defaultButtonsResetTheirOwnList()
{
    QFETCH(int, index);
    QFETCH(QString, expected);
    Settings settings;
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
    Settings settings;
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
    Settings settings;
    SettingsDialog dialog(&settings);
    control<QLineEdit>(&dialog, "serverNameEdit")->setText(typed);
    control<QPushButton>(&dialog, "okButton")->click();
    QCOMPARE(settings.serverName(), stored);
}

// A model read from a file can hold values that its setters would normalise; Ok hands them
// back through all three setters, so each one shows up as a change, in setter order.
void TestSettingsDialog::okWithNothingChangedCallsAllSetters()
{
    Settings settings;
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

void TestSettingsDialog::compensateIsInverseOfSquarePixels()
{
    Settings settings;
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
    Settings settings;
    SettingsDialog dialog(&settings);
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Vela Hearth Settings"));

    auto *tabs = dialog.findChild<QTabWidget *>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Pictures"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Server"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Extensions"));

    QStringList missing;
    const QList<QWidget *> widgets = dialog.findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        const bool input = qobject_cast<QAbstractButton *>(widget)
            || qobject_cast<QLineEdit *>(widget) || qobject_cast<QTextEdit *>(widget);
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

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"

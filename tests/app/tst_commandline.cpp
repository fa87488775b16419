#include "app/commandline.h"

#include <QTest>

Q_DECLARE_METATYPE(CommandLine::Action)

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Action>("action");
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("verbose");
    QTest::addColumn<int>("exitCode");

    const auto row = [](const char *name, const QStringList &arguments, CommandLine::Action action,
                         const QString &config = QString(), bool verbose = false) {
        QTest::addRow("%s", name) << (QStringList { QStringLiteral("hearth") } + arguments)
                                  << action << config << verbose
                                  << (action == CommandLine::Refuse ? 2 : 0);
    };
    const QString file = QStringLiteral("/srv/hearth/living-room.xml");
    row("nothing", {}, CommandLine::Run);
    row("config", { QStringLiteral("--config"), file }, CommandLine::Run, file);
    row("config with equals", { QStringLiteral("--config=") + file }, CommandLine::Run, file);
    row("verbose", { QStringLiteral("--verbose") }, CommandLine::Run, QString(), true);
    // The toolkit's own options pass, with one dash or two, before or after ours.
    row("platform", { QStringLiteral("-platform"), QStringLiteral("offscreen") }, CommandLine::Run);
    row("platform and ours",
        { QStringLiteral("--verbose"), QStringLiteral("-platform"), QStringLiteral("offscreen"),
            QStringLiteral("--config"), file },
        CommandLine::Run, file, true);
    row("style", { QStringLiteral("-style=fusion"), QStringLiteral("-reverse") }, CommandLine::Run);
    row("help", { QStringLiteral("--help") }, CommandLine::ShowHelp);
    row("short help", { QStringLiteral("-h") }, CommandLine::ShowHelp);
    row("version", { QStringLiteral("--version") }, CommandLine::ShowVersion);
    row("help wins over running", { QStringLiteral("--verbose"), QStringLiteral("--help") },
        CommandLine::ShowHelp);
    // Anything else starts nothing.
    row("unknown option", { QStringLiteral("--port"), QStringLiteral("9000") },
        CommandLine::Refuse);
    row("unknown single dash", { QStringLiteral("-x") }, CommandLine::Refuse);
    row("config without file", { QStringLiteral("--config") }, CommandLine::Refuse);
    row("config empty", { QStringLiteral("--config=") }, CommandLine::Refuse);
    row("stray argument", { QStringLiteral("hearth.xml") }, CommandLine::Refuse);
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Action, action);
    QFETCH(QString, config);
    QFETCH(bool, verbose);
    QFETCH(int, exitCode);

    const CommandLine line = parseCommandLine(arguments);
    QCOMPARE(line.action, action);
    QCOMPARE(line.configFile, config);
    QCOMPARE(line.verbose, verbose);
    QCOMPARE(line.exitCode(), exitCode);
    if (action == CommandLine::ShowHelp || action == CommandLine::Refuse) {
        QVERIFY2(
            line.text.contains(QLatin1String("Usage: hearth [options]")), qPrintable(line.text));
        QVERIFY(line.text.contains(QLatin1String("--config <file>")));
        QVERIFY(!line.text.contains(QLatin1String("platform")));
    }
    if (action == CommandLine::ShowVersion)
        QCOMPARE(line.text, QStringLiteral("Vela Hearth v. 3.0.0\n"));
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"

#include "convert/clientprofiles.h"
#include "convert/clientregistry.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

ClientHints userAgent(const char *text)
{
    ClientHints hints;
    hints.userAgent = text;
    return hints;
}

// The smallest file that loads, with `extra` fields spliced in.
QByteArray profileText(const char *extra = "")
{
    return QByteArray("{ \"format\": 1, \"name\": \"Test\", \"sources\": { \"m\": \"manual\" }")
        + extra + "}";
}

} // namespace

Q_DECLARE_METATYPE(ClientHints)

class tst_ClientProfiles : public QObject
{
    Q_OBJECT

private slots:
    void builtIn();
    void recognise_data();
    void recognise();
    void broken_data();
    void broken();
    void userFolder();
    void memory();
    void overrides();
};

void tst_ClientProfiles::builtIn()
{
    const ClientProfiles profiles;
    QCOMPARE(profiles.errors(), QStringList());
    QStringList ids;
    for (const ClientProfile &profile : profiles.all())
        ids.append(profile.id);
    QCOMPARE(ids.join(QLatin1Char(' ')),
        QStringLiteral("bubbleupnp everything generic kodi lg-webos panasonic-viera ps3 ps4 "
                       "samsung-tizen sony-bravia vlc wmp xbox-one xbox360"));
    QVERIFY(!profiles.generic().playsEverything);
    QVERIFY(profiles.everything().playsEverything);
}

void tst_ClientProfiles::recognise_data()
{
    QTest::addColumn<ClientHints>("hints");
    QTest::addColumn<QString>("profile");

    const auto row = [](const char *label, const ClientHints &hints, const char *profile) {
        QTest::newRow(label) << hints << QString::fromLatin1(profile);
    };
    row("Samsung UA", userAgent("DLNADOC/1.50 SEC_HHP_[TV] UE55NU7100/1.0 UPnP/1.0"),
        "samsung-tizen");
    row("Samsung series", userAgent("SEC_HHP_[TV] Samsung Q6 Series (55)/1.0"), "samsung-tizen");
    ClientHints samsungName;
    samsungName.friendlyName = "[TV] Samsung Q60 Series (55)";
    row("Samsung friendly name", samsungName, "samsung-tizen");
    row("LG webOS",
        userAgent("Linux/3.10.19-32.afro.4 UPnP/1.0 LGE WebOS TV LGE_DLNA_SDK/1.6.0/04.30.13 "
                  "DLNADOC/1.50"),
        "lg-webos");
    ClientHints bravia;
    bravia.userAgent = "UPnP/1.0 DLNADOC/1.50";
    bravia.clientInfo = "av=5.0; cn=\"Sony Corporation\"; mn=\"BRAVIA KDL-40EX720\"; mv=\"1.7\";";
    row("BRAVIA client info", bravia, "sony-bravia");
    row("Panasonic", userAgent("Panasonic MIL DLNA CP UPnP/1.0 DLNADOC/1.50"), "panasonic-viera");
    row("Xbox 360", userAgent("Xbox/2.0.17559.0 UPnP/1.0 Xbox/2.0.17559.0"), "xbox360");
    ClientHints x360;
    x360.manufacturer = QStringLiteral("Microsoft Corporation");
    x360.model = QStringLiteral("Xbox 360");
    row("Xbox 360 description", x360, "xbox360");
    ClientHints xone = x360;
    xone.model = QStringLiteral("Xbox One");
    row("Xbox One description", xone, "xbox-one");
    row("PS3 UA", userAgent("PLAYSTATION 3"), "ps3");
    ClientHints ps3;
    ps3.clientInfo = "av=5.0; cn=\"Sony Computer Entertainment Inc.\"; mn=\"PLAYSTATION 3\"; "
                     "mv=\"1.0\";";
    row("PS3 client info, not a Sony TV", ps3, "ps3");
    row("PS4", userAgent("libhttp/4.50 (PlayStation 4)"), "ps4");
    row("WMP browsing",
        userAgent("Microsoft-Windows/10.0 UPnP/1.0 Windows-Media-Player/12.0.19041.1 "
                  "DLNADOC/1.50 (MS-DeviceCaps/1024)"),
        "wmp");
    row("WMP fetching", userAgent("NSPlayer/12.00.19041.1 WMFSDK/12.00.19041.1"), "wmp");
    row("VLC", userAgent("VLC/3.0.18 LibVLC/3.0.18"), "vlc");
    row("Kodi", userAgent("Kodi/20.2 (X11; Linux x86_64) Debian/12 App_Bitness/64 Version/20.2"),
        "kodi");
    row("BubbleUPnP", userAgent("BubbleUPnP UPnP/1.1"), "bubbleupnp");
    row("libupnp says nothing",
        userAgent("Linux/5.10 UPnP/1.0 Portable SDK for UPnP devices/1.14.13"), "");
    row("nothing", ClientHints(), "");
}

void tst_ClientProfiles::recognise()
{
    QFETCH(ClientHints, hints);
    QFETCH(QString, profile);
    static const ClientProfiles profiles;
    const ClientProfile *matched = profiles.match(hints);
    QCOMPARE(matched ? matched->id : QString(), profile);
}

void tst_ClientProfiles::broken_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("error");

    const auto row = [](const char *label, const QByteArray &text, const char *error,
                         const char *id = "test") {
        QTest::newRow(label) << text << QString::fromLatin1(id) << QString::fromLatin1(error);
    };
    row("loads, with comments",
        "// a note\n"
            + profileText(",\n  // another\n \"quirks\": "
                          "{ \"seek\": \"time\", \"source\": \"m\" }"),
        "");
    row("not JSON", "{ \"format\": 1,", "not JSON");
    row("a list", "[]", "not a JSON object");
    row("no format", "{ \"name\": \"x\" }", "format must be 1");
    row("name a number", "{ \"format\": 1, \"name\": 5 }", "name is not text");
    row("misspelt limit",
        profileText(", \"video\": [ { \"codec\": \"h264\", \"maxWidht\": 1920, \"source\": "
                    "\"m\" } ]"),
        "unknown field \"maxWidht\"");
    row("claim without source", profileText(", \"video\": [ { \"codec\": \"h264\" } ]"),
        "without its source");
    row("source not listed", profileText(", \"containers\": { \"mp4\": \"nowhere\" }"),
        "\"nowhere\" is not in sources");
    row("bad pattern",
        profileText(", \"recognise\": { \"userAgent\": [\"(\"], \"source\": \"m\" }"),
        "userAgent: \"(\"");
    row("unknown container", profileText(", \"containers\": { \"mkvv\": \"m\" }"),
        "unknown container \"mkvv\"");
    row("header in a MIME type",
        profileText(", \"quirks\": { \"mime\": { \"mkv\": \"video/x-mkv\\r\\nX-A: b\" }, "
                    "\"source\": \"m\" }"),
        "is not a MIME type");
    row("negative width",
        profileText(", \"video\": [ { \"codec\": \"h264\", \"maxWidth\": -1, \"source\": \"m\" "
                    "} ]"),
        "maxWidth is not a whole number");
    row("converts into HEVC", profileText(", \"convert\": { \"video\": [\"hevc\"] }"),
        "cannot convert into \"hevc\"");
    row("file name no id", profileText(), "not a profile id", "Bad Name");
}

void tst_ClientProfiles::broken()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, id);
    QFETCH(QString, error);
    ClientProfiles profiles;
    const int before = profiles.all().size();
    QCOMPARE(profiles.loadText(text, id, QStringLiteral("test.json")), error.isEmpty());
    if (error.isEmpty()) {
        QCOMPARE(profiles.all().size(), before + 1);
        QCOMPARE(profiles.find(id)->seek, ClientProfile::Seek::Time);
        return;
    }
    QCOMPARE(profiles.errors().size(), 1);
    QVERIFY2(profiles.errors().first().contains(error), qPrintable(profiles.errors().first()));
    QCOMPARE(profiles.all().size(), before);
}

void tst_ClientProfiles::userFolder()
{
    QTemporaryDir dir;
    const auto write = [&](const char *name, const QByteArray &text) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    };
    write("generic.json", profileText());
    write("mine.json", profileText());
    write("broken.json", "{");
    write("huge.json", QByteArray(300 * 1024, ' ') + profileText());
    ClientProfiles profiles;
    const int before = profiles.all().size();
    profiles.loadFolder(dir.path());
    QCOMPARE(profiles.errors().size(), 2);
    QCOMPARE(profiles.all().size(), before + 1);
    QCOMPARE(profiles.generic().name, QStringLiteral("Test"));
    QVERIFY(profiles.find(QStringLiteral("mine")));
    QVERIFY(profiles.find(QStringLiteral("ps3")));
}

void tst_ClientProfiles::memory()
{
    const ClientProfiles profiles;
    ClientRegistry registry(profiles, 3);
    const QString a = QStringLiteral("10.0.0.2");
    QCOMPARE(registry.recognise(a, userAgent("PLAYSTATION 3")).id, QStringLiteral("ps3"));
    // Requests that carry nothing, or nothing known, are the same client.
    QCOMPARE(registry.recognise(a, ClientHints()).id, QStringLiteral("ps3"));
    QCOMPARE(registry.recognise(a, userAgent("Linux/5.10 UPnP/1.0")).id, QStringLiteral("ps3"));
    QCOMPARE(registry.recognise(QStringLiteral("10.0.0.3"), ClientHints()).id,
        QStringLiteral("generic"));
    QCOMPARE(registry.recognise(QStringLiteral("10.0.0.4"), userAgent("VLC/3.0")).id,
        QStringLiteral("vlc"));
    QCOMPARE(registry.seen().size(), 3);
    QCOMPARE(registry.seen().first().address, QStringLiteral("10.0.0.4"));

    // Full: the one seen longest ago (10.0.0.3) goes, not the first one met.
    registry.recognise(a, ClientHints());
    registry.recognise(QStringLiteral("10.0.0.5"), ClientHints());
    QCOMPARE(registry.seen().size(), 3);
    QCOMPARE(registry.recognise(a, ClientHints()).id, QStringLiteral("ps3"));
    QCOMPARE(registry.seen().last().address, QStringLiteral("10.0.0.4"));
    registry.recognise(QStringLiteral("10.0.0.6"), ClientHints());
    QCOMPARE(registry.recognise(QStringLiteral("10.0.0.4"), ClientHints()).id,
        QStringLiteral("generic"));
}

void tst_ClientProfiles::overrides()
{
    const ClientProfiles profiles;
    ClientRegistry registry(profiles);
    ClientHints ps3;
    ps3.clientInfo = "av=5.0; mn=\"PLAYSTATION 3\"";
    const QList<ClientOverride> saved
        = { { QStringLiteral("10.0.0.2"), QStringLiteral("everything") },
              { QStringLiteral("PLAYSTATION 3"), QStringLiteral("kodi") },
              { QStringLiteral("10.0.0.9"), QStringLiteral("no-such-profile") } };
    registry.setOverrides(saved);
    QCOMPARE(registry.overrides(), saved);

    QCOMPARE(registry.recognise(QStringLiteral("10.0.0.2"), ps3).id, QStringLiteral("everything"));
    // By the name the client gives, from any address.
    QCOMPARE(registry.recognise(QStringLiteral("10.0.0.3"), ps3).id, QStringLiteral("kodi"));
    QCOMPARE(registry.seen().first().name, QStringLiteral("PLAYSTATION 3"));
    QCOMPARE(registry.seen().first().profile, QStringLiteral("ps3"));
    // A profile that no longer loads: recognised as usual.
    QCOMPARE(registry.recognise(QStringLiteral("10.0.0.9"), userAgent("VLC/3.0")).id,
        QStringLiteral("vlc"));

    registry.setOverride(QStringLiteral("PLAYSTATION 3"), QString());
    QCOMPARE(registry.recognise(QStringLiteral("10.0.0.3"), ps3).id, QStringLiteral("ps3"));
    QCOMPARE(registry.overrides().size(), 2);
}

QTEST_GUILESS_MAIN(tst_ClientProfiles)
#include "tst_clientprofiles.moc"

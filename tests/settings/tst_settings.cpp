#include "app/productstrings.h"
#include "settings/settings.h"

#include <QDomDocument>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void freshObjectHoldsDefaults();
    void setScalingNormalisesCodes_data();
    void setScalingNormalisesCodes();
    void setScalingAlwaysEmits();
    void setServerName_data();
    void setServerName();
    void setExtensions_data();
    void setExtensions();
    void loadXmlWithoutSettingsChangesNothing_data();
    void loadXmlWithoutSettingsChangesNothing();
    void loadXmlReadsElements_data();
    void loadXmlReadsElements();
    void loadXmlEmitsScalingThenName();
    void upnpElement_data();
    void upnpElement();
    void conversionElement_data();
    void conversionElement();
    void clientOverridesAreBounded();
    void saveThenLoadReproducesEveryField();
};

namespace {

QDomDocument parse(const QString &text)
{
    QDomDocument document;
    document.setContent(text);
    return document;
}

} // namespace

void TestSettings::freshObjectHoldsDefaults()
{
    Settings s(defaultServerName());
    QCOMPARE(s.tvSystem(), Settings::PAL);
    QCOMPARE(s.tvFormat(), Settings::WIDESCREEN);
    QCOMPARE(s.width(), 720u);
    QCOMPARE(s.height(), 576u);
    QCOMPARE(s.screenRatio(), 16.0 / 9.0);
    QVERIFY(s.scale());
    QVERIFY(!s.squarePixels());
    QVERIFY(s.compress());
    QCOMPARE(s.compressMin(), 16u);
    QCOMPARE(s.compressMax(), 235u);
    QCOMPARE(s.serverName(), QStringLiteral("My Hearth"));
    QCOMPARE(s.extensions(),
        QStringList(
            { QStringLiteral("*.avi *.m4v *.mkv *.mov *.mp4 *.mpg *.mpeg *.ts *.vob *.webm *.wmv"),
                QStringLiteral("*.aac *.flac *.m3u *.m4a *.mp3 *.ogg *.opus *.tta *.wav *.wma"),
                QStringLiteral("*.jpg *.jpeg *.png") }));
}

void TestSettings::setScalingNormalisesCodes_data()
{
    QTest::addColumn<uint>("system");
    QTest::addColumn<uint>("format");
    QTest::addColumn<uint>("width");
    QTest::addColumn<uint>("height");
    QTest::addColumn<double>("ratio");

    QTest::newRow("PAL 4:3") << 0u << 0u << 720u << 576u << 4.0 / 3.0;
    QTest::newRow("NTSC 16:9") << 1u << 1u << 720u << 480u << 16.0 / 9.0;
    QTest::newRow("HDTV 720") << 2u << 1u << 1280u << 720u << 16.0 / 9.0;
    QTest::newRow("HDTV 1080") << 3u << 0u << 1920u << 1080u << 4.0 / 3.0;
    QTest::newRow("out of range 7 and 5") << 7u << 5u << 720u << 576u << 4.0 / 3.0;
    QTest::newRow("huge codes") << 0xFFFFFFFFu << 2u << 720u << 576u << 4.0 / 3.0;
}

void TestSettings::setScalingNormalisesCodes()
{
    QFETCH(uint, system);
    QFETCH(uint, format);
    QFETCH(uint, width);
    QFETCH(uint, height);
    QFETCH(double, ratio);

    Settings s(defaultServerName());
    QSignalSpy spy(&s, &Settings::scalingSettingsChanged);
    s.setScaling(system, format, false, true, false);
    QCOMPARE(spy.count(), 1);
    const PictureFormat sent = spy.takeFirst().at(0).value<PictureFormat>();
    QCOMPARE(sent, (PictureFormat { width, height, ratio, false, true, false, 16, 235 }));
    QCOMPARE(s.width(), width);
    QCOMPARE(s.height(), height);
    QCOMPARE(s.screenRatio(), ratio);
}

void TestSettings::setScalingAlwaysEmits()
{
    Settings s(defaultServerName());
    QSignalSpy spy(&s, &Settings::scalingSettingsChanged);
    s.setScaling(s.tvSystem(), s.tvFormat(), s.scale(), s.squarePixels(), s.compress());
    QCOMPARE(spy.count(), 1);
}

void TestSettings::setServerName_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("emitted");

    QTest::newRow("plain") << QStringLiteral("Living Room") << QStringLiteral("Living Room") << 1;
    QTest::newRow("40 characters cut to 30 then trimmed")
        << QStringLiteral("abcdefghijklmnopqrstuvwxyz    ABCDEFGHIJ")
        << QStringLiteral("abcdefghijklmnopqrstuvwxyz") << 1;
    QTest::newRow("leading blanks count towards 30")
        << (QString(10, QLatin1Char(' ')) + QString(30, QLatin1Char('x')))
        << QString(20, QLatin1Char('x')) << 1;
    // Emitted although the stored name stays: the trimmed text differs from it.
    QTest::newRow("blanks only") << QStringLiteral("    ") << QStringLiteral("My Hearth") << 1;
    QTest::newRow("empty") << QString() << QStringLiteral("My Hearth") << 1;
    QTest::newRow("the stored name") << QStringLiteral("My Hearth") << QStringLiteral("My Hearth")
                                     << 0;
    QTest::newRow("case differs") << QStringLiteral("my hearth") << QStringLiteral("my hearth")
                                  << 1;
    // The cut never leaves half of a surrogate pair: an emoji across it goes whole.
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("pair across the cut")
        << QString(29, QLatin1Char('x')) + face + QStringLiteral("tail")
        << QString(29, QLatin1Char('x')) << 1;
    QTest::newRow("pair before the cut")
        << QString(28, QLatin1Char('x')) + face + QStringLiteral("tail")
        << QString(28, QLatin1Char('x')) + face << 1;
}

void TestSettings::setServerName()
{
    QFETCH(QString, given);
    QFETCH(QString, stored);
    QFETCH(int, emitted);

    Settings s(defaultServerName());
    QSignalSpy spy(&s, &Settings::serverNameChanged);
    s.setServerName(given);
    QCOMPARE(s.serverName(), stored);
    QCOMPARE(spy.count(), emitted);
    if (emitted)
        QCOMPARE(spy.first().first().toString(), stored);
}

void TestSettings::setExtensions_data()
{
    QTest::addColumn<QString>("video");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("emitted");

    QTest::newRow("two lines") << QStringLiteral("*.avi\n*.mkv") << QStringLiteral("*.avi *.mkv")
                               << 1;
    QTest::newRow("CRLF lines") << QStringLiteral("*.avi\r\n*.mkv\r\n")
                                << QStringLiteral("*.avi *.mkv ") << 1;
    QTest::newRow("blanks only") << QStringLiteral("  \n ") << QStringLiteral("*") << 1;
    QTest::newRow("inner and outer spaces kept") << QStringLiteral(" *.a  *.b ")
                                                 << QStringLiteral(" *.a  *.b ") << 1;
    QTest::newRow("the stored text")
        << QStringLiteral("*.avi *.m4v *.mkv *.mov *.mp4 *.mpg *.mpeg *.ts *.vob *.webm *.wmv")
        << QStringLiteral("*.avi *.m4v *.mkv *.mov *.mp4 *.mpg *.mpeg *.ts *.vob *.webm *.wmv")
        << 0;
}

void TestSettings::setExtensions()
{
    QFETCH(QString, video);
    QFETCH(QString, stored);
    QFETCH(int, emitted);

    Settings s(defaultServerName());
    QSignalSpy videoSpy(&s, &Settings::videoExtensionsChanged);
    QSignalSpy audioSpy(&s, &Settings::audioExtensionsChanged);
    QSignalSpy pictureSpy(&s, &Settings::pictureExtensionsChanged);
    // The other two always change here, so an unchanged video filter must not stop them.
    s.setExtensions(video, QStringLiteral("*.flac"), QString());
    QCOMPARE(s.extensions().at(0), stored);
    QCOMPARE(videoSpy.count(), emitted);
    if (emitted)
        QCOMPARE(videoSpy.first().first().toString(), stored);
    QCOMPARE(audioSpy.count(), 1);
    QCOMPARE(s.extensions().at(1), QStringLiteral("*.flac"));
    QCOMPARE(pictureSpy.count(), 1);
    QCOMPARE(pictureSpy.first().first().toString(), QStringLiteral("*"));
}

void TestSettings::loadXmlWithoutSettingsChangesNothing_data()
{
    QTest::addColumn<QString>("xml");
    QTest::newRow("empty document") << QString();
    QTest::newRow("root only") << QStringLiteral("<hearth/>");
    QTest::newRow("settings nested too deep")
        << QStringLiteral("<hearth><x><settings><server name=\"Deep\"/></settings></x></hearth>");
    QTest::newRow("settings as the root") << QStringLiteral("<settings><server name=\"Root\"/></settings>");
}

void TestSettings::loadXmlWithoutSettingsChangesNothing()
{
    QFETCH(QString, xml);
    Settings s(defaultServerName());
    s.setServerName(QStringLiteral("Before"));
    QSignalSpy scaling(&s, &Settings::scalingSettingsChanged);
    QSignalSpy name(&s, &Settings::serverNameChanged);
    s.loadXml(parse(xml));
    QCOMPARE(s.serverName(), QStringLiteral("Before"));
    QCOMPARE(scaling.count(), 0);
    QCOMPARE(name.count(), 0);
}

void TestSettings::loadXmlReadsElements_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<uint>("system");
    QTest::addColumn<uint>("format");
    QTest::addColumn<bool>("scale");
    QTest::addColumn<bool>("square");
    QTest::addColumn<bool>("compress");
    QTest::addColumn<uint>("min");
    QTest::addColumn<uint>("max");
    QTest::addColumn<QString>("name");

    const QString thirty = QStringLiteral(" 23456789012345678901234567890");
    QTest::newRow("no children keeps defaults")
        << QString() << 0u << 1u << true << false << true << 16u << 235u << QStringLiteral("My Hearth");
    QTest::newRow("scaling without attributes")
        << QStringLiteral("<scaling/>") << 0u << 0u << false << false << true << 16u << 235u
        << QStringLiteral("My Hearth");
    QTest::newRow("every word")
        << QStringLiteral("<scaling enabled=\"true\" square_pixels=\"true\" tv_system=\"HDTV_1080\" "
                          "tv_format=\"WIDESCREEN\"/><compression enabled=\"false\" min=\"0\" max=\"255\"/>"
                          "<server name=\"Den\"/>")
        << 3u << 1u << true << true << false << 0u << 255u << QStringLiteral("Den");
    QTest::newRow("misspelt words")
        << QStringLiteral("<scaling enabled=\"TRUE\" square_pixels=\"yes\" tv_system=\"pal\" "
                          "tv_format=\"widescreen\"/>")
        << 0u << 0u << false << false << true << 16u << 235u << QStringLiteral("My Hearth");
    QTest::newRow("non-numeric min, max 300")
        << QStringLiteral("<compression enabled=\"true\" min=\"low\" max=\"300\"/>") << 0u << 1u
        << true << false << true << 16u << 300u << QStringLiteral("My Hearth");
    QTest::newRow("signed, blank and overflowing numbers")
        << QStringLiteral("<compression enabled=\"true\" min=\"-3\" max=\"99999999999\"/>") << 0u
        << 1u << true << false << true << 16u << 235u << QStringLiteral("My Hearth");
    QTest::newRow("missing numbers")
        << QStringLiteral("<compression enabled=\"true\"/>") << 0u << 1u << true << false << true
        << 16u << 235u << QStringLiteral("My Hearth");
    QTest::newRow("40-character name cut, not trimmed")
        << (QStringLiteral("<server name=\"") + thirty + QStringLiteral("ABCDEFGHIJ\"/>")) << 0u
        << 1u << true << false << true << 16u << 235u << thirty;
    QTest::newRow("empty name") << QStringLiteral("<server name=\"\"/>") << 0u << 1u << true
                                << false << true << 16u << 235u << QStringLiteral("My Hearth");
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("pair across the cut goes whole")
        << (QStringLiteral("<server name=\"") + QString(29, QLatin1Char('x')) + face
               + QStringLiteral("\"/>"))
        << 0u << 1u << true << false << true << 16u << 235u << QString(29, QLatin1Char('x'));
    QTest::newRow("pair at the end kept")
        << (QStringLiteral("<server name=\"") + QString(28, QLatin1Char('x')) + face
               + QStringLiteral("\"/>"))
        << 0u << 1u << true << false << true << 16u << 235u
        << QString(28, QLatin1Char('x')) + face;
    QTest::newRow("only the first scaling element counts")
        << QStringLiteral("<scaling enabled=\"true\" tv_system=\"NTSC\"/><scaling tv_system=\"HDTV_720\"/>")
        << 1u << 0u << true << false << true << 16u << 235u << QStringLiteral("My Hearth");
    QTest::newRow("unknown elements are skipped")
        << QStringLiteral("<colour hue=\"3\"/><server name=\"Attic\" extra=\"1\"/>") << 0u << 1u
        << true << false << true << 16u << 235u << QStringLiteral("Attic");
}

void TestSettings::loadXmlReadsElements()
{
    QFETCH(QString, settings);
    QFETCH(uint, system);
    QFETCH(uint, format);
    QFETCH(bool, scale);
    QFETCH(bool, square);
    QFETCH(bool, compress);
    QFETCH(uint, min);
    QFETCH(uint, max);
    QFETCH(QString, name);

    Settings s(defaultServerName());
    s.loadXml(parse(QStringLiteral("<anyroot><settings>") + settings
        + QStringLiteral("</settings></anyroot>")));
    QCOMPARE(uint(s.tvSystem()), system);
    QCOMPARE(uint(s.tvFormat()), format);
    QCOMPARE(s.scale(), scale);
    QCOMPARE(s.squarePixels(), square);
    QCOMPARE(s.compress(), compress);
    QCOMPARE(s.compressMin(), min);
    QCOMPARE(s.compressMax(), max);
    QCOMPARE(s.serverName(), name);
}

void TestSettings::upnpElement_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("serve");
    QTest::addColumn<QString>("udn"); // empty: the one made at construction stays

    QTest::newRow("an older file: served, identity made here") << QString() << true << QString();
    QTest::newRow("turned off") << QStringLiteral("<upnp enabled=\"false\"/>") << false << QString();
    for (const char *word : { "0", "FALSE", "no", "" }) {
        QTest::addRow("enabled=\"%s\" is off", word)
            << QStringLiteral("<upnp enabled=\"%1\"/>").arg(QLatin1String(word)) << false
            << QString();
    }
    for (const char *word : { "1", "TRUE", " True " }) {
        QTest::addRow("enabled=\"%s\" is on", word)
            << QStringLiteral("<upnp enabled=\"%1\"/>").arg(QLatin1String(word)) << true
            << QString();
    }
    QTest::newRow("identity kept")
        << QStringLiteral(
               "<upnp enabled=\"true\" udn=\"uuid:5f0e7a1c-2b3d-4e5f-8a9b-0c1d2e3f4a5b\"/>")
        << true << QStringLiteral("uuid:5f0e7a1c-2b3d-4e5f-8a9b-0c1d2e3f4a5b");
    for (const char *udn :
        { "uuid:4f1c-77aa", "uuid:x", "uuid:5f0e7a1c-2b3d-4e5f-8a9b::c1d2e3f4a5b",
            "uuid:{5f0e7a1c-2b3d-4e5f-8a9b-0c1d2e3f4a5b}",
            "uuid:00000000-0000-0000-0000-000000000000",
            "uuid:5f0e7a1c-2b3d-4e5f-8a9b-0c1d2e3f4a5b::upnp:rootdevice" }) {
        QTest::addRow("%s is no UUID: a new one is made", udn)
            << QStringLiteral("<upnp udn=\"%1\"/>").arg(QLatin1String(udn)) << true << QString();
    }
    QTest::newRow("markup in the identity is not taken")
        << QStringLiteral("<upnp udn=\"uuid:a&lt;/UDN&gt;\"/>") << true << QString();
    QTest::newRow("an identity without the uuid prefix is not taken")
        << QStringLiteral("<upnp udn=\"4f1c-77aa\"/>") << true << QString();
}

void TestSettings::upnpElement()
{
    QFETCH(QString, settings);
    QFETCH(bool, serve);
    QFETCH(QString, udn);

    Settings s(defaultServerName());
    const QString made = s.upnpUdn();
    QVERIFY(made.startsWith(u"uuid:"));
    QVERIFY(Settings(defaultServerName()).upnpUdn() != made);
    s.loadXml(parse(QStringLiteral("<hearth><settings>") + settings
        + QStringLiteral("</settings></hearth>")));
    QCOMPARE(s.serveUpnp(), serve);
    QCOMPARE(s.upnpUdn(), udn.isEmpty() ? made : udn);

    // What is saved comes back: the same server after a restart.
    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    s.saveXml(document);
    Settings copy(defaultServerName());
    copy.loadXml(parse(QString::fromUtf8(document.toByteArray(4))));
    QCOMPARE(copy.serveUpnp(), serve);
    QCOMPARE(copy.upnpUdn(), s.upnpUdn());
}

void TestSettings::conversionElement_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("limit"); // 0: the default
    QTest::addColumn<QString>("overrides"); // "client=profile;..."

    QTest::newRow("an older file") << QString() << true << 0 << QString();
    QTest::newRow("off, limit 3") << QStringLiteral("<conversion enabled=\"false\" limit=\"3\"/>")
                                  << false << 3 << QString();
    QTest::newRow("limit 0 is one")
        << QStringLiteral("<conversion limit=\"0\"/>") << true << 1 << QString();
    QTest::newRow("limit 500 is sixteen")
        << QStringLiteral("<conversion limit=\"500\"/>") << true << 16 << QString();
    QTest::newRow("upnp's conversions, where the limit was kept first")
        << QStringLiteral("<upnp conversions=\"40\"/>") << true << 16 << QString();
    QTest::newRow("the conversion element's limit goes first")
        << QStringLiteral("<upnp conversions=\"3\"/><conversion limit=\"2\"/>") << true << 2
        << QString();
    QTest::newRow("a broken limit keeps the default and the choices") << QStringLiteral(
        "<conversion enabled=\"1\" limit=\"-2\"><override client=\"Den TV\" "
        "profile=\"ps3\"/></conversion>") << true << 0 << QStringLiteral("Den TV=ps3");
    QTest::newRow("unknown profile kept, empty halves dropped, the later choice wins")
        << QStringLiteral("<conversion><override client=\"10.0.0.5\" profile=\"ps3\"/>"
                          "<override profile=\"ps3\"/><override client=\"10.0.0.6\"/>"
                          "<override client=\"10.0.0.7\" profile=\"tv-of-2030\"/>"
                          "<override client=\"10.0.0.5\" profile=\"vlc\"/></conversion>")
        << true << 0 << QStringLiteral("10.0.0.7=tv-of-2030;10.0.0.5=vlc");
}

void TestSettings::conversionElement()
{
    QFETCH(QString, settings);
    QFETCH(bool, enabled);
    QFETCH(int, limit);
    QFETCH(QString, overrides);

    Settings s(defaultServerName());
    s.loadXml(parse(
        QStringLiteral("<hearth><settings>") + settings + QStringLiteral("</settings></hearth>")));
    QStringList pairs;
    for (const ClientOverride &entry : s.clientOverrides())
        pairs << entry.client + QLatin1Char('=') + entry.profile;
    QCOMPARE(s.conversionEnabled(), enabled);
    QCOMPARE(s.conversionLimit(), limit ? limit : qMax(1, QThread::idealThreadCount() / 2));
    QCOMPARE(pairs.join(QLatin1Char(';')), overrides);
}

// The file is the user's to fill: the choices are bounded.
void TestSettings::clientOverridesAreBounded()
{
    Settings s(defaultServerName());
    QList<ClientOverride> many;
    for (int i = 0; i < 2000; ++i)
        many.append({ QString::number(i), QStringLiteral("ps3") });
    s.setClientOverrides(many);
    QCOMPARE(s.clientOverrides().size(), 1024);
}

void TestSettings::loadXmlEmitsScalingThenName()
{
    Settings s(defaultServerName());
    QStringList order;
    connect(&s, &Settings::scalingSettingsChanged, this, [&] { order << QStringLiteral("scaling"); });
    connect(&s, &Settings::serverNameChanged, this, [&] { order << QStringLiteral("name"); });
    QSignalSpy video(&s, &Settings::videoExtensionsChanged);
    s.loadXml(parse(QStringLiteral("<hearth><settings><extensions><video></video>"
                                   "<pictures>*.png\n*.gif</pictures></extensions></settings></hearth>")));
    QCOMPARE(order, QStringList({ QStringLiteral("scaling"), QStringLiteral("name") }));
    QCOMPARE(video.count(), 0);
    // File text is taken as it stands: no "*" for empty, no line-feed replacement.
    QCOMPARE(s.extensions().at(0), QString());
    QCOMPARE(s.extensions().at(1), Settings::defaultExtensions().at(1));
    QCOMPARE(s.extensions().at(2), QStringLiteral("*.png\n*.gif"));
}

void TestSettings::saveThenLoadReproducesEveryField()
{
    Settings original(defaultServerName());
    original.setScaling(Settings::HDTV_720, Settings::NORMAL, false, true, false);
    original.setServerName(QStringLiteral("Kitchen & <Den> \"\u00e9\u4e2d\""));
    original.setExtensions(QStringLiteral(" *.mkv  *.avi "), QStringLiteral("*.flac"),
        QStringLiteral("*.png"));
    original.loadXml(parse(QStringLiteral(
        "<h><settings><compression enabled=\"false\" min=\"3\" max=\"250\"/></settings></h>")));

    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    original.saveXml(document);
    // Through text, as the file does.
    const QDomDocument reread = parse(QString::fromUtf8(document.toByteArray(4)));

    Settings copy(defaultServerName());
    copy.loadXml(reread);
    QCOMPARE(copy.tvSystem(), original.tvSystem());
    QCOMPARE(copy.tvFormat(), original.tvFormat());
    QCOMPARE(copy.scale(), original.scale());
    QCOMPARE(copy.squarePixels(), original.squarePixels());
    QCOMPARE(copy.compress(), original.compress());
    QCOMPARE(copy.compressMin(), 3u);
    QCOMPARE(copy.compressMax(), 250u);
    QCOMPARE(copy.serverName(), original.serverName());
    QCOMPARE(copy.extensions(), original.extensions());

    const QDomElement settings = reread.documentElement().firstChildElement();
    QCOMPARE(settings.tagName(), QStringLiteral("settings"));
    QStringList children;
    for (QDomElement e = settings.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        children << e.tagName();
    QCOMPARE(children,
        QStringList({ QStringLiteral("scaling"), QStringLiteral("compression"),
            QStringLiteral("server"), QStringLiteral("extensions"), QStringLiteral("upnp"),
            QStringLiteral("conversion") }));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"

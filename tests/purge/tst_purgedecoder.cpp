#include "purge/decoder.h"
#include "purge/wininitsection.h"

#include <QtTest/QTest>

using purge::Decoded;

namespace {

// A literal with its embedded NULs, without the compiler's own terminator.
template <int N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class TestPurgeDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void appendDeleteLine_data();
    void appendDeleteLine();
};

void TestPurgeDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");

    const int whole = int(Decoded::Whole);
    QTest::newRow("plain") << QByteArray("C:\\dir\\file.txt") << QByteArray("C:\\dir\\file.txt") << whole;
    QTest::newRow("percent-brace is equals") << QByteArray("a%}b") << QByteArray("a=b") << whole;
    QTest::newRow("doubled percent") << QByteArray("50%%") << QByteArray("50%") << whole;
    QTest::newRow("doubled ampersand") << QByteArray("R&&D") << QByteArray("R&D") << whole;
    QTest::newRow("percent takes 64 away") << QByteArray("%A%Z%~") << QByteArray("\x01\x1a>") << whole;
    QTest::newRow("percent wraps") << QByteArray("%?%\x01") << QByteArray("\xff\xc1") << whole;
    QTest::newRow("ampersand adds 128") << QByteArray("caf&i") << QByteArray("caf\xe9") << whole;
    QTest::newRow("ampersand wraps") << QByteArray("&\xa9") << QByteArray(")") << whole;
    QTest::newRow("escape of an escape") << QByteArray("&%%&") << QByteArray("\xa5\xe6") << whole;
    QTest::newRow("equals taken whole") << QByteArray("PATH=/usr/bin") << QByteArray("PATH=/usr/bin") << whole;

    const QByteArray longest(258, 'x');
    QTest::newRow("258 bytes fit") << longest << longest << whole;
    QTest::newRow("300 bytes cut to 258") << QByteArray(300, 'y') << QByteArray(258, 'y') << int(Decoded::Cut);
    QTest::newRow("escapes count once")
        << QByteArray(258 * 2, '%') << QByteArray(258, '%') << whole;
    QTest::newRow("escape after 258 bytes")
        << (longest + "%%") << longest << int(Decoded::Cut);

    QTest::newRow("trailing percent") << QByteArray("/tmp/a%") << QByteArray("/tmp/a") << int(Decoded::DanglingEscape);
    QTest::newRow("trailing ampersand") << QByteArray("/tmp/a&") << QByteArray("/tmp/a") << int(Decoded::DanglingEscape);
    QTest::newRow("lone percent") << QByteArray("%") << QByteArray() << int(Decoded::DanglingEscape);
    QTest::newRow("odd run of percents") << QByteArray("%%%") << QByteArray("%") << int(Decoded::DanglingEscape);
    QTest::newRow("percent to NUL") << QByteArray("/tmp/a%@zz") << QByteArray("/tmp/a") << int(Decoded::NulByte);
    QTest::newRow("ampersand to NUL") << QByteArray("/tmp/b&\x80") << QByteArray("/tmp/b") << int(Decoded::NulByte);
}

void TestPurgeDecoder::decode()
{
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, path);
    QFETCH(int, status);

    // The entry is followed by bytes the decoder must never take: the next entry of the block.
    QByteArray block = entry + '\0' + "NEXT" + '\0' + '\0';
    char buffer[purge::kPathBufferSize + 8];
    memset(buffer, 0x55, sizeof buffer);
    const purge::DecodeResult result = purge::decodeEntry(block.constData(), buffer);

    QCOMPARE(int(result.status), status);
    QCOMPARE(result.length, unsigned(path.size()));
    QCOMPARE(QByteArray(buffer, int(result.length)), path);
    QCOMPARE(buffer[result.length], '\0');
    // Nothing is written past the terminator, let alone past the 260-byte buffer.
    for (unsigned i = result.length + 1; i < sizeof buffer; ++i)
        QCOMPARE(int(uchar(buffer[i])), 0x55);
}

void TestPurgeDecoder::appendDeleteLine_data()
{
    QTest::addColumn<QByteArray>("section"); // the profile read's text up to its final terminator
    QTest::addColumn<uint>("size");
    QTest::addColumn<QByteArray>("shortPath");
    QTest::addColumn<bool>("appended");
    QTest::addColumn<QByteArray>("expected"); // up to and including the final empty line

    QTest::newRow("no section yet")
        << QByteArray() << 32767u << QByteArray("C:\\PROGRA~1\\HEARTH\\A.DLL") << true
        << bytes("NUL=C:\\PROGRA~1\\HEARTH\\A.DLL\0\0");
    QTest::newRow("existing lines kept, new one last")
        << bytes("NUL=C:\\OLD.TXT\0C:\\NEW.TXT=C:\\TMP.TXT\0") << 32767u
        << QByteArray("C:\\B.TXT") << true
        << bytes("NUL=C:\\OLD.TXT\0C:\\NEW.TXT=C:\\TMP.TXT\0NUL=C:\\B.TXT\0\0");
    // "NUL=AB" with its terminator and the empty line needs 8 bytes after the text.
    QTest::newRow("exactly fits")
        << bytes("K=V\0") << 12u << QByteArray("AB") << true
        << bytes("K=V\0NUL=AB\0\0");
    QTest::newRow("one byte short: nothing cut")
        << bytes("K=V\0") << 11u << QByteArray("AB") << false << bytes("K=V\0");
    QTest::newRow("read that filled the buffer is not written back")
        << QByteArray(32765, 'k') << 32767u << QByteArray("A") << false << QByteArray(32765, 'k');
    QTest::newRow("empty short path")
        << QByteArray() << 32767u << QByteArray() << false << QByteArray();
}

void TestPurgeDecoder::appendDeleteLine()
{
    QFETCH(QByteArray, section);
    QFETCH(uint, size);
    QFETCH(QByteArray, shortPath);
    QFETCH(bool, appended);
    QFETCH(QByteArray, expected);

    // One guard byte past the buffer's end catches a write beyond it.
    QByteArray buffer(int(size) + 1, '\x55');
    memcpy(buffer.data(), section.constData(), size_t(section.size()));
    buffer[section.size()] = '\0';
    QCOMPARE(purge::appendDeleteLine(buffer.data(), uint(section.size()), size,
                                     shortPath.constData()),
             appended);
    QCOMPARE(buffer.left(expected.size()), expected);
    QCOMPARE(buffer.at(int(size)), '\x55');
    if (!appended) {
        for (int i = section.size() + 1; i <= int(size); ++i)
            QCOMPARE(buffer.at(i), '\x55');
    }
}

QTEST_APPLESS_MAIN(TestPurgeDecoder)
#include "tst_purgedecoder.moc"

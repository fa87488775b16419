#include "upnp/objectid.h"

namespace {

constexpr auto encoding = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
// More libraries than the three are never made.
constexpr int maxLibraries = 9;

} // namespace

bool ObjectId::parse(QByteArrayView text, ObjectId *id)
{
    if (text == "0") {
        *id = ObjectId {};
        return true;
    }
    if (text.isEmpty() || text.at(0) < '1' || text.at(0) > '0' + maxLibraries)
        return false;
    const int library = text.at(0) - '1';
    if (text.size() == 1) {
        *id = forLibrary(library);
        return true;
    }
    if (text.at(1) != '.' || text.size() == 2)
        return false;
    const QByteArrayView encoded = text.sliced(2);
    for (const char c : encoded) {
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
            || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!alphabet)
            return false;
    }
    const auto decoded = QByteArray::fromBase64Encoding(
        encoded.toByteArray(), encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return false;
    const QString path = QString::fromUtf8(decoded.decoded);
    // Only the ids this server hands out: one spelling per path. Library lookups skip empty
    // components, so "a//b", "/a" and "a/" would be second names for "a/b" and "a".
    if (path.toUtf8().toBase64(encoding) != encoded || path.startsWith(QLatin1Char('/'))
        || path.endsWith(QLatin1Char('/')) || path.contains(QLatin1String("//")))
        return false;
    *id = ObjectId { library, path };
    return true;
}

QByteArray ObjectId::toByteArray() const
{
    if (isRoot())
        return QByteArrayLiteral("0");
    return encode(library, path.toUtf8());
}

QByteArray ObjectId::encode(int library, QByteArrayView utf8Path)
{
    QByteArray text = QByteArray::number(library + 1);
    if (!utf8Path.isEmpty())
        text += '.' + QByteArray::fromRawData(utf8Path.data(), utf8Path.size()).toBase64(encoding);
    return text;
}

ObjectId ObjectId::child(const QString &name) const
{
    return ObjectId { library, path.isEmpty() ? name : path + QLatin1Char('/') + name };
}

QByteArray ObjectId::parentId() const
{
    if (isRoot())
        return QByteArrayLiteral("-1");
    if (isLibrary())
        return QByteArrayLiteral("0");
    const int at = path.lastIndexOf(QLatin1Char('/'));
    return ObjectId { library, at < 0 ? QString() : path.left(at) }.toByteArray();
}

#include "upnp/registrar.h"

SoapReply registrarControl(const SoapAction &action)
{
    const QString &name = action.name;
    if (name == u"IsAuthorized" || name == u"IsValidated")
        return SoapReply::response(
            action, { { QByteArrayLiteral("Result"), QByteArrayLiteral("1") } });
    if (name == u"RegisterDevice") {
        return SoapReply::response(
            action, { { QByteArrayLiteral("RegistrationRespMsg"), QByteArray() } });
    }
    return SoapReply::fault(401, QStringLiteral("Invalid Action"));
}

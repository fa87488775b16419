#include "upnp/registrar.h"

SoapReply registrarControl(const SoapAction &action)
{
    const QString &name = action.name;
    if (name == u"IsAuthorized" || name == u"IsValidated")
        return SoapReply::response(action, {{QStringLiteral("Result"), QStringLiteral("1")}});
    if (name == u"RegisterDevice") {
        return SoapReply::response(action,
                                   {{QStringLiteral("RegistrationRespMsg"), QString()}});
    }
    return SoapReply::fault(401, QStringLiteral("Invalid Action"));
}

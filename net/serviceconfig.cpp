#include "net/serviceconfig.h"

#include <QtGlobal>

namespace ServiceConfig {

QString restBaseUrl()
{
    const QString fromEnv = qEnvironmentVariable("ORVANTIS_API_URL");
    return fromEnv.isEmpty() ? QStringLiteral("https://kefu.quvela.com/api") : fromEnv;
}

QString wssUrl()
{
    const QString fromEnv = qEnvironmentVariable("ORVANTIS_WSS_URL");
    return fromEnv.isEmpty() ? QStringLiteral("wss://kefu.quvela.com/wss") : fromEnv;
}

QString vendorWebsiteUrl()
{
    return QStringLiteral("https://www.quvela.com/");
}

} // namespace ServiceConfig

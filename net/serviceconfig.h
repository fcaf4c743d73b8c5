#pragma once

#include <QString>

// Where the service lives. The built-in addresses are the production ones;
// ORVANTIS_API_URL and ORVANTIS_WSS_URL override them for development, the
// demo and the tests. Nothing else about the service is configurable.
namespace ServiceConfig {

QString restBaseUrl(); // scheme https, path /api unless overridden
QString wssUrl(); // scheme wss, path /wss unless overridden
QString vendorWebsiteUrl();

constexpr int heartbeatIntervalSec = 30;
constexpr int reconnectBaseDelayMs = 3000;
constexpr int reconnectMaxDelayMs = 30000;

} // namespace ServiceConfig

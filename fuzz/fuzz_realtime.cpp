// Every text frame the service could push, through the realtime client's own
// frame handler, and on into the records the workspace builds from the
// frames it passes on whole.

#include "fuzz/fuzzsupport.h"
#include "net/chatrecords.h"
#include "net/wssclient.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

struct FuzzAccess
{
    static void frame(WssClient &client, const QString &text)
    {
        client.onTextMessageReceived(text);
    }
};

namespace {

// Reads what the workspace reads of each event.
void listen(WssClient &client)
{
    QObject::connect(&client, &WssClient::newSession, [](const QVariantMap &data) {
        (void)ChatSession::fromMap(data).displayName();
    });
    QObject::connect(&client, &WssClient::chatMessage, [](const QVariantMap &data) {
        (void)ChatMessage::fromMap(data).createdAt.toString(Qt::ISODate);
    });
    QObject::connect(&client, &WssClient::sessionTransferred, [](const QVariantMap &data) {
        (void)data.value(QStringLiteral("session_id")).toInt();
        (void)data.value(QStringLiteral("action")).toString();
    });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        // A fresh client per input, fed one frame per line: the service's
        // frames are compact JSON, so a sequence of them (say "auth_ok" and
        // then "auth_fail") is one input. A link never opens here; the pings
        // that "auth_ok" sends are dropped as on a closed socket.
        WssClient client;
        listen(client);
        const FuzzSupport::SignalCounter raised(&client);
        const QByteArray input
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
        for (const QByteArray &line : input.split('\n')) {
            // As a text message arrives: bytes that are not UTF-8 are replaced.
            const QString text = QString::fromUtf8(line);
            const int before = raised.count;
            FuzzAccess::frame(client, text);
            const int count = raised.count - before;
            // A refusal ("error") is told twice: connectionError and serviceError.
            const bool refusal = QJsonDocument::fromJson(text.toUtf8())
                                     .object()
                                     .value(QStringLiteral("type"))
                                     .toString()
                == QLatin1String("error");
            FuzzSupport::require(count <= (refusal ? 2 : 1), "a frame raises at most one signal");
            FuzzSupport::require(count == 0 || QJsonDocument::fromJson(text.toUtf8()).isObject(),
                                 "only a JSON object is a frame");
        }
    }
    FuzzSupport::settle();
    return 0;
}

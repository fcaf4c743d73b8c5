// Every text frame the service could push, through the realtime client's own
// frame handler, and on into the records the workspace builds from the
// frames it passes on whole.

#include "fuzz/fuzzsupport.h"
#include "net/chatrecords.h"
#include "net/wssclient.h"

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
        const QByteArray input
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
        for (const QByteArray &line : input.split('\n'))
            FuzzAccess::frame(client, QString::fromUtf8(line));
    }
    FuzzSupport::settle();
    return 0;
}

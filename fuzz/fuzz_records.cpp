// Sessions and messages built from any JSON the service could send: a single
// object, or a list of them as REST pages carry.

#include "fuzz/fuzzsupport.h"
#include "net/chatrecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>

namespace {

void build(const QJsonObject &object)
{
    const QVariantMap map = object.toVariantMap();
    const ChatSession session = ChatSession::fromMap(map);
    // What every view reads of a session.
    (void)session.displayName();
    (void)session.statusText();
    (void)session.createdAt.toString(Qt::ISODate);
    const ChatMessage message = ChatMessage::fromMap(map);
    (void)message.createdAt.toString(Qt::ISODate);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    registerChatRecordTypes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (doc.isObject()) {
        build(doc.object());
    } else if (doc.isArray()) {
        // A list element that is not an object is built from an empty map.
        for (const QJsonValue &element : doc.array())
            build(element.toObject());
    }
    return 0;
}

// Every REST reply the service could give, through the client's own reply
// handling: the input is "<HTTP status> <route and query>", a line break,
// then the body. The reply is made up here, but is tracked and finished as a
// network reply is, so it takes the client's real path from the finished
// signal to the route signal.

#include "fuzz/fuzzsupport.h"
#include "net/apiclient.h"

#include <QNetworkReply>
#include <QUrl>

#include <cstddef>
#include <cstdint>
#include <cstring>

struct FuzzAccess
{
    static ApiRequest *track(ApiClient &client, QNetworkReply *reply, const QString &path)
    {
        return client.track(reply, path);
    }
};

namespace {

const QString kBaseUrl = QStringLiteral("http://service.invalid/api");

// The error the network stack reports for an HTTP status, as Qt's own HTTP
// reply maps it. No status at all stands for a link lost before an answer.
QNetworkReply::NetworkError errorFor(int status)
{
    switch (status) {
    case 0:
        return QNetworkReply::RemoteHostClosedError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        break;
    }
    if (status >= 100 && status < 400)
        return QNetworkReply::NoError;
    if (status >= 400 && status < 500)
        return QNetworkReply::UnknownContentError;
    if (status >= 500 && status < 600)
        return QNetworkReply::UnknownServerError;
    return QNetworkReply::ProtocolFailure;
}

class CannedReply : public QNetworkReply
{
public:
    CannedReply(const QUrl &url, int status, const QByteArray &body, QObject *parent)
        : QNetworkReply(parent), m_body(body)
    {
        setRequest(QNetworkRequest(url));
        setUrl(url);
        setOperation(QNetworkAccessManager::GetOperation);
        if (status >= 100 && status < 600)
            setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        const NetworkError error = errorFor(status);
        if (error != NoError)
            setError(error, QStringLiteral("HTTP %1").arg(status));
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        setFinished(true);
    }

    void finish() { emit finished(); }
    void abort() override { }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return m_body.size() - m_offset + QNetworkReply::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 count = qMin(maxSize, qint64(m_body.size()) - m_offset);
        if (count <= 0)
            return -1;
        std::memcpy(data, m_body.constData() + m_offset, size_t(count));
        m_offset += count;
        return count;
    }

private:
    QByteArray m_body;
    qint64 m_offset = 0;
};

// Reads what the workspace and the dialogs read of each result.
void listen(ApiClient &client)
{
    auto sessions = [](const QList<ChatSession> &list, int, bool) {
        for (const ChatSession &session : list) {
            (void)session.displayName();
            (void)session.statusText();
        }
    };
    auto messages = [](int, const QList<ChatMessage> &list, int, bool) {
        for (const ChatMessage &message : list)
            (void)message.createdAt.toString(Qt::ISODate);
    };
    QObject::connect(&client, &ApiClient::sessionsReceived, sessions);
    QObject::connect(&client, &ApiClient::receptionRecordsReceived, sessions);
    QObject::connect(&client, &ApiClient::messagesReceived, messages);
    QObject::connect(&client, &ApiClient::historyReceived, messages);
    QObject::connect(&client, &ApiClient::sessionInfoReceived,
                     [](const ChatSession &session) { (void)session.displayName(); });
    QObject::connect(&client, &ApiClient::agentListReceived, [](const QVariantList &agents) {
        for (const QVariant &agent : agents) {
            const QVariantMap map = agent.toMap();
            (void)map.value(QStringLiteral("id")).toInt();
            (void)map.value(QStringLiteral("name")).toString();
            (void)map.value(QStringLiteral("online")).toInt();
        }
    });
    QObject::connect(&client, &ApiClient::channelInfoReceived, [](const QVariantMap &channel) {
        (void)channel.value(QStringLiteral("channel_code")).toString();
        (void)channel.value(QStringLiteral("code")).toString();
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
    const QByteArray input
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype lineEnd = input.indexOf('\n');
    const QByteArray head = lineEnd < 0 ? input : input.left(lineEnd);
    const QByteArray body = lineEnd < 0 ? QByteArray() : input.mid(lineEnd + 1);
    const qsizetype space = head.indexOf(' ');
    const int status = head.left(space < 0 ? 0 : space).toInt();
    const QString route = QString::fromUtf8(space < 0 ? head : head.mid(space + 1));
    {
        // A fresh client per input, so that no token or request of an
        // earlier input changes what this one does.
        ApiClient client;
        client.setBaseUrl(kBaseUrl);
        listen(client);
        auto *reply = new CannedReply(QUrl(kBaseUrl + route, QUrl::TolerantMode), status,
                                      QByteArray(body.constData(), body.size()), &client);
        ApiRequest *request
            = FuzzAccess::track(client, reply, route.section(QLatin1Char('?'), 0, 0));
        const FuzzSupport::SignalCounter raised(&client);
        int succeeded = 0;
        int failed = 0;
        int clientFailures = 0;
        QObject::connect(request, &ApiRequest::succeeded, [&] {
            ++succeeded;
            (void)request->data();
        });
        QObject::connect(request, &ApiRequest::failed, [&] { ++failed; });
        QObject::connect(&client, &ApiClient::apiError, [&] { ++clientFailures; });
        QObject::connect(&client, &ApiClient::authExpired, [&] { ++clientFailures; });
        reply->finish();
        FuzzSupport::require(succeeded + failed == 1, "a request ends exactly once");
        FuzzSupport::require(raised.count <= 1, "a reply raises at most one signal of the client");
        FuzzSupport::require(clientFailures == failed,
                             "a failure, and only a failure, is also apiError or authExpired");
        FuzzSupport::require(client.pendingRequestCount() == 0, "an ended request is not pending");
        // The sign-in route keeps the token it was sent; its payload is read
        // as the agent's profile.
        (void)client.userInfoFromToken();
    }
    FuzzSupport::settle();
    return 0;
}

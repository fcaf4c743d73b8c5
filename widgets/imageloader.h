#pragma once

#include <QCache>
#include <QDeadlineTimer>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSize>
#include <QThreadPool>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Fetches and decodes the pictures of messages for every bubble and the
// image viewer. A picture's address comes from a visitor, so what it may
// cost is bounded: http and https only (redirects included), a size and a
// time limit per download, a few downloads at a time, decoding on worker
// threads straight to the size shown, and a memory cache bounded in bytes.
class ImageLoader : public QObject
{
    Q_OBJECT

public:
    enum class Failure { None, TooLarge, TimedOut, Undecodable, UnsupportedUrl, NetworkError };

    struct Limits
    {
        qint64 maxBytes = 10 * 1024 * 1024;
        int stallMs = 30000; // without a byte received
        int totalMs = 60000;
        qint64 maxPixels = 50 * 1000 * 1000; // as declared by the file, before decoding
    };

    using Callback = std::function<void(const QImage &image, Failure failure)>;

    // The one loader of the application, made on first use.
    static ImageLoader *instance();
    ~ImageLoader() override;

    void setLimits(const Limits &limits) { m_limits = limits; }
    Limits limits() const { return m_limits; }

    // The picture at `url` fitted into `box` (never enlarged). `done` runs on
    // this thread once, unless `receiver` is gone by then; a receiver that
    // goes also ends its download. A picture in the cache is handed over at once.
    void load(const QUrl &url, const QSize &box, QObject *receiver, Callback done);

    // What the agent is told instead of the picture.
    static QString failureText(Failure failure);

private:
    struct Job
    {
        quint64 id = 0;
        QUrl url;
        QSize box;
        QPointer<QObject> receiver;
        QMetaObject::Connection receiverGone;
        Callback done;
        QNetworkReply *reply = nullptr;
        QTimer *timer = nullptr;
        QDeadlineTimer deadline;
        QByteArray data;
    };

    struct Decoded
    {
        quint64 id = 0;
        QImage image;
        Failure failure = Failure::None;
    };

    explicit ImageLoader(QObject *parent = nullptr);
    static QString cacheKey(const QUrl &url, const QSize &box);
    void startNext();
    void start(Job job);
    void onReadyRead(quint64 id);
    void onFinished(quint64 id);
    void deliverDecoded();
    void onDecoded(quint64 id, const QImage &image, Failure failure);
    // Ends a download early; the receiver hears `failure`.
    void abort(quint64 id, Failure failure);
    void armTimer(Job &job);
    void deliver(Job &job, const QImage &image, Failure failure);

    Limits m_limits;
    QNetworkAccessManager *m_network = nullptr;
    QThreadPool m_decoders;
    QCache<QString, QImage> m_cache;
    QQueue<Job> m_waiting;
    QQueue<Decoded> m_decoded; // waiting to be handed over
    QTimer *m_deliveryTimer = nullptr;
    QHash<quint64, Job> m_active; // downloading or decoding
    quint64 m_nextId = 1;
};

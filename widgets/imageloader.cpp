#include "widgets/imageloader.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <utility>

namespace {

// Downloads at a time; the rest wait their turn, and their clocks only start
// with their own download.
constexpr int kMaxDownloads = 4;
constexpr qint64 kCacheBytes = 24 * 1024 * 1024;
// Decoded pictures handed to their bubbles per turn of the event loop: each
// may grow its bubble and so relayout the conversation.
constexpr int kDeliveriesPerTurn = 4;

ImageLoader *s_loader = nullptr;

void destroyInstance()
{
    delete std::exchange(s_loader, nullptr);
}

bool isFetchable(const QUrl &url)
{
    return url.isValid() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

// Runs on a worker thread. The size the file declares is checked before a
// single pixel is decoded: a few kilobytes may claim a picture of gigabytes.
std::pair<QImage, ImageLoader::Failure> decode(QByteArray data, const QSize &box, qint64 maxPixels)
{
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize declared = reader.size();
    if (declared.isEmpty())
        return {QImage(), ImageLoader::Failure::Undecodable};
    if (qint64(declared.width()) * declared.height() > maxPixels)
        return {QImage(), ImageLoader::Failure::TooLarge};
    if (box.isValid() && (declared.width() > box.width() || declared.height() > box.height()))
        reader.setScaledSize(declared.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    const QImage image = reader.read();
    if (image.isNull())
        return {QImage(), ImageLoader::Failure::Undecodable};
    // The format a pixmap is made of without conversion, done here rather
    // than on the GUI thread.
    return {image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                          : QImage::Format_RGB32),
            ImageLoader::Failure::None};
}

} // namespace

ImageLoader *ImageLoader::instance()
{
    if (!s_loader) {
        s_loader = new ImageLoader;
        // Gone before the application object: its downloads and decoders
        // need the event loop's machinery.
        qAddPostRoutine(destroyInstance);
    }
    return s_loader;
}

ImageLoader::ImageLoader(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)), m_deliveryTimer(new QTimer(this))
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_decoders.setMaxThreadCount(2);
    m_deliveryTimer->setSingleShot(true);
    m_deliveryTimer->setInterval(1);
    connect(m_deliveryTimer, &QTimer::timeout, this, &ImageLoader::deliverDecoded);
    m_cache.setMaxCost(kCacheBytes);
}

ImageLoader::~ImageLoader()
{
    m_decoders.clear();
    m_decoders.waitForDone();
    for (Job &job : m_active) {
        if (job.reply) {
            disconnect(job.reply, nullptr, this, nullptr);
            job.reply->abort();
        }
    }
}

QString ImageLoader::failureText(Failure failure)
{
    switch (failure) {
    case Failure::TooLarge:
        return QStringLiteral("图片过大");
    case Failure::TimedOut:
        return QStringLiteral("图片加载超时");
    case Failure::Undecodable:
        return QStringLiteral("图片无法显示");
    case Failure::UnsupportedUrl:
        return QStringLiteral("不支持的图片地址");
    case Failure::NetworkError:
        return QStringLiteral("图片加载失败");
    case Failure::None:
        break;
    }
    return QString();
}

QString ImageLoader::cacheKey(const QUrl &url, const QSize &box)
{
    return QStringLiteral("%1x%2 ").arg(box.width()).arg(box.height()) + url.toString();
}

void ImageLoader::load(const QUrl &url, const QSize &box, QObject *receiver, Callback done)
{
    if (!isFetchable(url)) {
        qDebug() << "[ChatBubble] 拒绝加载图片地址:" << url.toString().left(80);
        done(QImage(), Failure::UnsupportedUrl);
        return;
    }
    if (const QImage *cached = m_cache.object(cacheKey(url, box))) {
        done(*cached, Failure::None);
        return;
    }
    Job job;
    job.id = m_nextId++;
    job.url = url;
    job.box = box;
    job.receiver = receiver;
    job.done = std::move(done);
    const quint64 id = job.id;
    job.receiverGone
        = connect(receiver, &QObject::destroyed, this, [this, id] { abort(id, Failure::None); });
    m_waiting.enqueue(job);
    startNext();
}

void ImageLoader::startNext()
{
    int downloads = 0;
    for (const Job &job : std::as_const(m_active))
        downloads += job.reply ? 1 : 0;
    while (downloads < kMaxDownloads && !m_waiting.isEmpty()) {
        start(m_waiting.dequeue());
        ++downloads;
    }
}

void ImageLoader::start(Job job)
{
    QNetworkRequest request(job.url);
    // A redirect may not lead anywhere the address itself could not: no
    // file:, no data:, no step down from https.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    const quint64 id = job.id;
    job.reply = m_network->get(request);
    job.deadline = QDeadlineTimer(m_limits.totalMs);
    job.timer = new QTimer(job.reply);
    job.timer->setSingleShot(true);
    connect(job.timer, &QTimer::timeout, this, [this, id] { abort(id, Failure::TimedOut); });
    connect(job.reply, &QNetworkReply::metaDataChanged, this, [this, id] {
        const auto it = m_active.find(id);
        if (it != m_active.end()
            && it->reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()
                > m_limits.maxBytes)
            abort(id, Failure::TooLarge);
    });
    connect(job.reply, &QNetworkReply::readyRead, this, [this, id] { onReadyRead(id); });
    connect(job.reply, &QNetworkReply::finished, this, [this, id] { onFinished(id); });
    armTimer(job);
    m_active.insert(id, job);
}

void ImageLoader::armTimer(Job &job)
{
    job.timer->start(int(qMin<qint64>(m_limits.stallMs, job.deadline.remainingTime())));
}

void ImageLoader::onReadyRead(quint64 id)
{
    const auto it = m_active.find(id);
    if (it == m_active.end() || !it->reply)
        return;
    // Read as it comes, so that Qt buffers nothing beyond the limit for us.
    it->data += it->reply->read(m_limits.maxBytes + 1 - it->data.size());
    if (it->data.size() > m_limits.maxBytes) {
        abort(id, Failure::TooLarge);
        return;
    }
    armTimer(*it);
}

void ImageLoader::onFinished(quint64 id)
{
    const auto it = m_active.find(id);
    if (it == m_active.end() || !it->reply)
        return;
    QNetworkReply *reply = std::exchange(it->reply, nullptr);
    std::exchange(it->timer, nullptr)->stop(); // goes with the reply
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << "[ChatBubble] 图片下载失败:" << reply->error() << it->url.toString().left(80);
        const bool refused = reply->error() == QNetworkReply::InsecureRedirectError
            || reply->error() == QNetworkReply::ProtocolUnknownError;
        Job job = m_active.take(id);
        deliver(job, QImage(), refused ? Failure::UnsupportedUrl : Failure::NetworkError);
        startNext();
        return;
    }
    it->data += reply->read(m_limits.maxBytes + 1 - it->data.size());
    if (it->data.size() > m_limits.maxBytes) {
        Job job = m_active.take(id);
        deliver(job, QImage(), Failure::TooLarge);
        startNext();
        return;
    }
    const QByteArray data = std::exchange(it->data, QByteArray());
    const QSize box = it->box;
    const qint64 maxPixels = m_limits.maxPixels;
    m_decoders.start([this, id, data, box, maxPixels] {
        const auto [image, failure] = decode(data, box, maxPixels);
        QMetaObject::invokeMethod(
            this,
            [this, id, image = image, failure = failure] {
                m_decoded.enqueue({id, image, failure});
                if (!m_deliveryTimer->isActive())
                    m_deliveryTimer->start();
            },
            Qt::QueuedConnection);
    });
    startNext();
}

// A few at a time, on a timer: the GUI thread paints and handles input in
// between, however many pictures were decoded meanwhile.
void ImageLoader::deliverDecoded()
{
    for (int i = 0; i < kDeliveriesPerTurn && !m_decoded.isEmpty(); ++i) {
        const Decoded next = m_decoded.dequeue();
        onDecoded(next.id, next.image, next.failure);
    }
    if (!m_decoded.isEmpty())
        m_deliveryTimer->start();
}

void ImageLoader::onDecoded(quint64 id, const QImage &image, Failure failure)
{
    if (!m_active.contains(id))
        return; // its receiver went while it was decoded
    Job job = m_active.take(id);
    if (failure == Failure::None)
        m_cache.insert(cacheKey(job.url, job.box), new QImage(image), image.sizeInBytes());
    deliver(job, image, failure);
}

void ImageLoader::abort(quint64 id, Failure failure)
{
    Job job;
    if (m_active.contains(id)) {
        job = m_active.take(id);
    } else {
        const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                     [id](const Job &waiting) { return waiting.id == id; });
        if (it == m_waiting.end())
            return;
        job = std::move(*it);
        m_waiting.erase(it);
    }
    if (job.reply) {
        qDebug() << "[ChatBubble] 图片下载中止:" << failureText(failure)
                 << job.url.toString().left(80);
        job.timer->stop();
        disconnect(job.reply, nullptr, this, nullptr);
        job.reply->abort();
        job.reply->deleteLater();
    }
    if (failure != Failure::None)
        deliver(job, QImage(), failure);
    else
        disconnect(job.receiverGone);
    startNext();
}

void ImageLoader::deliver(Job &job, const QImage &image, Failure failure)
{
    disconnect(job.receiverGone);
    if (job.receiver && job.done)
        job.done(image, failure);
}

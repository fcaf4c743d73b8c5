// Pictures no honest service would send, for the client's picture loading:
// written straight on the socket, since most of them never end or lie
// about their size.

#include "devserver/server_p.h"

#include <QBuffer>
#include <QImage>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <memory>

namespace DevServer {

namespace {

constexpr qint64 kHugeBytes = 200LL * 1024 * 1024;
constexpr int kChunk = 64 * 1024;

const QByteArray kPngSignature("\x89PNG\r\n\x1a\n", 8);

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &payload)
{
    QByteArray length(4, '\0'), crc(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), length.data());
    qToBigEndian<quint32>(crc32(type + payload), crc.data());
    return length + type + payload + crc;
}

// A valid PNG of a few hundred bytes that declares 30000 x 30000 pixels
// (3.6 GB decoded): its rows are all zero, which compresses to nothing.
QByteArray decompressionBomb()
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(30000, header.data());
    qToBigEndian<quint32>(30000, header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 6; // RGBA
    // The first rows only: a reader that decodes at all has already lost.
    const QByteArray rows(64 * (1 + 30000 * 4), '\0');
    const QByteArray zlib = qCompress(rows, 9).mid(4); // without Qt's length prefix
    return kPngSignature + pngChunk("IHDR", header) + pngChunk("IDAT", zlib) + pngChunk("IEND", {});
}

QByteArray head(const QByteArray &status, const QByteArray &headers)
{
    return "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n";
}

// Writes junk after `prefix` while the client reads, until `total` bytes
// (or for ever, at -1), never more than a few chunks ahead of the reader.
void stream(QTcpSocket *socket, const QByteArray &prefix, qint64 total)
{
    socket->write(prefix);
    const auto sent = std::make_shared<qint64>(0);
    auto refill = [socket, sent, total] {
        while (socket->bytesToWrite() < 4 * kChunk && (total < 0 || *sent < total)) {
            const qint64 size = total < 0 ? kChunk : qMin<qint64>(kChunk, total - *sent);
            socket->write(QByteArray(int(size), 'x'));
            *sent += size;
        }
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, refill);
    refill();
}

} // namespace

bool serveHostilePicture(const QString &path, QTcpSocket *socket)
{
    const QString name = path.mid(int(qstrlen("/hostile/")));
    const QByteArray png = "Content-Type: image/png\r\n";
    if (name == QLatin1String("endless.png")) {
        stream(socket, head("200 OK", png) + kPngSignature, -1);
    } else if (name == QLatin1String("huge.png")) {
        stream(socket,
               head("200 OK", png + "Content-Length: " + QByteArray::number(kHugeBytes) + "\r\n")
                   + kPngSignature,
               kHugeBytes - kPngSignature.size());
    } else if (name == QLatin1String("trickle.png")) {
        // One byte every half second, as for ever as a test cares.
        socket->write(head("200 OK", png + "Content-Length: 100000\r\n"));
        auto *timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(500);
    } else if (name == QLatin1String("bomb.png") || name == QLatin1String("malformed.png")) {
        const QByteArray body = name.startsWith(QLatin1String("bomb"))
            ? decompressionBomb()
            : kPngSignature + QByteArray(3000, '\x7f');
        socket->write(
            head("200 OK", png + "Content-Length: " + QByteArray::number(body.size()) + "\r\n")
            + body);
    } else if (name == QLatin1String("to-file.png")) {
        socket->write(head("302 Found", "Location: file:///etc/passwd\r\nContent-Length: 0\r\n"));
    } else {
        return false;
    }
    return true;
}

} // namespace DevServer

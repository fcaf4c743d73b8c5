#include "server_p.h"

#include <QBuffer>
#include <QDateTime>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>

namespace DevServer {

namespace {

struct Phrase
{
    const char *english;
    const char *chinese;
};

// What the stand-in can translate. Keys are compared lower-case, trimmed and
// without trailing punctuation.
const Phrase phrases[] = {
    {"hello", "你好"},
    {"hi", "你好"},
    {"hello, is anyone there?", "你好，有人在吗？"},
    {"thank you", "谢谢"},
    {"thanks", "谢谢"},
    {"thank you very much", "非常感谢"},
    {"how much is shipping", "运费多少"},
    {"do you ship to germany?", "你们发货到德国吗？"},
    {"when will my order arrive?", "我的订单什么时候到？"},
    {"where is my package?", "我的包裹在哪里？"},
    {"i would like a refund", "我想退款"},
    {"can i change the size?", "我可以换尺码吗？"},
    {"is this item in stock?", "这件商品有货吗？"},
    {"do you have a discount code?", "有优惠码吗？"},
    {"i received the wrong item", "我收到的商品不对"},
    {"the tracking number does not work", "物流单号查不到"},
    {"good morning", "早上好"},
    {"good evening", "晚上好"},
    {"goodbye", "再见"},
    {"bye", "再见"},
    {"ok", "好的"},
    {"great, thanks!", "太好了，谢谢！"},
    {"can i pay with paypal?", "可以用 PayPal 付款吗？"},
    {"how long does delivery take?", "送货需要多长时间？"},
};

const char *const chineseNames[]
    = {"张伟", "王芳", "李娜", "刘洋", "陈静", "杨磊", "赵敏", "黄晓明",
       "周杰", "吴婷", "徐强", "孙丽", "马超", "朱琳", "胡斌", "郭佳"};
const char *const latinNames[]
    = {"Anna Müller", "John Smith",  "Maria Garcia", "Lucas Martin", "Emma Johnson", "Noah Brown",
       "Sofia Rossi", "Liam Wilson", "olivia",       "Mateo Silva",  "Chloé Dubois", "Ethan Clark"};
const char *const remarks[] = {"老客户", "VIP 客户", "询问退款", "待回访", "批发意向"};
const char *const englishLines[]
    = {"Hello, is anyone there?",    "How much is shipping?",  "Do you ship to Germany?",
       "When will my order arrive?", "Where is my package?",   "I would like a refund",
       "Can I change the size?",     "Is this item in stock?", "Do you have a discount code?",
       "Thank you very much",        "Can I pay with PayPal?", "How long does delivery take?"};
const char *const chineseLines[]
    = {"你好，请问这款还有货吗？", "运费怎么算？", "我的订单什么时候发货？",   "可以开发票吗？",
       "这个颜色有实物图吗？",     "谢谢！",       "包裹显示已签收但我没收到", "能便宜一点吗？"};
const char *const agentLines[]
    = {"您好，很高兴为您服务！", "请稍等，我帮您查一下。",     "已为您备注，仓库今天发货。",
       "运费满 99 元包邮哦。",   "Hello! How can I help you?", "Your order ships within 24 hours.",
       "好的，还有其他问题吗？"};

template<typename Array> QString pickFrom(QRandomGenerator &rng, const Array &array)
{
    return QString::fromUtf8(array[rng.bounded(int(std::size(array)))]);
}

QString phraseKey(const QString &text)
{
    QString key = text.simplified().toLower();
    static const QString trailing = QStringLiteral(".!?。！？,，~");
    while (!key.isEmpty() && trailing.contains(key.back()))
        key.chop(1);
    return key;
}

QByteArray makePng(int w, int h, const QColor &from, const QColor &to, int shape)
{
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, from);
    g.setColorAt(1, to);
    p.fillRect(image.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 170));
    if (shape == 0) {
        p.drawEllipse(QPointF(w * 0.5, h * 0.5), w * 0.22, h * 0.22);
    } else if (shape == 1) {
        p.drawRoundedRect(QRectF(w * 0.2, h * 0.3, w * 0.6, h * 0.4), 12, 12);
    } else {
        const QPointF tri[3] = {{w * 0.5, h * 0.2}, {w * 0.8, h * 0.8}, {w * 0.2, h * 0.8}};
        p.drawPolygon(tri, 3);
    }
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

bool containsChinese(const QString &text)
{
    for (const QChar ch : text) {
        const ushort u = ch.unicode();
        if ((u >= 0x4E00 && u <= 0x9FFF) || (u >= 0x3400 && u <= 0x4DBF)
            || (u >= 0xF900 && u <= 0xFAFF))
            return true;
    }
    return false;
}

QString translateToChinese(const QString &text)
{
    const QString key = phraseKey(text);
    if (key.isEmpty())
        return {};
    for (const Phrase &p : phrases) {
        if (phraseKey(QString::fromUtf8(p.english)) == key)
            return QString::fromUtf8(p.chinese);
    }
    return {};
}

void Server::Private::makeDemoImages()
{
    demoImages.insert(QStringLiteral("demo-1.png"),
                      makePng(320, 220, QColor(0x7e, 0xa6, 0xff), QColor(0x5b, 0x7c, 0xf2), 0));
    demoImages.insert(QStringLiteral("demo-2.png"),
                      makePng(200, 200, QColor(0xff, 0xb3, 0x8a), QColor(0xef, 0x47, 0x57), 1));
    demoImages.insert(QStringLiteral("demo-3.png"),
                      makePng(480, 300, QColor(0x8a, 0xe6, 0xb0), QColor(0x22, 0xa0, 0x6b), 2));
    demoImages.insert(QStringLiteral("demo-4.png"),
                      makePng(120, 160, QColor(0xf5, 0xd0, 0x6f), QColor(0xc0, 0x8a, 0x1a), 0));
}

// A channel with enough variety to exercise the client: three pages of
// sessions for "demo", a few owned by a colleague, Chinese and Latin names,
// bare visitor ids, remarks, every status, unread counts, text in both
// languages, images, recalled messages and empty offline sessions.
void Server::Private::seedDemo()
{
    sessions.clear();
    QRandomGenerator rng(20240607);
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    const auto pick = [&rng](const auto &array) { return pickFrom(rng, array); };

    const int total = 130;
    for (int i = 0; i < total; ++i) {
        const qint64 lastTime = now - qint64(i) * 4700 - rng.bounded(600);
        QJsonObject f;
        f.insert(QStringLiteral("id"), 1001 + i);
        const int kind = rng.bounded(10);
        if (kind < 4) {
            f.insert(QStringLiteral("visitor_name"), pick(chineseNames));
            f.insert(QStringLiteral("visitor_id"), QString());
        } else if (kind < 7) {
            f.insert(QStringLiteral("visitor_name"), pick(latinNames));
            f.insert(QStringLiteral("visitor_id"), QString());
        } else {
            // Only an id, as the widget sends for anonymous visitors.
            f.insert(QStringLiteral("visitor_name"),
                     kind == 9 ? QStringLiteral("访客") : QString());
            f.insert(QStringLiteral("visitor_id"),
                     QStringLiteral("v_%1").arg(rng.generate64() % 100000000000ULL, 11, 10,
                                                QLatin1Char('0')));
        }
        if (i % 11 == 3)
            f.insert(QStringLiteral("remark"), pick(remarks));
        QString status;
        if (i < 14)
            status = i % 5 == 4 ? QStringLiteral("offline") : QStringLiteral("online");
        else
            status = rng.bounded(3) == 0 ? QStringLiteral("closed") : QStringLiteral("offline");
        f.insert(QStringLiteral("status"), status);
        f.insert(QStringLiteral("ip_address"),
                 QStringLiteral("%1.%2.%3.%4")
                     .arg(rng.bounded(1, 223))
                     .arg(rng.bounded(256))
                     .arg(rng.bounded(256))
                     .arg(rng.bounded(1, 255)));
        // Some sessions are another agent's: "demo" does not see them.
        if (i % 26 == 7)
            f.insert(QStringLiteral("agent_id"), 13);
        if (i % 5 == 2)
            f.insert(QStringLiteral("create_time"), lastTime - 3600);
        else
            f.insert(QStringLiteral("created_at"),
                     QDateTime::fromSecsSinceEpoch(lastTime - 3600).toString(Qt::ISODate));
        const int id = addSessionRecord(f);

        // A handful of empty offline sessions can be deleted.
        const bool empty = status != QLatin1String("online") && i % 17 == 9;
        if (empty) {
            sessions[id].fields.insert(QStringLiteral("last_time"), lastTime);
            continue;
        }
        const int count = 1 + rng.bounded(12);
        const bool english = rng.bounded(2) == 0;
        const bool answered = rng.bounded(5) != 0;
        const QString visitorName = f.value(QStringLiteral("visitor_name")).toString().isEmpty()
            ? QStringLiteral("访客")
            : f.value(QStringLiteral("visitor_name")).toString();
        int unread = 0;
        for (int k = 0; k < count; ++k) {
            const bool fromAgent = answered && k % 2 == 1;
            QJsonObject m {{QStringLiteral("create_time"), lastTime - qint64(count - 1 - k) * 75},
                           {QStringLiteral("from_type"),
                            fromAgent ? QStringLiteral("agent") : QStringLiteral("visitor")},
                           {QStringLiteral("from_id"), fromAgent ? 12 : 0},
                           {QStringLiteral("from_name"),
                            fromAgent ? QStringLiteral("演示坐席") : visitorName}};
            if (!fromAgent && rng.bounded(9) == 0) {
                m.insert(QStringLiteral("msg_type"), QStringLiteral("image"));
                m.insert(QStringLiteral("content"),
                         baseUrl() + QStringLiteral("/images/demo-%1.png").arg(1 + rng.bounded(4)));
            } else {
                m.insert(QStringLiteral("content"),
                         fromAgent     ? pick(agentLines)
                             : english ? pick(englishLines)
                                       : pick(chineseLines));
            }
            if (fromAgent && rng.bounded(7) == 0)
                m.insert(QStringLiteral("is_deleted"), 1);
            storeMessage(id, m, true);
            unread = fromAgent ? 0 : unread + 1;
        }
        QJsonObject &fields = sessions[id].fields;
        // Older sessions were read long ago; recent ones may still wait.
        fields.insert(QStringLiteral("unread_count"), i < 40 && rng.bounded(3) == 0 ? unread : 0);
        if (i % 7 == 5) // some services send the time as text
            fields.insert(
                QStringLiteral("last_time"),
                QDateTime::fromSecsSinceEpoch(epochOf(fields.value(QStringLiteral("last_time"))))
                    .toString(Qt::ISODate));
    }
}

// Past receptions: enough to page through in the records dialog, in every
// shape records arrive in. A fixed seed and fixed times give the same archive
// on every run.
void Server::Private::seedArchive(int count)
{
    QRandomGenerator rng(20250301);
    const qint64 newest = QDateTime(QDate(2025, 3, 1), QTime(18, 0)).toSecsSinceEpoch();
    static const char *const statuses[]
        = {"closed",      "closed",  "offline",     "online", "closed",
           "unreception", "offline", "transferred", "closed", "Online"};
    const auto iso
        = [](qint64 t) { return QDateTime::fromSecsSinceEpoch(t).toString(Qt::ISODate); };

    for (int i = 0; i < count; ++i) {
        const int id = 5001 + i;
        const qint64 start = newest - qint64(i) * 5400 - rng.bounded(1800);
        QJsonObject f {{QStringLiteral("id"), id},
                       {QStringLiteral("status"), QLatin1String(statuses[i % 10])},
                       {QStringLiteral("ip_address"),
                        QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250 + 1)}};
        const int kind = i % 7;
        f.insert(QStringLiteral("visitor_name"),
                 kind < 3       ? pickFrom(rng, chineseNames)
                     : kind < 6 ? pickFrom(rng, latinNames)
                                : QString());
        f.insert(QStringLiteral("visitor_id"),
                 kind == 6 ? QStringLiteral("h_%1").arg(100000000 + i * 7919) : QString());
        if (i % 13 == 5)
            f.insert(QStringLiteral("remark"), pickFrom(rng, remarks));
        if (i % 6 == 4)
            f.insert(QStringLiteral("create_time"), start);
        else
            f.insert(QStringLiteral("created_at"), i % 50 == 31 ? QString() : iso(start));
        addSessionRecord(f);
        SessionRecord &record = sessions[id];
        record.archived = true;

        // Never answered: the "unreception" ones and a few others.
        const bool answered = i % 10 != 5 && i % 9 != 0;
        const bool longHistory = i % 25 == 0;
        const int messageCount = i % 50 == 17 ? 0
            : longHistory                     ? 250 + rng.bounded(350)
                                              : 1 + rng.bounded(40);
        const bool english = rng.bounded(2) == 0;
        qint64 time = start;
        QString last;
        for (int k = 0; k < messageCount; ++k) {
            time += 20 + rng.bounded(90);
            const bool fromAgent = answered && k % 3 == 1;
            const bool admin = fromAgent && k % 15 == 4;
            QJsonObject m {
                {QStringLiteral("msg_uuid"), QStringLiteral("h%1-%2").arg(id).arg(k + 1)},
                {QStringLiteral("create_time"), time},
                {QStringLiteral("from_type"),
                 admin           ? QStringLiteral("admin")
                     : fromAgent ? QStringLiteral("agent")
                                 : QStringLiteral("visitor")},
                {QStringLiteral("from_id"),
                 admin           ? 1
                     : fromAgent ? 12
                                 : 0},
                {QStringLiteral("from_name"),
                 admin           ? QStringLiteral("管理员")
                     : fromAgent ? QStringLiteral("演示坐席")
                                 : f.value(QStringLiteral("visitor_name")).toString()}};
            if (rng.bounded(fromAgent ? 40 : 12) == 0) {
                m.insert(QStringLiteral("msg_type"), QStringLiteral("image"));
                m.insert(QStringLiteral("content"),
                         baseUrl() + QStringLiteral("/images/demo-%1.png").arg(1 + rng.bounded(4)));
                last = QStringLiteral("[图片]");
            } else {
                last = fromAgent ? pickFrom(rng, agentLines)
                    : english    ? pickFrom(rng, englishLines)
                                 : pickFrom(rng, chineseLines);
                // Numbered in long histories, so that paging shows its order.
                if (longHistory)
                    last += QStringLiteral(" #%1").arg(k + 1);
                m.insert(QStringLiteral("content"), last);
            }
            storeMessage(id, m, false);
        }
        QJsonObject &fields = record.fields;
        fields.insert(QStringLiteral("last_msg"), last);
        // The service's several ways of sending a time, and none.
        switch (i % 6) {
        case 1:
            fields.insert(QStringLiteral("last_time"), iso(time));
            break;
        case 2:
            fields.insert(QStringLiteral("last_time"), QString::number(time));
            break;
        case 3:
        case 4:
            fields.insert(QStringLiteral("last_time"), QString());
            break;
        default:
            fields.insert(QStringLiteral("last_time"), time);
        }
        // A few records with fields of the wrong JSON type.
        if (i % 37 == 2)
            fields.insert(QStringLiteral("message_count"), QString::number(messageCount));
        if (i % 41 == 3)
            fields.insert(QStringLiteral("visitor_name"), 4100 + i);
    }
}

} // namespace DevServer

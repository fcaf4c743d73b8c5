#include "workspace_fixture.h"

#include "widgets/toast.h"

#include <QTextDocumentFragment>

using namespace Fixture;

namespace {

// Every field the service or a visitor controls carries the payload behind a
// marker of its own, so that what each widget shows can be traced back.
const QStringList kMarkers {"〔N〕", "〔I〕", "〔L〕", "〔M〕", "〔R〕", "〔G〕", "〔E〕",
                            "〔X〕", "〔C〕", "〔A〕", "〔H〕", "〔Y〕", "〔T〕", "〔B〕"};

// What the agent reads: rich text as Qt would render it, buttons without
// their mnemonic ampersands.
QString rendered(const QString &text, Qt::TextFormat format)
{
    if (format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text)))
        return QTextDocumentFragment::fromHtml(text).toPlainText();
    return text;
}

QString withoutMnemonics(QString text)
{
    static const QRegularExpression amp("&(.)");
    return text.replace(amp, "\\1");
}

// Every text on screen, each with where it was found.
QList<QPair<QString, QString>> screenTexts()
{
    QList<QPair<QString, QString>> out;
    for (QWidget *w : QApplication::allWidgets()) {
        if (!w->isVisible())
            continue;
        const QString where = w->objectName() + "/" + w->metaObject()->className();
        if (auto *label = qobject_cast<QLabel *>(w))
            out.append({rendered(label->text(), label->textFormat()), where});
        else if (auto *button = qobject_cast<QAbstractButton *>(w))
            out.append({withoutMnemonics(button->text()), where});
        else if (auto *edit = qobject_cast<QLineEdit *>(w)) // may cut at its limit
            out.append(
                {edit->text() + (edit->text().size() == edit->maxLength() ? "…" : ""), where});
        if (auto *table = qobject_cast<QTableWidget *>(w))
            for (int r = 0; r < table->rowCount(); ++r)
                for (int c = 0; c < table->columnCount(); ++c)
                    out.append({table->item(r, c) ? table->item(r, c)->text() : "", where});
        if (!w->toolTip().isEmpty())
            out.append({rendered(w->toolTip(), Qt::AutoText), where + " tooltip"});
    }
    return out;
}

// True when `shown` holds `marked` as it is, or a visible start of it that
// ends in an ellipsis.
bool literal(QStringView shownText, QString marked)
{
    // Zero-width spaces a label adds only mark where a line may break.
    const QString shown = shownText.toString().remove(u'\u200b');
    marked.remove(u'\u200b');
    qsizetype n = 0;
    while (n < shown.size() && n < marked.size() && shown[n] == marked[n])
        ++n;
    const QStringView rest = QStringView(shown).mid(n);
    return n == marked.size()
        || (n > 4
            && (rest.startsWith(u'…') || rest.startsWith(QStringLiteral("\n…"))
                || rest == QStringLiteral("...")));
}

// The markers shown literally, and a line for each widget that shows one otherwise.
QSet<QString> checkScreen(const QString &payload)
{
    QSet<QString> seen;
    for (const auto &[text, where] : screenTexts()) {
        for (const QString &marker : kMarkers) {
            for (qsizetype at = text.indexOf(marker); at >= 0; at = text.indexOf(marker, at + 1)) {
                // A violation is remembered under the widget's name.
                seen.insert(literal(QStringView(text).mid(at), marker + payload)
                                ? marker
                                : where + " shows " + text.left(200));
            }
        }
    }
    return seen;
}

// A service answer: {"code": code, key: value}.
QByteArray answer(int code, const char *key, const QJsonValue &value)
{
    return QJsonDocument(QJsonObject {{"code", code}, {key, value}}).toJson();
}

} // namespace

class TestInjection : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { dismissAllToasts(); }

    void shownLiterally_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::newRow("tags") << "<b>粗</b><i>i</i><u>u</u>";
        QTest::newRow("image") << "<img src=\"http://127.0.0.1:1/x.png\" width=900>";
        QTest::newRow("link") << "<a href=\"http://evil.example/\">点我</a>";
        QTest::newRow("style") << "<style>*{color:red;font-size:80px}</style>x";
        QTest::newRow("entities") << "&lt;b&gt; &amp; &#60;i&#62; &nbsp;&&x";
        QTest::newRow("qt rich") << "<qt><table><tr><td>t</td></tr></table></qt>";
        QTest::newRow("doctype") << "<!DOCTYPE html><html><body><h1>h</h1></body></html>";
        QTest::newRow("bidi") << QString::fromUtf8("abc\u202Egnp.exe\u202C\u2066x\u2069");
        QTest::newRow("zero width") << QString::fromUtf8("a\u200Bb\u200Dc\uFEFFd\u2060");
        QTest::newRow("100000") << "<b>" + QString(100000, u'界') + "</b>";
    }

    void shownLiterally()
    {
        QFETCH(QString, payload);
        const auto m = [&payload](const char *marker) { return QString(marker) + payload; };
        Workspace ws;
        Answerer answers;
        // The agent's own name travels in the token, which has to fit a header.
        const bool inToken = payload.size() < 1000;
        ws.server.addAccount({40, "x40", "pw", inToken ? m("〔A〕") : "a", 3});
        ws.server.addAccount({41, "x41", "pw", m("〔C〕"), 3});
        ws.server.setAgentOnline(41, true);
        const int open = ws.add(m("〔N〕"), true, 0, 9,
                                {{"ip_address", m("〔I〕")}, {"last_msg", m("〔L〕")}});
        ws.server.addMessage(open, {{"content", m("〔M〕")}});
        const int other = ws.add("o", true, 0, 8, {{"remark", m("〔R〕")}});
        const int byId = ws.add("", true, 0, 7, {{"visitor_id", "v" + payload}});
        QVERIFY(ws.start(40) && ws.open(open));

        auto *bubble = ws.w()->bubbles().constFirst();
        ws.server.setRawReply("/translate", 200,
                              answer(200, "data", QJsonObject {{"translation", m("〔X〕")}}));
        bubble->translateButton()->click();
        QTRY_VERIFY(bubble->translateButton()->isEnabled());
        ws.server.visitorOpensSession(m("〔G〕"));
        QTRY_VERIFY(ws.text("statusLabel").contains("〔G〕"));
        QSet<QString> seen = checkScreen(payload);
        ws.server.setRawReply("/chat/messages", 200, answer(500, "msg", m("〔E〕")));
        Access::select(ws.w(), other);
        QTRY_VERIFY(ws.text("statusLabel").contains("〔E〕"));
        seen += checkScreen(payload);
        // A visitor known only by id is shown by its last seven characters.
        QCOMPARE(ws.row(byId)->findChild<QLabel *>("nameLabel")->text(), ("v" + payload).right(7));

        showToast(ws.w(), m("〔T〕"), m("〔B〕"));
        answers.onOther = [&seen, &payload](QDialog *dialog) {
            seen += checkScreen(payload);
            return dialog->close();
        };
        Access::transfer(ws.w());
        QTRY_VERIFY(seen.contains("〔C〕"));
        answers.onOther = nullptr;

        const QJsonObject record {{"visitor_name", m("〔H〕")}, {"last_msg", m("〔Y〕")}};
        ws.server.setRawReply("/chat/records", 200,
                              answer(200, "data", QJsonObject {{"list", QJsonArray {record}}}));
        ws.w()->findChild<QPushButton *>("historyBtn")->click();
        QTRY_VERIFY((seen += checkScreen(payload)).contains("〔H〕"));
        for (const QString &entry : seen)
            QVERIFY2(kMarkers.contains(entry), qPrintable(entry));
        for (const QString &marker : kMarkers)
            QVERIFY2(seen.contains(marker) || (marker == "〔A〕" && !inToken),
                     qPrintable(marker + " never shown literally"));
    }
};

ORVANTIS_TEST_MAIN(TestInjection)
#include "tst_injection.moc"

#include "testsupport.h"

#include <QFile>
#include <QSoundEffect>
#include <QtEndian>

#include "widgets/notifysound.h"

class NotifySoundTest : public QObject
{
    Q_OBJECT

private:
    static qint16 sampleAt(const QByteArray &wav, int index)
    {
        return qFromLittleEndian<qint16>(wav.constData() + 44 + 2 * index);
    }

private slots:
    void header_data();
    void header();
    void silentStretches();
    void toneShapes();
    void shippedFileIsUsedUnchanged();
    void generatedFileIsWritten();
    void unwritableTemporaryFile();
    void disabledPlayLeavesNothingPending();
    void enabledPlayStartsOnceLoaded();
};

void NotifySoundTest::header_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("expected"); // raw bytes as they stand in the file

    auto le32 = [](quint32 v) { QByteArray b(4, 0); qToLittleEndian(v, b.data()); return b; };
    auto le16 = [](quint16 v) { QByteArray b(2, 0); qToLittleEndian(v, b.data()); return b; };
    QTest::newRow("riff") << 0 << 4 << QByteArray("RIFF");
    QTest::newRow("riff size") << 4 << 4 << le32(30904);
    QTest::newRow("wave fmt") << 8 << 8 << QByteArray("WAVEfmt ");
    QTest::newRow("fmt size") << 16 << 4 << le32(16);
    QTest::newRow("pcm") << 20 << 2 << le16(1);
    QTest::newRow("mono") << 22 << 2 << le16(1);
    QTest::newRow("rate") << 24 << 4 << le32(44100);
    QTest::newRow("byte rate") << 28 << 4 << le32(88200);
    QTest::newRow("block align") << 32 << 2 << le16(2);
    QTest::newRow("bits") << 34 << 2 << le16(16);
    QTest::newRow("data tag") << 36 << 4 << QByteArray("data");
    QTest::newRow("data size") << 40 << 4 << le32(30868);
}

void NotifySoundTest::header()
{
    QFETCH(int, offset);
    QFETCH(int, size);
    QFETCH(QByteArray, expected);
    const QByteArray wav = NotifySound::synthesizeChimeWav();
    QCOMPARE(wav.size(), 30912);
    QCOMPARE(wav.mid(offset, size), expected);
}

void NotifySoundTest::silentStretches()
{
    const QByteArray wav = NotifySound::synthesizeChimeWav();
    for (int i = 5292; i <= 5732; ++i)
        QVERIFY2(sampleAt(wav, i) == 0, qPrintable(QString::number(i)));
    for (int i = 13671; i <= 15433; ++i)
        QVERIFY2(sampleAt(wav, i) == 0, qPrintable(QString::number(i)));
    // Just inside each tone there is sound.
    QVERIFY(sampleAt(wav, 5291 - 100) != 0 || sampleAt(wav, 5291 - 101) != 0);
    QVERIFY(sampleAt(wav, 5733 + 200) != 0);
}

void NotifySoundTest::toneShapes()
{
    const QByteArray wav = NotifySound::synthesizeChimeWav();
    QCOMPARE(sampleAt(wav, 0), qint16(0));
    QCOMPARE(sampleAt(wav, 5733), qint16(0));

    int peakA = 0;
    for (int i = 0; i < 5292; ++i)
        peakA = qMax(peakA, qAbs(int(sampleAt(wav, i))));
    QVERIFY(peakA <= 9830);
    QVERIFY(peakA > 9000); // reaches close to full amplitude after the attack

    int peakB = 0;
    for (int i = 5733; i < 13671; ++i)
        peakB = qMax(peakB, qAbs(int(sampleAt(wav, i))));
    QVERIFY(peakB <= 8191); // 0.25 of full scale
    QVERIFY(peakB > 7500);

}

void NotifySoundTest::shippedFileIsUsedUnchanged()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sounds")));
    const QString shipped = dir.filePath(QStringLiteral("sounds/notify.wav"));
    const QString generated = dir.filePath(QStringLiteral("orvantis_notify.wav"));
    {
        QFile f(shipped);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("shipped by the vendor");
    }
    QString chosen;
    QVERIFY(NotifySound::prepareSoundFile(shipped, generated, &chosen));
    QCOMPARE(chosen, shipped);
    QFile f(shipped);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("shipped by the vendor"));
    QVERIFY(!QFile::exists(generated));
}

void NotifySoundTest::generatedFileIsWritten()
{
    QTemporaryDir dir;
    const QString generated = dir.filePath(QStringLiteral("orvantis_notify.wav"));
    {
        // A stale, longer file is truncated, not patched.
        QFile stale(generated);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray(40000, 'x'));
    }
    QString chosen;
    QVERIFY(NotifySound::prepareSoundFile(dir.filePath(QStringLiteral("sounds/notify.wav")), generated, &chosen));
    QCOMPARE(chosen, generated);
    QFile f(generated);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), NotifySound::synthesizeChimeWav());
}

void NotifySoundTest::unwritableTemporaryFile()
{
    QTemporaryDir dir;
    const QString generated = dir.filePath(QStringLiteral("missing-dir/orvantis_notify.wav"));
    QString chosen;
    QVERIFY(!NotifySound::prepareSoundFile(dir.filePath(QStringLiteral("nope.wav")), generated, &chosen));
    QCOMPARE(chosen, generated); // remembered even though nothing could be written
}

void NotifySoundTest::disabledPlayLeavesNothingPending()
{
    NotifySound *sound = NotifySound::instance();
    QCOMPARE(NotifySound::instance(), sound);
    QVERIFY(!sound->filePath().isEmpty());

    sound->setEnabled(false);
    const int before = sound->playCount();
    sound->play();
    sound->play();
    QVERIFY(!sound->hasPendingPlay());
    QTest::qWait(50);
    QCOMPARE(sound->playCount(), before);
    sound->setEnabled(true);
}

void NotifySoundTest::enabledPlayStartsOnceLoaded()
{
    NotifySound *sound = NotifySound::instance();
    sound->setEnabled(true);
    const int before = sound->playCount();
    // Several requests while loading give one play; once loaded each plays.
    sound->play();
    sound->play();
    QSoundEffect *effect = sound->findChild<QSoundEffect *>();
    QVERIFY(effect);
    QTRY_COMPARE(effect->status(), QSoundEffect::Ready);
    QTRY_VERIFY(!sound->hasPendingPlay());
    QVERIFY(sound->playCount() >= before + 1);
    QVERIFY(sound->playCount() <= before + 2);
    const int loaded = sound->playCount();
    sound->play();
    QCOMPARE(sound->playCount(), loaded + 1);
    QVERIFY(!sound->hasPendingPlay());

    // Switching off drops a request that is still waiting.
    sound->setEnabled(false);
    QVERIFY(!sound->hasPendingPlay());
    sound->setEnabled(true);
}

ORVANTIS_TEST_MAIN(NotifySoundTest)
#include "tst_notifysound.moc"

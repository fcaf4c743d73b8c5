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

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void header();
    void samples();
    void soundFileChoice();
    void disabledPlayLeavesNothingPending();
    void enabledPlayStartsOnceLoaded();
};

void NotifySoundTest::header()
{
    QByteArray expected;
    QDataStream out(&expected, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(30904);
    out.writeRawData("WAVEfmt ", 8);
    // fmt size, PCM, mono, 44100 Hz, byte rate, block align, 16 bits
    out << quint32(16) << quint16(1) << quint16(1) << quint32(44100) << quint32(88200)
        << quint16(2) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(30868);

    const QByteArray wav = NotifySound::synthesizeChimeWav();
    QCOMPARE(wav.size(), 30912);
    QCOMPARE(wav.left(44), expected);
}

void NotifySoundTest::samples()
{
    const QByteArray wav = NotifySound::synthesizeChimeWav();
    // The pause after each tone is exact silence.
    for (int i = 5292; i <= 5732; ++i)
        QVERIFY2(sampleAt(wav, i) == 0, qPrintable(QString::number(i)));
    for (int i = 13671; i <= 15433; ++i)
        QVERIFY2(sampleAt(wav, i) == 0, qPrintable(QString::number(i)));

    // Each tone starts at zero and swells: A to 0.3, B to 0.25 of full scale.
    QCOMPARE(sampleAt(wav, 0), qint16(0));
    QCOMPARE(sampleAt(wav, 5733), qint16(0));
    int peakA = 0;
    for (int i = 0; i < 5292; ++i)
        peakA = qMax(peakA, qAbs(int(sampleAt(wav, i))));
    QVERIFY2(peakA > 9000 && peakA <= 9830, qPrintable(QString::number(peakA)));
    int peakB = 0;
    for (int i = 5733; i < 13671; ++i)
        peakB = qMax(peakB, qAbs(int(sampleAt(wav, i))));
    QVERIFY2(peakB > 7500 && peakB <= 8191, qPrintable(QString::number(peakB)));
}

void NotifySoundTest::soundFileChoice()
{
    QTemporaryDir dir;
    const QString shipped = dir.filePath(QStringLiteral("notify.wav"));
    const QString generated = dir.filePath(QStringLiteral("orvantis_notify.wav"));
    QString chosen;

    // Without a shipped file the chime is written, replacing a stale longer file.
    writeFile(generated, QByteArray(40000, 'x'));
    QVERIFY(NotifySound::prepareSoundFile(shipped, generated, &chosen));
    QCOMPARE(chosen, generated);
    QCOMPARE(readFile(generated), NotifySound::synthesizeChimeWav());

    // A shipped file is used as it is.
    QFile::remove(generated);
    writeFile(shipped, "shipped by the vendor");
    QVERIFY(NotifySound::prepareSoundFile(shipped, generated, &chosen));
    QCOMPARE(chosen, shipped);
    QCOMPARE(readFile(shipped), QByteArray("shipped by the vendor"));
    QVERIFY(!QFile::exists(generated));
}

void NotifySoundTest::disabledPlayLeavesNothingPending()
{
    NotifySound *sound = NotifySound::instance();
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
    const int before = sound->playCount();
    // Several requests while loading give at most one play each; once loaded each plays.
    sound->play();
    sound->play();
    QSoundEffect *effect = sound->findChild<QSoundEffect *>();
    QVERIFY(effect);
    QTRY_COMPARE(effect->status(), QSoundEffect::Ready);
    QTRY_VERIFY(!sound->hasPendingPlay());
    QVERIFY(sound->playCount() >= before + 1 && sound->playCount() <= before + 2);
    const int loaded = sound->playCount();
    sound->play();
    QCOMPARE(sound->playCount(), loaded + 1);

    // Switching off drops a request that is still waiting.
    sound->setEnabled(false);
    QVERIFY(!sound->hasPendingPlay());
    sound->setEnabled(true);
}

ORVANTIS_TEST_MAIN(NotifySoundTest)
#include "tst_notifysound.moc"

#include "testsupport.h"

#include <QFile>
#include <QSoundEffect>
#include <QtEndian>

#include "widgets/notifysound.h"

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
}

} // namespace

class NotifySoundTest : public QObject
{
    Q_OBJECT

private slots:
    void chime()
    {
        const QByteArray wav = NotifySound::synthesizeChimeWav();
        QCOMPARE(wav.size(), 30912);
        // RIFF size 30904, fmt size 16, PCM, mono, 44100 Hz, 88200 bytes/s,
        // 2-byte blocks, 16 bits, data size 30868.
        QCOMPARE(wav.left(44).toHex(),
                 "52494646b878000057415645666d7420100000000100010044ac00008858010002001000"
                 "6461746194780000");
        // The envelope of both notes: the loudest sample in windows of attack,
        // decay, release and the pauses (44100 samples per second).
        const int windows[][2]
            = {{0, 2},       {0, 100},     {400, 441},   {441, 500},     {2600, 2646},
               {2646, 2700}, {4000, 4100}, {5200, 5292}, {5292, 5733},   {5733, 5800},
               {6100, 6174}, {9650, 9702}, {9702, 9760}, {13600, 13671}, {13671, 15434}};
        QList<int> peaks;
        for (const auto &[from, to] : windows) {
            int loudest = 0;
            for (int i = from; i < to; ++i) {
                const qint16 sample = qFromLittleEndian<qint16>(wav.constData() + 44 + 2 * i);
                loudest = qMax(loudest, qAbs(int(sample)));
            }
            peaks << loudest;
        }
        QCOMPARE(peaks,
                 QList<int>({2, 1960, 9765, 9794, 7877, 7783, 3770, 272, 0, 950, 7759, 6567, 6511,
                             116, 0}));
    }

    void soundFileChoice()
    {
        QTemporaryDir dir;
        const QString shipped = dir.filePath(QStringLiteral("notify.wav"));
        const QString generated = dir.filePath(QStringLiteral("orvantis_notify.wav"));
        QString chosen;

        // Without a shipped file the chime is written, replacing a stale longer file.
        QFile stale(generated);
        QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(QByteArray(40000, 'x')) == 40000);
        stale.close();
        QVERIFY(NotifySound::prepareSoundFile(shipped, generated, &chosen));
        QCOMPARE(chosen, generated);
        QCOMPARE(contents(generated), NotifySound::synthesizeChimeWav());

        // Nowhere to write it: nothing can be played, the path is still remembered.
        const QString unwritable = dir.filePath(QStringLiteral("no/such/dir.wav"));
        QVERIFY(!NotifySound::prepareSoundFile(shipped, unwritable, &chosen));
        QCOMPARE(chosen, unwritable);

        // A shipped file is used as it is.
        QVERIFY(QFile::rename(generated, shipped));
        QVERIFY(NotifySound::prepareSoundFile(shipped, unwritable, &chosen));
        QCOMPARE(chosen, shipped);
        QCOMPARE(contents(unwritable), QByteArray("missing"));
    }

    void playsWhenEnabledAndLoaded()
    {
        NotifySound *sound = NotifySound::instance();
        auto *effect = sound->findChild<QSoundEffect *>();
        QCOMPARE(effect->status(), QSoundEffect::Loading); // no event loop has run yet
        sound->play();
        QVERIFY(sound->hasPendingPlay());
        sound->setEnabled(false); // a request made before switching off is dropped
        QVERIFY(!sound->hasPendingPlay());
        sound->setEnabled(true);
        sound->play();
        sound->play(); // requests while loading give one play once loaded
        QTRY_COMPARE(effect->status(), QSoundEffect::Ready);
        QTRY_COMPARE(sound->playCount(), 1);
        sound->play();
        QCOMPARE(sound->playCount(), 2);
        sound->setEnabled(false);
        sound->play();
        QCOMPARE(sound->playCount(), 2);
    }
};

ORVANTIS_TEST_MAIN(NotifySoundTest)
#include "tst_notifysound.moc"

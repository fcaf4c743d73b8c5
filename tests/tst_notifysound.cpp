#include "testsupport.h"

#include <QFile>
#include <QSoundEffect>
#include <QtEndian>

#include "widgets/notifysound.h"
#include "widgets/soundplayer.h"

class TestNotifySound : public QObject
{
    Q_OBJECT

private slots:
    // A valid file, written when none is shipped, is met by every sound the
    // workspace tests count; what they cannot hear is silence.
    void chime()
    {
        // Each event sounds its own.
        QSet<QByteArray> chimes;
        for (auto event : {NotifySound::Event::Message, NotifySound::Event::NewVisitor,
                           NotifySound::Event::Transfer})
            chimes << NotifySound::synthesizeChimeWav(event);
        QCOMPARE(chimes.size(), 3);
        const QByteArray wav = NotifySound::synthesizeChimeWav();
        int loudest = 0;
        for (int i = 441; i < 500; ++i)
            loudest = qMax(loudest, int(qFromLittleEndian<qint16>(wav.data() + 44 + 2 * i)));
        QCOMPARE(loudest, 9794);
    }

    void soundFileChoice()
    {
        QTemporaryDir dir;
        const QString shipped = dir.filePath("notify.wav"), unwritable = dir.filePath("no/a.wav");
        QString chosen;
        QVERIFY(!NotifySound::prepareSoundFile(shipped, unwritable, "RIFF",
                                               &chosen)); // nothing to play
        QVERIFY(QFile(shipped).open(QIODevice::WriteOnly));
        QVERIFY(
            NotifySound::prepareSoundFile(shipped, unwritable, "RIFF", &chosen)); // used as it is
        QCOMPARE(chosen, shipped);
    }

    // A missing or broken player module leaves the client silent, not down;
    // the first module that loads wins.
    void playerModule()
    {
        QTemporaryDir missing, broken;
        QFile junk(broken.filePath(ORVANTIS_SOUND_MODULE));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a library");
        junk.close();
        QObject owner;
        QVERIFY(!NotifySound::createPlayer({missing.path(), broken.path()}, &owner, [] {}));
        QVERIFY(owner.children().isEmpty());

        int changes = 0;
        auto player = NotifySound::createPlayer(QStringList {broken.path()}
                                                    + NotifySound::playerModuleDirs(),
                                                &owner, [&changes] { ++changes; });
        QVERIFY(player);
        QVERIFY(owner.findChild<QSoundEffect *>());
        QVERIFY(!player->isReady());
        player->setSource(NotifySound::playerModuleDirs().constFirst() + "/nothing.wav");
        QTRY_VERIFY(changes > 0);
        QVERIFY(!player->isReady()); // a file that is not there never becomes playable
    }

    void playsWhenEnabledAndLoaded()
    {
        NotifySound *sound = NotifySound::instance();
        QCOMPARE(sound->findChild<QSoundEffect *>()->status(), QSoundEffect::Loading);
        sound->play();
        sound->setEnabled(false); // a request made before switching off is dropped
        sound->setEnabled(true);
        QVERIFY(!sound->hasPendingPlay());
        sound->play();
        sound->play(); // requests while loading give one play once loaded
        QTRY_COMPARE(sound->playCount(), 1);
        sound->play();
        sound->setEnabled(false);
        sound->play();
        QCOMPARE(sound->playCount(), 2);
        sound->setEnabled(true);
        sound->play(NotifySound::Event::Transfer);
        QTRY_COMPARE(sound->playCount(NotifySound::Event::Transfer), 1);
        QCOMPARE(sound->playCount(NotifySound::Event::Message), 2);
    }
};

ORVANTIS_TEST_MAIN(TestNotifySound)
#include "tst_notifysound.moc"

// The notification sound's player: a QSoundEffect, built as a module of its
// own so that only a signed-in client loads QtMultimedia and what it drags in.

#include "widgets/soundplayer.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

namespace {

class SoundEffectPlayer final : public SoundPlayer
{
public:
    SoundEffectPlayer(QObject *owner, std::function<void()> statusChanged)
        : effect(new QSoundEffect(owner))
    {
        effect->setVolume(0.8f);
        effect->setLoopCount(1);
        QObject::connect(effect, &QSoundEffect::statusChanged, owner, std::move(statusChanged));
    }

    void setSource(const QString &localFile) override
    {
        effect->setSource(QUrl::fromLocalFile(localFile));
    }

    bool isReady() const override { return effect->status() == QSoundEffect::Ready; }

    void play() override
    {
        // Without an output device (headless machines, CI) the effect would
        // only complain on every request.
        if (!QMediaDevices::defaultAudioOutput().isNull())
            effect->play();
    }

private:
    QSoundEffect *effect; // owned by the owner given at creation
};

} // namespace

extern "C" Q_DECL_EXPORT SoundPlayer *orvantisCreateSoundPlayer(QObject *owner,
                                                                std::function<void()> statusChanged)
{
    return new SoundEffectPlayer(owner, std::move(statusChanged));
}

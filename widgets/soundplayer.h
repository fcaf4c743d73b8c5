#pragma once

#include <QString>

#include <functional>

class QObject;

// What the notification sound needs of an audio player. The player lives in
// a module of its own, loaded when the sound is first made, so that the
// audio stack is not loaded and relocated before the sign-in dialog shows.
class SoundPlayer
{
public:
    virtual ~SoundPlayer() = default;
    virtual void setSource(const QString &localFile) = 0;
    virtual bool isReady() const = 0;
    // Does nothing where there is no output device.
    virtual void play() = 0;
};

// The module's one entry point. The player's QObjects are children of
// `owner`; `statusChanged` runs, in the context of `owner`, whenever the
// loading state of the source changes.
using CreateSoundPlayerFunction
    = SoundPlayer *(*)(QObject *owner, std::function<void()> statusChanged);
inline constexpr char createSoundPlayerSymbol[] = "orvantisCreateSoundPlayer";

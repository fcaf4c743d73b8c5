#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class SoundPlayer;

// The chimes for a visitor's message, a new visitor and a session handed to
// the agent, each its own, so that the agent hears what happened without
// looking. Prefers sounds/<name>.wav beside the executable, otherwise
// synthesises the chime into the user's private runtime folder.
// Process-wide; switched by the notify setting and quiet mode.
class NotifySound : public QObject
{
    Q_OBJECT

public:
    enum class Event { Message, NewVisitor, Transfer };
    static constexpr int eventCount = 3;

    static NotifySound *instance();

    void play(Event event = Event::Message);
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    bool hasPendingPlay() const;
    QString filePath(Event event = Event::Message) const { return m_sounds[int(event)].path; }
    // Plays started, for tests: all of them, or those of one event.
    int playCount() const;
    int playCount(Event event) const { return m_sounds[int(event)].plays; }

    // The file name of an event's sound ("notify", "visitor", "transfer").
    static QString soundName(Event event);
    // The synthesised chime of an event as a complete 16-bit mono PCM WAV
    // file (30912 bytes).
    static QByteArray synthesizeChimeWav(Event event = Event::Message);
    // Picks the sound to play: the shipped file when it exists (used as is),
    // otherwise `wav` written to generatedPath. chosenPath is set either way;
    // returns whether that file can be handed to the player.
    static bool prepareSoundFile(const QString &shippedPath, const QString &generatedPath,
                                 const QByteArray &wav, QString *chosenPath);
    // Where the player module is looked for, first match wins: the installed
    // place and the build tree's, both relative to the executable.
    static QStringList playerModuleDirs();
    // The player of the first module in moduleDirs that loads, its objects
    // children of owner; null (and a debug line) when none does.
    static std::unique_ptr<SoundPlayer> createPlayer(const QStringList &moduleDirs, QObject *owner,
                                                     std::function<void()> statusChanged);

private:
    NotifySound();
    ~NotifySound() override;
    void onStatusChanged();

    struct Sound
    {
        // Null when the player module cannot be loaded: the client stays silent.
        std::unique_ptr<SoundPlayer> player;
        QString path;
        bool pending = false;
        int plays = 0;
    };
    void startPlayback(Sound &sound);

    Sound m_sounds[eventCount];
    bool m_enabled = true;
};

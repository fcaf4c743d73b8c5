#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class SoundPlayer;

// The two-note chime for new sessions, messages and transfers. Prefers
// sounds/notify.wav beside the executable, otherwise synthesises the chime
// into the user's private runtime folder. Process-wide; switched by the notify setting.
class NotifySound : public QObject
{
    Q_OBJECT

public:
    static NotifySound *instance();

    void play();
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    bool hasPendingPlay() const { return m_pendingPlay; }
    QString filePath() const { return m_filePath; }
    int playCount() const { return m_playCount; } // plays started, for tests

    // The synthesised chime as a complete 16-bit mono PCM WAV file (30912 bytes).
    static QByteArray synthesizeChimeWav();
    // Picks the sound to play: the shipped file when it exists (used as is),
    // otherwise the synthesised chime written to generatedPath. chosenPath is
    // set either way; returns whether that file can be handed to the player.
    static bool prepareSoundFile(const QString &shippedPath, const QString &generatedPath,
                                 QString *chosenPath);
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
    void startPlayback();

    // Null when the player module cannot be loaded: the client stays silent.
    std::unique_ptr<SoundPlayer> m_player;
    QString m_filePath;
    bool m_pendingPlay = false;
    bool m_enabled = true;
    int m_playCount = 0;
};

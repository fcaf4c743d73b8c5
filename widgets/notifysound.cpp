#include "notifysound.h"

#include "shell/userfiles.h"
#include "widgets/soundplayer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int kSampleRate = 44100;
// 0.35 s of 44100 Hz, truncated.
constexpr int kSampleCount = 15434;

NotifySound *s_sound = nullptr;

void addTone(std::vector<float> &buffer, int rate, double frequency, double start, double duration,
             double amplitude)
{
    const int n = int(rate * duration);
    if (n <= 0)
        return;
    const int first = int(rate * start);
    const int length = int(buffer.size());
    const double half = duration / 2.0;
    for (int i = 0; i < n && first + i < length; ++i) {
        const double t = double(i) / rate;
        double envelope;
        if (t < 0.01)
            envelope = (t / 0.01) * amplitude; // short attack avoids a click
        else if (t < half)
            envelope = amplitude - ((t - 0.01) / (half - 0.01)) * 0.2 * amplitude;
        else
            envelope = (1.0 - (t - half) / half) * 0.8 * amplitude;
        buffer[size_t(first) + size_t(i)] += float(std::sin(2.0 * M_PI * frequency * t) * envelope);
    }
}

void appendLe16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void appendLe32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

} // namespace

NotifySound *NotifySound::instance()
{
    // Function-local static: created once even under concurrent first calls.
    // The object itself is released while the application object still
    // exists, because the audio backend must not be torn down after it.
    static NotifySound *const sound = [] {
        auto *created = new NotifySound;
        s_sound = created;
        qAddPostRoutine([] {
            delete s_sound;
            s_sound = nullptr;
        });
        return created;
    }();
    return sound;
}

NotifySound::NotifySound()
{
    // In the user's private folder: a shared temporary folder would let
    // another user plant a link there or keep the chime from being written.
    const QString runtime = UserFiles::runtimeDir();
    for (int i = 0; i < eventCount; ++i) {
        Sound &sound = m_sounds[i];
        const QString file = QLatin1Char('/') + soundName(Event(i)) + QStringLiteral(".wav");
        sound.player = createPlayer(playerModuleDirs(), this, [this] { onStatusChanged(); });
        const QString shipped
            = QCoreApplication::applicationDirPath() + QStringLiteral("/sounds") + file;
        if (prepareSoundFile(shipped, runtime.isEmpty() ? QString() : runtime + file,
                             synthesizeChimeWav(Event(i)), &sound.path)
            && sound.player)
            sound.player->setSource(sound.path);
    }
}

QString NotifySound::soundName(Event event)
{
    switch (event) {
    case Event::NewVisitor:
        return QStringLiteral("visitor");
    case Event::Transfer:
        return QStringLiteral("transfer");
    case Event::Message:
        break;
    }
    return QStringLiteral("notify");
}

// The players go before their effects, children of this object, do.
NotifySound::~NotifySound() = default;

QStringList NotifySound::playerModuleDirs()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    QStringList dirs {QDir::cleanPath(appDir + QStringLiteral("/" ORVANTIS_SOUND_MODULE_DIR))};
    const QString buildTree = QDir::cleanPath(appDir + QStringLiteral("/../lib/orvantis"));
    if (!dirs.contains(buildTree))
        dirs << buildTree;
    return dirs;
}

std::unique_ptr<SoundPlayer> NotifySound::createPlayer(const QStringList &moduleDirs,
                                                       QObject *owner,
                                                       std::function<void()> statusChanged)
{
    QStringList errors;
    for (const QString &dir : moduleDirs) {
        const QString path = dir + QStringLiteral("/" ORVANTIS_SOUND_MODULE);
        if (!QFile::exists(path))
            continue;
        // Never unloaded: the effect and its connection run code of the module.
        QLibrary module(path);
        const auto create
            = reinterpret_cast<CreateSoundPlayerFunction>(module.resolve(createSoundPlayerSymbol));
        if (create)
            return std::unique_ptr<SoundPlayer>(create(owner, std::move(statusChanged)));
        errors << module.errorString();
    }
    qDebug() << "[UI] 提示音模块无法加载，提示音关闭:"
             << (errors.isEmpty() ? moduleDirs.join(QStringLiteral(", "))
                                  : errors.join(QStringLiteral("; ")));
    return nullptr;
}

bool NotifySound::prepareSoundFile(const QString &shippedPath, const QString &generatedPath,
                                   const QByteArray &wav, QString *chosenPath)
{
    if (QFile::exists(shippedPath)) {
        *chosenPath = shippedPath;
        return true;
    }
    // The path is remembered even when it cannot be written: nothing plays then.
    *chosenPath = generatedPath;
    return !generatedPath.isEmpty() && UserFiles::replaceFile(generatedPath, wav);
}

void NotifySound::play(Event event)
{
    if (!m_enabled)
        return;
    Sound &sound = m_sounds[int(event)];
    if (sound.player && sound.player->isReady())
        startPlayback(sound);
    else
        sound.pending = true;
}

void NotifySound::setEnabled(bool enabled)
{
    m_enabled = enabled;
    // A request made before switching off is no longer wanted.
    for (Sound &sound : m_sounds)
        sound.pending = sound.pending && enabled;
}

bool NotifySound::hasPendingPlay() const
{
    return std::any_of(std::begin(m_sounds), std::end(m_sounds),
                       [](const Sound &sound) { return sound.pending; });
}

int NotifySound::playCount() const
{
    int total = 0;
    for (const Sound &sound : m_sounds)
        total += sound.plays;
    return total;
}

void NotifySound::onStatusChanged()
{
    for (Sound &sound : m_sounds) {
        if (sound.pending && sound.player && sound.player->isReady()) {
            sound.pending = false;
            startPlayback(sound);
        }
    }
}

void NotifySound::startPlayback(Sound &sound)
{
    // Counted also without an output device, where the player stays quiet.
    ++sound.plays;
    sound.player->play();
}

QByteArray NotifySound::synthesizeChimeWav(Event event)
{
    std::vector<float> samples(kSampleCount, 0.0f);
    switch (event) {
    case Event::Message: // falling: a word from a visitor
        addTone(samples, kSampleRate, 880.0, 0.0, 0.12, 0.3);
        addTone(samples, kSampleRate, 660.0, 0.13, 0.18, 0.25);
        break;
    case Event::NewVisitor: // rising: somebody came in
        addTone(samples, kSampleRate, 523.25, 0.0, 0.1, 0.28);
        addTone(samples, kSampleRate, 659.25, 0.1, 0.1, 0.28);
        addTone(samples, kSampleRate, 783.99, 0.2, 0.14, 0.28);
        break;
    case Event::Transfer: // two even knocks: handed over
        addTone(samples, kSampleRate, 587.33, 0.0, 0.1, 0.3);
        addTone(samples, kSampleRate, 587.33, 0.16, 0.14, 0.3);
        break;
    }

    const quint32 dataSize = quint32(kSampleCount * 2);
    QByteArray wav;
    wav.reserve(int(44 + dataSize));
    wav.append("RIFF", 4);
    appendLe32(wav, dataSize + 36);
    wav.append("WAVEfmt ", 8);
    appendLe32(wav, 16); // format chunk size
    appendLe16(wav, 1); // PCM
    appendLe16(wav, 1); // mono
    appendLe32(wav, kSampleRate);
    appendLe32(wav, kSampleRate * 2); // bytes per second
    appendLe16(wav, 2); // block alignment
    appendLe16(wav, 16); // bits per sample
    wav.append("data", 4);
    appendLe32(wav, dataSize);
    for (float s : samples) {
        const float clamped = std::clamp(s, -1.0f, 1.0f);
        appendLe16(wav, quint16(qint16(clamped * 32767.0f)));
    }
    return wav;
}

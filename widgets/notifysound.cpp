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

NotifySound *s_instance = nullptr;

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
        s_instance = created;
        qAddPostRoutine([] {
            delete s_instance;
            s_instance = nullptr;
        });
        return created;
    }();
    return sound;
}

NotifySound::NotifySound()
{
    m_player = createPlayer(playerModuleDirs(), this, [this] { onStatusChanged(); });

    const QString shipped
        = QCoreApplication::applicationDirPath() + QStringLiteral("/sounds/notify.wav");
    // In the user's private folder: a shared temporary folder would let
    // another user plant a link there or keep the chime from being written.
    const QString runtime = UserFiles::runtimeDir();
    const QString generated
        = runtime.isEmpty() ? QString() : runtime + QStringLiteral("/notify.wav");
    if (prepareSoundFile(shipped, generated, &m_filePath) && m_player)
        m_player->setSource(m_filePath);
}

// The player goes before its effect, a child of this object, does.
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
                                   QString *chosenPath)
{
    if (QFile::exists(shippedPath)) {
        *chosenPath = shippedPath;
        return true;
    }
    // The path is remembered even when it cannot be written: nothing plays then.
    *chosenPath = generatedPath;
    return !generatedPath.isEmpty() && UserFiles::replaceFile(generatedPath, synthesizeChimeWav());
}

void NotifySound::play()
{
    if (!m_enabled)
        return;
    if (m_player && m_player->isReady())
        startPlayback();
    else
        m_pendingPlay = true;
}

void NotifySound::setEnabled(bool enabled)
{
    m_enabled = enabled;
    if (!enabled)
        m_pendingPlay = false; // a request made before switching off is no longer wanted
}

void NotifySound::onStatusChanged()
{
    if (m_pendingPlay && m_player && m_player->isReady()) {
        m_pendingPlay = false;
        startPlayback();
    }
}

void NotifySound::startPlayback()
{
    // Counted also without an output device, where the player stays quiet.
    ++m_playCount;
    m_player->play();
}

QByteArray NotifySound::synthesizeChimeWav()
{
    std::vector<float> samples(kSampleCount, 0.0f);
    addTone(samples, kSampleRate, 880.0, 0.0, 0.12, 0.3);
    addTone(samples, kSampleRate, 660.0, 0.13, 0.18, 0.25);

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

#include "notifysound.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QFile>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QStandardPaths>
#include <QUrl>
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

bool hasAudioOutput()
{
    return !QMediaDevices::defaultAudioOutput().isNull();
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
    m_effect = new QSoundEffect(this);

    const QString shipped
        = QCoreApplication::applicationDirPath() + QStringLiteral("/sounds/notify.wav");
    const QString generated = QStandardPaths::writableLocation(QStandardPaths::TempLocation)
        + QStringLiteral("/orvantis_notify.wav");
    if (prepareSoundFile(shipped, generated, &m_filePath))
        m_effect->setSource(QUrl::fromLocalFile(m_filePath));

    m_effect->setVolume(0.8f);
    m_effect->setLoopCount(1);
    connect(m_effect, &QSoundEffect::statusChanged, this, &NotifySound::onStatusChanged);
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
    QFile file(generatedPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray wav = synthesizeChimeWav();
    const bool written = file.write(wav) == wav.size();
    file.close();
    return written;
}

void NotifySound::play()
{
    if (!m_enabled)
        return;
    if (m_effect->status() == QSoundEffect::Ready)
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
    if (m_effect->status() == QSoundEffect::Ready && m_pendingPlay) {
        m_pendingPlay = false;
        startPlayback();
    }
}

void NotifySound::startPlayback()
{
    ++m_playCount;
    // Without an output device (headless machines, CI) the player would only
    // complain on every request; the request itself still counts as played.
    if (hasAudioOutput())
        m_effect->play();
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

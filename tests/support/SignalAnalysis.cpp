#include "SignalAnalysis.h"

#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <limits>

namespace SignalAnalysis {

std::vector<double> sine(double frequencyHz, double sampleRate, size_t count, double amplitude, double phase)
{
    std::vector<double> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = amplitude * std::sin(2.0 * M_PI * frequencyHz * double(i) / sampleRate + phase);
    return out;
}

std::vector<int16_t> toInt16(const std::vector<double>& samples)
{
    std::vector<int16_t> out(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        out[i] = int16_t(std::clamp(std::lround(samples[i]), -32768L, 32767L));
    return out;
}

std::vector<double> toDouble(const std::vector<int16_t>& samples)
{
    return std::vector<double>(samples.begin(), samples.end());
}

double rms(const std::vector<double>& samples, size_t begin, size_t end)
{
    end = std::min(end, samples.size());
    if (begin >= end)
        return 0.0;
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i)
        sum += samples[i] * samples[i];
    return std::sqrt(sum / double(end - begin));
}

double peak(const std::vector<double>& samples)
{
    double p = 0.0;
    for (double s : samples)
        p = std::max(p, std::fabs(s));
    return p;
}

double dbfs(double rmsValue)
{
    if (rmsValue <= 0.0)
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(rmsValue / 32768.0);
}

double toneAmplitude(const std::vector<double>& samples, double frequencyHz, double sampleRate)
{
    const size_t n = samples.size();
    if (n < 2)
        return 0.0;
    const double w = 2.0 * M_PI * frequencyHz / sampleRate;
    double re = 0.0, im = 0.0, windowSum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n - 1));
        re += samples[i] * hann * std::cos(w * double(i));
        im -= samples[i] * hann * std::sin(w * double(i));
        windowSum += hann;
    }
    return 2.0 * std::sqrt(re * re + im * im) / windowSum;
}

std::vector<double> slice(const std::vector<double>& samples, size_t start, size_t length)
{
    start = std::min(start, samples.size());
    const size_t end = std::min(samples.size(), start + length);
    return std::vector<double>(samples.begin() + long(start), samples.begin() + long(end));
}

Window strongestWindow(const std::vector<double>& samples, double frequencyHz, double sampleRate, size_t length)
{
    Window best;
    const size_t step = std::max<size_t>(1, length / 4);
    for (size_t start = 0; start + length <= samples.size(); start += step) {
        const double a = toneAmplitude(slice(samples, start, length), frequencyHz, sampleRate);
        if (a > best.amplitude)
            best = {start, a};
    }
    return best;
}

double dominantFrequency(const std::vector<double>& samples, double sampleRate, double loHz, double hiHz)
{
    hiHz = std::min(hiHz, sampleRate / 2.0);
    double best = loHz, bestAmp = -1.0;
    for (double f = loHz; f <= hiHz; f += 10.0) {
        const double a = toneAmplitude(samples, f, sampleRate);
        if (a > bestAmp) {
            bestAmp = a;
            best = f;
        }
    }
    const double coarse = best;
    for (double f = coarse - 10.0; f <= coarse + 10.0; f += 0.5) {
        const double a = toneAmplitude(samples, f, sampleRate);
        if (a > bestAmp) {
            bestAmp = a;
            best = f;
        }
    }
    return best;
}

Alignment align(const std::vector<double>& a, const std::vector<double>& b, int maxLag)
{
    Alignment best;
    double bestMag = -1.0;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double sab = 0.0, saa = 0.0, sbb = 0.0;
        for (size_t i = 0; i < a.size(); ++i) {
            const long j = long(i) + lag;
            if (j < 0 || j >= long(b.size()))
                continue;
            sab += a[i] * b[size_t(j)];
            saa += a[i] * a[i];
            sbb += b[size_t(j)] * b[size_t(j)];
        }
        if (saa <= 0.0 || sbb <= 0.0)
            continue;
        const double c = sab / std::sqrt(saa * sbb);
        if (std::fabs(c) > bestMag) {
            bestMag = std::fabs(c);
            best.lag = lag;
            best.correlation = c;
        }
    }
    return best;
}

static quint32 le32(const char* p) { return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(p)); }
static quint16 le16(const char* p) { return qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(p)); }

WavData readWav(const QString& path)
{
    WavData out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QByteArray all = f.readAll();
    if (all.size() < 12 || !all.startsWith("RIFF") || all.mid(8, 4) != "WAVE")
        return out;
    int pos = 12;
    bool haveFormat = false;
    while (pos + 8 <= all.size()) {
        const QByteArray id = all.mid(pos, 4);
        const quint32 size = le32(all.constData() + pos + 4);
        const int body = pos + 8;
        if (id == "fmt " && size >= 16 && body + 16 <= all.size()) {
            out.channels = le16(all.constData() + body + 2);
            out.sampleRate = int(le32(all.constData() + body + 4));
            out.bitsPerSample = le16(all.constData() + body + 14);
            haveFormat = true;
        } else if (id == "data" && haveFormat && out.bitsPerSample == 16) {
            const qint64 avail = std::min<qint64>(size, all.size() - body);
            out.samples.resize(size_t(avail / 2));
            for (size_t i = 0; i < out.samples.size(); ++i)
                out.samples[i] = int16_t(le16(all.constData() + body + 2 * i));
            out.ok = true;
            return out;
        }
        pos = body + int(size) + int(size & 1);
    }
    return out;
}

bool writeWav(const QString& path, int sampleRate, int channels, const std::vector<int16_t>& interleaved)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const quint32 dataBytes = quint32(interleaved.size() * 2);
    QByteArray h(44, 0);
    auto put32 = [&](int at, quint32 v) { qToLittleEndian<quint32>(v, reinterpret_cast<uchar*>(h.data() + at)); };
    auto put16 = [&](int at, quint16 v) { qToLittleEndian<quint16>(v, reinterpret_cast<uchar*>(h.data() + at)); };
    memcpy(h.data(), "RIFF", 4);
    put32(4, 36 + dataBytes);
    memcpy(h.data() + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, quint16(channels));
    put32(24, quint32(sampleRate));
    put32(28, quint32(sampleRate * channels * 2));
    put16(32, quint16(channels * 2));
    put16(34, 16);
    memcpy(h.data() + 36, "data", 4);
    put32(40, dataBytes);
    f.write(h);
    QByteArray body(int(dataBytes), 0);
    for (size_t i = 0; i < interleaved.size(); ++i)
        qToLittleEndian<qint16>(interleaved[i], reinterpret_cast<uchar*>(body.data() + 2 * i));
    return f.write(body) == body.size();
}

std::vector<double> channel(const std::vector<int16_t>& interleaved, int channels, int index)
{
    std::vector<double> out;
    if (channels <= 0)
        return out;
    out.reserve(interleaved.size() / size_t(channels));
    for (size_t i = size_t(index); i < interleaved.size(); i += size_t(channels))
        out.push_back(interleaved[i]);
    return out;
}

}  // namespace SignalAnalysis

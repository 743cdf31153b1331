#include "SignalAnalysis.h"

#include <QDataStream>
#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

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

double rms(const std::vector<double>& samples)
{
    const double sum = std::inner_product(samples.begin(), samples.end(), samples.begin(), 0.0);
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}

double peak(const std::vector<double>& samples)
{
    const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
    return samples.empty() ? 0.0 : std::max(-*lo, *hi);
}

double dbfs(double rmsValue)
{
    return rmsValue > 0.0 ? 20.0 * std::log10(rmsValue / 32768.0) : -INFINITY;
}

double toneAmplitude(const std::vector<double>& samples, double frequencyHz, double sampleRate)
{
    const size_t n = samples.size();
    const double w = 2.0 * M_PI * frequencyHz / sampleRate;
    double re = 0.0, im = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n - 1));
        re += samples[i] * hann * std::cos(w * double(i));
        im -= samples[i] * hann * std::sin(w * double(i));
    }
    return n < 2 ? 0.0 : 4.0 * std::sqrt(re * re + im * im) / double(n - 1);  // the window sums to (n - 1) / 2
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
    for (size_t start = 0; start + length <= samples.size(); start += std::max<size_t>(1, length / 4)) {
        const double a = toneAmplitude(slice(samples, start, length), frequencyHz, sampleRate);
        if (a > best.amplitude)
            best = {start, a};
    }
    return best;
}

double dominantFrequency(const std::vector<double>& samples, double sampleRate, double loHz, double hiHz)
{
    // 10 Hz steps over the range, then half-hertz steps around the best of them.
    double best = loHz, bestAmp = -1.0, from = loHz, to = std::min(hiHz, sampleRate / 2.0);
    for (double step : {10.0, 0.5}) {
        for (double f = from; f <= to; f += step) {
            const double a = toneAmplitude(samples, f, sampleRate);
            if (a > bestAmp)
                bestAmp = a, best = f;
        }
        std::tie(from, to) = std::pair(best - 10.0, best + 10.0);
    }
    return best;
}

Alignment align(const std::vector<double>& a, const std::vector<double>& b, int maxLag)
{
    Alignment best;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double sab = 0.0, saa = 0.0, sbb = 0.0;
        for (long i = std::max(0, -lag); i < long(a.size()) && i + lag < long(b.size()); ++i) {
            sab += a[size_t(i)] * b[size_t(i + lag)];
            saa += a[size_t(i)] * a[size_t(i)];
            sbb += b[size_t(i + lag)] * b[size_t(i + lag)];
        }
        const double c = saa > 0.0 && sbb > 0.0 ? sab / std::sqrt(saa * sbb) : 0.0;
        best = std::fabs(c) > std::fabs(best.correlation) ? Alignment{lag, c} : best;
    }
    return best;
}

WavData readWav(const QString& path)
{
    WavData out;
    QFile f(path);
    const QByteArray b = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const auto u16 = [&](qint64 at) { return int(qFromLittleEndian<quint16>(b.constData() + at)); };
    const auto u32 = [&](qint64 at) { return qFromLittleEndian<quint32>(b.constData() + at); };
    // Walks the chunks after "RIFF", size, "WAVE": "fmt " gives the format, "data" the 16-bit samples.
    for (qint64 at = 12; !out.ok && b.startsWith("RIFF") && b.mid(8, 4) == "WAVE" && at + 8 <= b.size();
         at += 8 + qint64(u32(at + 4)) + (u32(at + 4) & 1)) {
        if (b.mid(int(at), 4) == "fmt " && u32(at + 4) >= 16 && at + 24 <= b.size()) {
            std::tie(out.channels, out.sampleRate, out.bitsPerSample) =
                std::tuple(u16(at + 10), int(u32(at + 12)), u16(at + 22));
        } else if (b.mid(int(at), 4) == "data" && out.bitsPerSample == 16) {
            const QByteArray data = b.mid(int(at + 8), int(std::min<quint32>(u32(at + 4), INT32_MAX)));
            out.samples.resize(size_t(data.size() / 2));
            qFromLittleEndian<qint16>(data.constData(), qsizetype(out.samples.size()), out.samples.data());
            out.ok = true;
        }
    }
    return out;
}

bool writeWav(const QString& path, int sampleRate, int channels, const std::vector<int16_t>& interleaved)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QDataStream out(&f);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + interleaved.size() * 2);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(channels) << quint32(sampleRate) << quint32(sampleRate * channels * 2)
        << quint16(channels * 2) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(interleaved.size() * 2);
    for (int16_t v : interleaved)
        out << qint16(v);
    return out.status() == QDataStream::Ok && f.flush();
}

std::vector<double> channel(const std::vector<int16_t>& interleaved, int channels, int index)
{
    std::vector<double> out;
    for (size_t i = size_t(index); channels > 0 && i < interleaved.size(); i += size_t(channels))
        out.push_back(interleaved[i]);
    return out;
}

}  // namespace SignalAnalysis

#include "SignalAnalysis.h"

#include <QFile>
#include <QDataStream>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

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
    const auto first = samples.begin() + long(begin), last = samples.begin() + long(end);
    return std::sqrt(std::inner_product(first, last, first, 0.0) / double(end - begin));
}

double peak(const std::vector<double>& samples)
{
    const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
    return samples.empty() ? 0.0 : std::max(-*lo, *hi);
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
    double best = loHz, bestAmp = -1.0;
    const auto search = [&](double from, double to, double step) {
        for (double f = from; f <= to; f += step) {
            const double a = toneAmplitude(samples, f, sampleRate);
            if (a > bestAmp)
                bestAmp = a, best = f;
        }
    };
    search(loHz, std::min(hiHz, sampleRate / 2.0), 10.0);
    search(best - 10.0, best + 10.0, 0.5);
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

WavData readWav(const QString& path)
{
    WavData out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QDataStream in(&f);
    in.setByteOrder(QDataStream::LittleEndian);
    char id[4];
    quint32 size;
    in.readRawData(id, 4);
    in >> size;
    if (memcmp(id, "RIFF", 4) != 0 || in.readRawData(id, 4) != 4 || memcmp(id, "WAVE", 4) != 0)
        return out;
    // Walks the chunks: "fmt " gives the format, "data" the 16-bit samples.
    while (in.readRawData(id, 4) == 4) {
        in >> size;
        if (memcmp(id, "fmt ", 4) == 0 && size >= 16) {
            quint16 format, channels, blockAlign, bits;
            quint32 rate, byteRate;
            in >> format >> channels >> rate >> byteRate >> blockAlign >> bits;
            out.channels = channels, out.sampleRate = int(rate), out.bitsPerSample = bits;
            in.skipRawData(int(size - 16 + (size & 1)));
        } else if (memcmp(id, "data", 4) == 0 && out.bitsPerSample == 16) {
            out.samples.resize(size / 2);
            const int got = in.readRawData(reinterpret_cast<char*>(out.samples.data()), int(size / 2 * 2));
            out.samples.resize(size_t(std::max(got, 0)) / 2);
            qFromLittleEndian<qint16>(out.samples.data(), qsizetype(out.samples.size()), out.samples.data());
            out.ok = true;
            return out;
        } else if (in.skipRawData(int(size + (size & 1))) < 0) {
            return out;
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
    const quint32 dataBytes = quint32(interleaved.size() * 2);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(channels) << quint32(sampleRate) << quint32(sampleRate * channels * 2)
        << quint16(channels * 2) << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
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

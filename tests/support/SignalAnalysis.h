#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// Measurements tests make on audio: level, frequency content, similarity.
namespace SignalAnalysis {

// A sine of the given frequency and peak amplitude (full scale = 32767).
std::vector<double> sine(double frequencyHz, double sampleRate, size_t count, double amplitude,
                         double phase = 0.0);
std::vector<int16_t> toInt16(const std::vector<double>& samples);
std::vector<double> toDouble(const std::vector<int16_t>& samples);

double rms(const std::vector<double>& samples, size_t begin = 0, size_t end = SIZE_MAX);
double peak(const std::vector<double>& samples);
// Level relative to full scale (32768) in dB; -inf for silence.
double dbfs(double rmsValue);

// Amplitude of the component at frequencyHz (Goertzel over the samples, Hann window):
// a pure sine of peak A measures about A.
double toneAmplitude(const std::vector<double>& samples, double frequencyHz, double sampleRate);
// The window (of `length` samples, stepped by a quarter of it) in which the
// component at frequencyHz is strongest: its first sample and the amplitude
// there. Finds a tone wherever it plays in a recording whose timing varies.
struct Window {
    size_t start = 0;
    double amplitude = 0.0;
};
Window strongestWindow(const std::vector<double>& samples, double frequencyHz, double sampleRate, size_t length);
std::vector<double> slice(const std::vector<double>& samples, size_t start, size_t length);

// Frequency of the strongest component between loHz and hiHz, searched in 1 Hz steps
// around a coarse maximum.
double dominantFrequency(const std::vector<double>& samples, double sampleRate, double loHz = 20,
                         double hiHz = 20000);

struct Alignment {
    int lag = 0;               // b[i + lag] matches a[i]
    double correlation = 0.0;  // normalised, -1 .. 1
};
// Best normalised cross-correlation of b against a for lags in [-maxLag, maxLag],
// the largest magnitude wins (so an inverted copy is found with correlation near -1).
Alignment align(const std::vector<double>& a, const std::vector<double>& b, int maxLag);

struct WavData {
    int sampleRate = 0;
    int channels = 0;
    int bitsPerSample = 0;
    std::vector<int16_t> samples;  // interleaved
    bool ok = false;
};
WavData readWav(const QString& path);
bool writeWav(const QString& path, int sampleRate, int channels, const std::vector<int16_t>& interleaved);
// One channel out of interleaved samples.
std::vector<double> channel(const std::vector<int16_t>& interleaved, int channels, int index);

}  // namespace SignalAnalysis

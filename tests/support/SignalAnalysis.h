#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// Measurements tests make on audio: level, frequency content, similarity.
namespace SignalAnalysis {

// A sine of the given frequency and peak amplitude (full scale = 32767).
std::vector<double> sine(double frequencyHz, double sampleRate, size_t count, double amplitude, double phase = 0.0);
std::vector<int16_t> toInt16(const std::vector<double>& samples);
std::vector<double> toDouble(const std::vector<int16_t>& samples);

double rms(const std::vector<double>& samples);
double peak(const std::vector<double>& samples);
double dbfs(double rmsValue);  // level relative to full scale (32768) in dB; -inf for silence

// Amplitude of the component at frequencyHz (Goertzel, Hann window): a sine of peak A measures about A.
double toneAmplitude(const std::vector<double>& samples, double frequencyHz, double sampleRate);
// The window of `length` samples where the component at frequencyHz is strongest: a tone's place in a recording.
struct Window {
    size_t start = 0;
    double amplitude = 0.0;
};
Window strongestWindow(const std::vector<double>& samples, double frequencyHz, double sampleRate, size_t length);
std::vector<double> slice(const std::vector<double>& samples, size_t start, size_t length);
// Frequency of the strongest component between loHz and hiHz (to half a hertz).
double dominantFrequency(const std::vector<double>& samples, double sampleRate, double loHz = 20, double hiHz = 20000);

struct Alignment {
    int lag = 0;               // b[i + lag] matches a[i]
    double correlation = 0.0;  // normalised, -1 .. 1
};
// The lag in [-maxLag, maxLag] of largest correlation magnitude: an inverted copy correlates near -1.
Alignment align(const std::vector<double>& a, const std::vector<double>& b, int maxLag);

struct WavData {
    int sampleRate = 0, channels = 0, bitsPerSample = 0;
    std::vector<int16_t> samples;  // interleaved
    bool ok = false;
};
WavData readWav(const QString& path);
bool writeWav(const QString& path, int sampleRate, int channels, const std::vector<int16_t>& interleaved);
// One channel out of interleaved samples.
std::vector<double> channel(const std::vector<int16_t>& interleaved, int channels, int index);

}  // namespace SignalAnalysis

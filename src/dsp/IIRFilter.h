#pragma once

#include "OstKavexMixerGlobal.h"

#include <memory>

// A cascade of identical biquad sections (Butterworth low-pass, Butterworth
// high-pass or notch) in transposed direct form II, with separate delay state
// for a left and a right channel.
class IIRFilter
{
public:
    enum Kind { KIND_LOWPASS = 0, KIND_HIGHPASS = 1, KIND_NOTCH = 2 };

    // `frequency` is normalised to the sample rate (Hz / rate), `gain` scales
    // b0 of the low- and high-pass, `q` shapes the notch only. Fewer than one
    // stage, or an unknown kind, gives a filter that passes samples unchanged.
    IIRFilter(int kind, int stages, double frequency, double gain, double q);
    virtual ~IIRFilter();

    IIRFilter(const IIRFilter&) = delete;
    IIRFilter& operator=(const IIRFilter&) = delete;

    void processLeft(double x, double* y) { *y = run(x, m_left1.get(), m_left2.get()); }
    void processRight(double x, double* y) { *y = run(x, m_right1.get(), m_right2.get()); }

    int stages() const { return m_stages; }

private:
    // The output chain runs the sections of all its filters frame by frame,
    // both channels at once.
    friend class Filter;

    double run(double x, double* s1, double* s2) const
    {
        for (int i = 0; i < m_stages; ++i) {
            const double y = s1[i] + m_b0 * x;
            s1[i] = m_b1 * x - m_a1 * y + s2[i];
            s2[i] = m_b2 * x - m_a2 * y;
            x = y;
        }
        return x;
    }

    int m_stages;
    double m_b0 = 1.0;
    double m_b1 = 0.0;
    double m_b2 = 0.0;
    double m_a1 = 0.0;
    double m_a2 = 0.0;
    std::unique_ptr<double[]> m_left1;
    std::unique_ptr<double[]> m_right1;
    std::unique_ptr<double[]> m_left2;
    std::unique_ptr<double[]> m_right2;
};

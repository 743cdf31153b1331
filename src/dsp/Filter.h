#pragma once

#include "OstKavexMixerGlobal.h"

#include <memory>
#include <vector>

class IIRFilter;

// The output stage of the mixer: optional low-pass, high-pass and notch
// filters, then master volume and balance as two channel gains, then rounding
// and clipping to 16 bits. It has no lock of its own; the owner serialises the
// setters and process().
class Filter
{
public:
    enum Index { INDEX_LOWPASS = 0, INDEX_HIGHPASS = 1, INDEX_NOTCH = 2 };

    Filter();
    ~Filter();
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    // Switches a filter on or off (0 low-pass, 1 high-pass, 2 notch; other
    // indexes are ignored). A filter is applied only once it has been set up.
    void enable(int index, bool on);
    bool isEnabled(int index) const;

    // Replace a filter by a new one with zero state; the switch is kept.
    void setLowpass(short frequency, short stages);
    void setHighpass(short frequency, short stages);
    // q = r - (r - 1) * depth / 100 with r = frequency / width.
    void setNotch(short frequency, short width, short depth);

    // Volume 0..255 (100 = unity), balance -100 (right silent) .. 100 (left silent).
    void setOutputVolume(unsigned char volume);
    void setBalance(int balance);
    int volume() const { return m_volume; }
    int balance() const { return m_balance; }
    double leftGain() const { return m_leftGain; }
    double rightGain() const { return m_rightGain; }

    // Filters `frames` interleaved stereo frames of 32-bit sums in place
    // (the stored values are rounded and clipped) and writes them as 16-bit
    // samples to `out`.
    void process(int* samples, unsigned short* out, int frames);

private:
    struct Section;
    void collectSections();

    bool m_enabled[3] = {false, false, false};
    std::unique_ptr<IIRFilter> m_lowpass;
    std::unique_ptr<IIRFilter> m_highpass;
    std::unique_ptr<IIRFilter> m_notch;
    int m_balance = 0;
    double m_leftGain = 1.0;
    double m_rightGain = 1.0;
    int m_volume = 100;
    std::vector<Section> m_sections;  // scratch of process(), kept to avoid allocating per block
};

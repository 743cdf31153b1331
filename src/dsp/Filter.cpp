#include "Filter.h"
#include "IIRFilter.h"
#include "LogCategories.h"

#include <QDebug>
#include <cmath>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KAVEX_FILTER_SSE2 1
#include <emmintrin.h>
#else
#define KAVEX_FILTER_SSE2 0
#endif

static const double kSampleRate = 48000.0;
// The other kinds ignore q; the value is the one the chain always used.
static const double kUnusedQ = 10.0;

Filter::Filter() = default;
Filter::~Filter() = default;

void Filter::enable(int index, bool on)
{
    if (index >= INDEX_LOWPASS && index <= INDEX_NOTCH)
        m_enabled[index] = on;
}

bool Filter::isEnabled(int index) const
{
    return index >= INDEX_LOWPASS && index <= INDEX_NOTCH && m_enabled[index];
}

void Filter::setLowpass(short frequency, short stages)
{
    m_lowpass.reset(new IIRFilter(IIRFilter::KIND_LOWPASS, stages, frequency / kSampleRate, 1.0, kUnusedQ));
}

void Filter::setHighpass(short frequency, short stages)
{
    m_highpass.reset(new IIRFilter(IIRFilter::KIND_HIGHPASS, stages, frequency / kSampleRate, 1.0, kUnusedQ));
}

void Filter::setNotch(short frequency, short width, short depth)
{
    const double r = double(frequency) / double(width);
    const double q = r - (r - 1.0) * double(depth) / 100.0;
    m_notch.reset(new IIRFilter(IIRFilter::KIND_NOTCH, 1, frequency / kSampleRate, 1.0, q));
}

void Filter::setOutputVolume(unsigned char volume)
{
    m_volume = volume;
    double vl = volume;
    double vr = volume;
    qCDebug(lcKavexDsp) << "Filter::setOutputVolume:" << vl << vr;
    if (m_balance > 0)
        vl = (100 - m_balance) * vl / 100;
    else
        vr = (m_balance + 100) * vr / 100;
    // Logarithmic taper: volume 100 is unity, 0 silence, 255 about 1.83.
    m_leftGain = std::log(vl / 100 + 1) / std::log(2.0);
    m_rightGain = std::log(vr / 100 + 1) / std::log(2.0);
    qCDebug(lcKavexDsp) << "Filter::setOutputVolume: setOutputVolume(): vl" << m_leftGain << "vr" << m_rightGain;
}

void Filter::setBalance(int balance)
{
    if (balance < -100 || balance > 100) {
        qCWarning(lcKavexDsp) << "Filter::setBalance: Balance out of range -100..100, ignored:" << balance;
        return;
    }
    m_balance = balance;
    setOutputVolume(quint8(m_volume));
}

// Left and right travel together through the chain. With SSE2 both lanes do
// the same IEEE double operations as the scalar code, so the results are the
// same bit for bit; the scalar form serves other targets.
#if KAVEX_FILTER_SSE2
namespace {

struct Pair {
    __m128d v;
};
inline Pair pair(double left, double right)
{
    return {_mm_set_pd(right, left)};
}
inline Pair operator+(Pair a, Pair b)
{
    return {_mm_add_pd(a.v, b.v)};
}
inline Pair operator-(Pair a, Pair b)
{
    return {_mm_sub_pd(a.v, b.v)};
}
inline Pair operator*(Pair a, Pair b)
{
    return {_mm_mul_pd(a.v, b.v)};
}
inline double left(Pair p)
{
    return _mm_cvtsd_f64(p.v);
}
inline double right(Pair p)
{
    return _mm_cvtsd_f64(_mm_unpackhi_pd(p.v, p.v));
}

inline Pair loadFrame(const int* samples)
{
    return {_mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples)))};
}

// Rounds to the nearest integer (ties to even, the default rounding mode) and
// clips to 16 bits; stores the pair back as 32-bit sums and as 16-bit samples.
inline void storeFrame(Pair p, int* samples, unsigned short* out)
{
    const __m128d clipped = _mm_max_pd(_mm_min_pd(p.v, _mm_set1_pd(32767.0)), _mm_set1_pd(-32768.0));
    const __m128i rounded = _mm_cvtpd_epi32(clipped);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(samples), rounded);
    const int packed = _mm_cvtsi128_si32(_mm_packs_epi32(rounded, rounded));
    std::memcpy(out, &packed, 4);
}

}  // namespace
#else
namespace {

struct Pair {
    double l, r;
};
inline Pair pair(double left, double right)
{
    return {left, right};
}
inline Pair operator+(Pair a, Pair b)
{
    return {a.l + b.l, a.r + b.r};
}
inline Pair operator-(Pair a, Pair b)
{
    return {a.l - b.l, a.r - b.r};
}
inline Pair operator*(Pair a, Pair b)
{
    return {a.l * b.l, a.r * b.r};
}
inline double left(Pair p)
{
    return p.l;
}
inline double right(Pair p)
{
    return p.r;
}

inline Pair loadFrame(const int* samples)
{
    return {double(samples[0]), double(samples[1])};
}

inline int roundClip16(double v)
{
    v = v < 32767.0 ? v : 32767.0;  // a value that is not a number ends up at the top
    v = v > -32768.0 ? v : -32768.0;
    return int(std::lrint(v));
}

inline void storeFrame(Pair p, int* samples, unsigned short* out)
{
    samples[0] = roundClip16(p.l);
    samples[1] = roundClip16(p.r);
    out[0] = static_cast<unsigned short>(samples[0]);
    out[1] = static_cast<unsigned short>(samples[1]);
}

}  // namespace
#endif

// One biquad of an enabled filter with its coefficients for both lanes and
// its left and right delay elements for the duration of a block.
struct Filter::Section {
    Pair b0, b1, b2, a1, a2;
    Pair s1, s2;
    IIRFilter* filter;
    int stage;
};

void Filter::collectSections()
{
    m_sections.clear();
    IIRFilter* const chain[3] = {m_enabled[INDEX_LOWPASS] ? m_lowpass.get() : nullptr,
                                 m_enabled[INDEX_HIGHPASS] ? m_highpass.get() : nullptr,
                                 m_enabled[INDEX_NOTCH] ? m_notch.get() : nullptr};
    for (IIRFilter* f : chain) {
        if (!f)
            continue;
        for (int i = 0; i < f->m_stages; ++i) {
            m_sections.push_back({pair(f->m_b0, f->m_b0), pair(f->m_b1, f->m_b1), pair(f->m_b2, f->m_b2),
                                  pair(f->m_a1, f->m_a1), pair(f->m_a2, f->m_a2), pair(f->m_left1[i], f->m_right1[i]),
                                  pair(f->m_left2[i], f->m_right2[i]), f, i});
        }
    }
}

void Filter::process(int* samples, unsigned short* out, int frames)
{
    if (frames <= 0)
        return;
    if (!samples || !out) {
        qCWarning(lcKavexDsp) << "Filter::process: Null buffer for" << frames << "frames, nothing processed";
        return;
    }
    collectSections();
    Section* const sections = m_sections.data();
    const size_t count = m_sections.size();
    // A gain of exactly 1.0 leaves a sample unchanged, so both sides are always multiplied.
    const Pair gain = pair(m_leftGain, m_rightGain);
    for (int f = 0; f < frames; ++f) {
        Pair x = loadFrame(samples + 2 * f);
        // Transposed direct form II, the sections in chain order.
        for (size_t i = 0; i < count; ++i) {
            Section& s = sections[i];
            const Pair y = s.s1 + s.b0 * x;
            s.s1 = s.b1 * x - s.a1 * y + s.s2;
            s.s2 = s.b2 * x - s.a2 * y;
            x = y;
        }
        storeFrame(x * gain, samples + 2 * f, out + 2 * f);
    }
    for (size_t i = 0; i < count; ++i) {
        const Section& s = sections[i];
        s.filter->m_left1[s.stage] = left(s.s1);
        s.filter->m_right1[s.stage] = right(s.s1);
        s.filter->m_left2[s.stage] = left(s.s2);
        s.filter->m_right2[s.stage] = right(s.s2);
    }
}

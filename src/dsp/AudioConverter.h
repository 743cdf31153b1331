#pragma once

#include "ConvertAudio.h"
#include "OstKavexMixerGlobal.h"

#include <QtGlobal>
#include <memory>

// Converts the blocks of one continuous stream between two sample rates and
// between 16-bit linear PCM and G.711 A-law, with a gain. The resampler keeps
// its history and fractional position from block to block. Buffers are
// allocated once at construction: one call carries at most 2 * maxSamples
// samples (all channels together); longer input is converted in pieces. An
// object is used by one thread at a time; it has no lock.
class OSTKAVEXMIXER_EXPORT AudioConverter
{
public:
    static constexpr unsigned int kDefaultMaxSamples = 2048;

    // quality: the converter type of ResampleSetConverter (0 best sinc .. 4 zero-order hold).
    // maxSamples 0 sizes the buffers for kDefaultMaxSamples.
    AudioConverter(unsigned int srcRate, unsigned int dstRate, bool stereo, bool srcALaw, bool dstALaw, double gain,
                   unsigned int maxSamples, int quality);
    AudioConverter(const AudioConverter& other);
    AudioConverter& operator=(const AudioConverter& other);
    ~AudioConverter();

    // Converts srcLength bytes into dst and stores the bytes written in
    // *dstLength; see estimateDestinationSize for the room dst needs.
    bool convert(unsigned char* src, unsigned int srcLength, unsigned char* dst, unsigned int* dstLength);
    // Changes the destination rate; the next block glides from the old ratio to the new one.
    void adjustRate(unsigned int dstRate);
    void setGain(double gain);
    // Replaces the converter state by one of the given type (fresh history).
    void setQuality(int quality);
    unsigned int srcRate() const { return m_srcRate; }
    unsigned int dstRate() const { return m_dstRate; }
    double gain() const { return m_gain; }
    const RESAMPLE_CONTEXT& context() const { return *m_context; }

    // floor(srcBytes * ratio + 0.5), rounded up to a multiple of alignment (0 counts as 1).
    quint64 estimateDestinationSize(quint64 srcBytes, quint8 alignment) const;

private:
    // Releases the converter state the context holds, then the context.
    struct ContextFree {
        void operator()(RESAMPLE_CONTEXT* context) const;
    };

    // Sizes and zeroes the sample buffers for m_maxSamples and points the
    // context at them.
    void allocate();

    quint32 m_srcRate;
    quint32 m_dstRate;
    bool m_stereo;
    bool m_srcALaw;
    bool m_dstALaw;
    double m_gain;
    unsigned int m_maxSamples;          // never 0; data_in holds 2 * m_maxSamples floats
    std::unique_ptr<float[]> m_input;   // the context's data_in
    std::unique_ptr<float[]> m_output;  // the context's data_out
    std::unique_ptr<RESAMPLE_CONTEXT, ContextFree> m_context;
};

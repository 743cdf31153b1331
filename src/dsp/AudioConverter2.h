#pragma once

#include "OstKavexMixerGlobal.h"
#include "VariableBuffer.h"

#include <memory>

struct SwrContext;

// Changes codec (G.711 A-law, mu-law, 16-bit linear), channel layout and
// sample rate of audio blocks in one call. Codec changes at equal rate and
// layout without gain use the G.711 tables directly; everything else is
// resampled on 16-bit linear samples. The resampler keeps its history between
// calls, so consecutive calls must carry one continuous stream. An object is
// used by one thread at a time; it has no lock.
class OSTKAVEXMIXER_EXPORT AudioConverter2
{
public:
    // Callers pass plain numbers; the fixed underlying type keeps values
    // outside the list well-defined, so they can be detected.
    enum CODEC : int { CODEC_ALAW = 0, CODEC_ULAW = 1, CODEC_PCM_S16 = 2 };
    // Any other value counts as mono.
    enum CHANNEL_LAYOUT : int { CHANNEL_LAYOUT_MONO = 0, CHANNEL_LAYOUT_STEREO = 1 };

    AudioConverter2(unsigned int srcRate, unsigned int dstRate, CHANNEL_LAYOUT srcLayout, CHANNEL_LAYOUT dstLayout,
                    CODEC srcCodec, CODEC dstCodec, double gain);
    AudioConverter2(const AudioConverter2& other);
    AudioConverter2& operator=(const AudioConverter2& other);
    ~AudioConverter2();

    // Converts srcLength bytes into dst (room for dstSize bytes) and stores the
    // bytes written in *dstLength when the pointer is not null. False when the
    // resampling step fails or is impossible (equal rates and layouts with a gain).
    bool convert(const unsigned char* src, int srcLength, unsigned char* dst, int dstSize, int* dstLength);

    static int getBytesPerSample(CODEC codec);
    static int getNumOfChannels(CHANNEL_LAYOUT layout);

private:
    struct ResamplerFree {
        void operator()(SwrContext* resampler) const;
    };

    void createResampler();
    bool convertGeneral(const unsigned char* src, int srcLength, unsigned char* dst, int dstSize, int* dstLength);
    bool resamplePcmS16(const unsigned char* in, int inLength, unsigned char* out, int outSize, int* outLength);

    // Null when the rates and layouts match, or when it could not be made.
    std::unique_ptr<SwrContext, ResamplerFree> m_resampler;
    quint32 m_srcRate;
    quint32 m_dstRate;
    CHANNEL_LAYOUT m_srcLayout;
    CHANNEL_LAYOUT m_dstLayout;
    CODEC m_srcCodec;
    CODEC m_dstCodec;
    VariableBuffer m_decodeBuffer;
    VariableBuffer m_encodeBuffer;
    double m_gain;
};

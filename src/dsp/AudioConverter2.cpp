#include "AudioConverter2.h"
#include "G711.h"
#include "KavexAssert.h"
#include "LogCategories.h"

#include <QDebug>
#include <algorithm>
#include <climits>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {

AudioConverter2::CHANNEL_LAYOUT knownLayout(AudioConverter2::CHANNEL_LAYOUT layout)
{
    return layout == AudioConverter2::CHANNEL_LAYOUT_STEREO ? layout : AudioConverter2::CHANNEL_LAYOUT_MONO;
}

bool isG711(AudioConverter2::CODEC codec)
{
    return codec == AudioConverter2::CODEC_ALAW || codec == AudioConverter2::CODEC_ULAW;
}

// A gain within rounding noise of one leaves the samples alone.
bool gainIsOne(double gain)
{
    return std::fabs(gain - 1.0) <= 1e-8 * std::max(1.0, std::fabs(gain));
}

void decodeG711(AudioConverter2::CODEC codec, const unsigned char* in, unsigned char* out, unsigned int codes)
{
    if (codec == AudioConverter2::CODEC_ALAW)
        _G711_ConvertALaw2Linear(in, out, codes, 1.0);
    else
        _G711_ConvertULaw2Linear(in, out, codes, 1.0);
}

void encodeG711(AudioConverter2::CODEC codec, const unsigned char* in, unsigned char* out, unsigned int bytes)
{
    if (codec == AudioConverter2::CODEC_ALAW)
        _G711_ConvertLinear2ALaw(in, out, bytes, 1.0);
    else
        _G711_ConvertLinear2ULaw(in, out, bytes, 1.0);
}

// Scales 16-bit samples in place, limited to the 16-bit range and rounded half up.
void applyGain(unsigned char* samples, int bytes, double gain)
{
    qint16* s = reinterpret_cast<qint16*>(samples);
    const int count = bytes / 2;
    for (int i = 0; i < count; ++i) {
        double v = s[i] * gain;
        v = v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v);
        s[i] = v == v ? qint16(std::floor(v + 0.5)) : qint16(0);
    }
}

}  // namespace

void AudioConverter2::ResamplerFree::operator()(SwrContext* resampler) const
{
    swr_free(&resampler);
}

AudioConverter2::AudioConverter2(unsigned int srcRate, unsigned int dstRate, CHANNEL_LAYOUT srcLayout,
                                 CHANNEL_LAYOUT dstLayout, CODEC srcCodec, CODEC dstCodec, double gain)
    : m_srcRate(srcRate)
    , m_dstRate(dstRate)
    , m_srcLayout(knownLayout(srcLayout))
    , m_dstLayout(knownLayout(dstLayout))
    , m_srcCodec(srcCodec)
    , m_dstCodec(dstCodec)
    , m_decodeBuffer(16)
    , m_encodeBuffer(16)
    , m_gain(gain)
{
    createResampler();
}

AudioConverter2::AudioConverter2(const AudioConverter2& other)
    : m_srcRate(other.m_srcRate)
    , m_dstRate(other.m_dstRate)
    , m_srcLayout(other.m_srcLayout)
    , m_dstLayout(other.m_dstLayout)
    , m_srcCodec(other.m_srcCodec)
    , m_dstCodec(other.m_dstCodec)
    , m_decodeBuffer(other.m_decodeBuffer)
    , m_encodeBuffer(other.m_encodeBuffer)
    , m_gain(other.m_gain)
{
    createResampler();
}

AudioConverter2& AudioConverter2::operator=(const AudioConverter2& other)
{
    if (this == &other)
        return *this;
    m_resampler.reset();
    m_srcRate = other.m_srcRate;
    m_dstRate = other.m_dstRate;
    m_srcLayout = other.m_srcLayout;
    m_dstLayout = other.m_dstLayout;
    m_srcCodec = other.m_srcCodec;
    m_dstCodec = other.m_dstCodec;
    m_decodeBuffer = other.m_decodeBuffer;
    m_encodeBuffer = other.m_encodeBuffer;
    m_gain = other.m_gain;
    createResampler();
    return *this;
}

AudioConverter2::~AudioConverter2() = default;

int AudioConverter2::getBytesPerSample(CODEC codec)
{
    switch (codec) {
    case CODEC_ALAW:
    case CODEC_ULAW:
        return 1;
    case CODEC_PCM_S16:
        return 2;
    }
    return 0;
}

int AudioConverter2::getNumOfChannels(CHANNEL_LAYOUT layout)
{
    return layout == CHANNEL_LAYOUT_STEREO ? 2 : 1;
}

// Only a change of rate or layout needs the resampler.
void AudioConverter2::createResampler()
{
    if (m_srcRate == m_dstRate && m_srcLayout == m_dstLayout)
        return;
    AVChannelLayout inLayout = {};
    AVChannelLayout outLayout = {};
    av_channel_layout_default(&inLayout, getNumOfChannels(m_srcLayout));
    av_channel_layout_default(&outLayout, getNumOfChannels(m_dstLayout));
    SwrContext* resampler = nullptr;
    int error = swr_alloc_set_opts2(&resampler, &outLayout, AV_SAMPLE_FMT_S16, int(m_dstRate), &inLayout,
                                    AV_SAMPLE_FMT_S16, int(m_srcRate), 0, nullptr);
    std::unique_ptr<SwrContext, ResamplerFree> owned(resampler);
    if (error >= 0)
        error = av_opt_set_int(owned.get(), "filter_size", 256, 0);
    if (error >= 0)
        error = swr_init(owned.get());
    if (error < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(error, text, sizeof(text));
        qCWarning(lcKavexDsp) << "AudioConverter2::AudioConverter2: Cannot create resampler for" << m_srcRate << "->"
                              << m_dstRate << "Hz:" << text;
        return;
    }
    m_resampler = std::move(owned);
}

bool AudioConverter2::convert(const unsigned char* src, int srcLength, unsigned char* dst, int dstSize, int* dstLength)
{
    srcLength = std::max(srcLength, 0);
    dstSize = std::max(dstSize, 0);
    if ((srcLength > 0 && !src) || (dstSize > 0 && !dst)) {
        qCWarning(lcKavexDsp) << "AudioConverter2::convert: Null buffer, nothing converted";
        return false;
    }
    int length = 0;
    const bool direct = m_srcLayout == m_dstLayout && m_srcRate == m_dstRate && gainIsOne(m_gain);
    if (direct && m_srcCodec == m_dstCodec) {
        length = std::min(srcLength, dstSize);
        std::copy(src, src + length, dst);
        if (dstLength)
            *dstLength = length;
        return true;
    }
    if (direct) {
        if (m_srcCodec == CODEC_ALAW && m_dstCodec == CODEC_ULAW) {
            length = std::min(srcLength, dstSize);
            _G711_ConvertALaw2ULaw(src, dst, unsigned(length));
        } else if (m_srcCodec == CODEC_ULAW && m_dstCodec == CODEC_ALAW) {
            length = std::min(srcLength, dstSize);
            _G711_ConvertULaw2ALaw(src, dst, unsigned(length));
        } else if (isG711(m_srcCodec) && m_dstCodec == CODEC_PCM_S16) {
            const int codes = std::min(srcLength, dstSize / 2);
            decodeG711(m_srcCodec, src, dst, unsigned(codes));
            length = 2 * codes;
        } else if (m_srcCodec == CODEC_PCM_S16 && isG711(m_dstCodec)) {
            const int bytes = int(std::min<qint64>(srcLength, 2 * qint64(dstSize)));
            encodeG711(m_dstCodec, src, dst, unsigned(bytes));
            length = bytes / 2;
        } else {
            kavexAssertPrint("false", __FILE__, __LINE__);
            return convertGeneral(src, srcLength, dst, dstSize, dstLength);
        }
        if (dstLength)
            *dstLength = length;
        return true;
    }
    return convertGeneral(src, srcLength, dst, dstSize, dstLength);
}

// Decode (G.711 source), resample, gain, encode (G.711 destination).
bool AudioConverter2::convertGeneral(const unsigned char* src, int srcLength, unsigned char* dst, int dstSize,
                                     int* dstLength)
{
    const unsigned char* linear = src;
    int linearBytes = srcLength;
    if (isG711(m_srcCodec)) {
        linearBytes = 2 * srcLength;
        unsigned char* decoded = m_decodeBuffer.getBuffer(linearBytes);
        decodeG711(m_srcCodec, src, decoded, unsigned(srcLength));
        linear = decoded;
    }
    const bool encode = isG711(m_dstCodec);
    unsigned char* resampled = dst;
    int capacity = dstSize;
    if (encode) {
        capacity = int(std::min<qint64>(3 * qint64(linearBytes), INT_MAX));
        resampled = m_encodeBuffer.getBuffer(capacity);
    }
    int resampledBytes = 0;
    if (!resamplePcmS16(linear, linearBytes, resampled, capacity, &resampledBytes))
        return false;
    if (!gainIsOne(m_gain))
        applyGain(resampled, resampledBytes, m_gain);
    int length = resampledBytes;
    if (encode) {
        const int bytes = int(std::min<qint64>(resampledBytes, 2 * qint64(dstSize)));
        encodeG711(m_dstCodec, resampled, dst, unsigned(bytes));
        length = bytes / 2;
    }
    if (dstLength)
        *dstLength = length;
    return true;
}

bool AudioConverter2::resamplePcmS16(const unsigned char* in, int inLength, unsigned char* out, int outSize,
                                     int* outLength)
{
    if (!m_resampler)
        return false;
    // A null input would ask the resampler to flush its history; an empty block must not.
    static const unsigned char noInput[4] = {};
    unsigned char noOutput[4];
    const int inSamples = inLength / (2 * getNumOfChannels(m_srcLayout));
    const int dstChannels = getNumOfChannels(m_dstLayout);
    const int outCapacity = outSize / (2 * dstChannels);
    const uint8_t* inPlanes[1] = {in ? in : noInput};
    uint8_t* outPlanes[1] = {out ? out : noOutput};
    const int result = swr_convert(m_resampler.get(), outPlanes, outCapacity, inPlanes, inSamples);
    if (result < 0) {
        qCWarning(lcKavexDsp, "AudioConverter2::resamplePcmS16 failed error code = %d", result);
        return false;
    }
    *outLength = result * dstChannels * 2;
    return true;
}

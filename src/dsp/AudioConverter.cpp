#include "AudioConverter.h"

#include "LogCategories.h"

#include <QDebug>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <samplerate.h>

// dstRate / srcRate, or 1.0 (no rate conversion) for a pair of rates the
// resampler cannot handle, so that a bad rate never sizes the buffers.
static double ratioOf(unsigned int srcRate, unsigned int dstRate, const char* function)
{
    const double ratio = srcRate ? double(dstRate) / double(srcRate) : 0.0;
    if (src_is_valid_ratio(ratio))
        return ratio;
    qCWarning(lcKavexDsp, "%s: Unsupported rate conversion %u -> %u Hz, rates left unconverted", function, srcRate,
              dstRate);
    return 1.0;
}

void AudioConverter::ContextFree::operator()(RESAMPLE_CONTEXT* context) const
{
    ResampleShutdown(context);
    delete context;
}

AudioConverter::AudioConverter(unsigned int srcRate, unsigned int dstRate, bool stereo, bool srcALaw, bool dstALaw,
                               double gain, unsigned int maxSamples, int quality)
    : m_srcRate(srcRate)
    , m_dstRate(dstRate)
    , m_stereo(stereo)
    , m_srcALaw(srcALaw)
    , m_dstALaw(dstALaw)
    , m_gain(gain)
    , m_maxSamples(maxSamples ? maxSamples : kDefaultMaxSamples)
    , m_context(new RESAMPLE_CONTEXT())
{
    m_context->channels = stereo ? 2 : 1;
    m_context->src_ratio = m_context->last_ratio = ratioOf(srcRate, dstRate, "AudioConverter::AudioConverter");
    ResampleSetConverter(m_context.get(), quality);
    allocate();
}

AudioConverter::AudioConverter(const AudioConverter& other)
    : m_srcRate(0)
    , m_dstRate(0)
    , m_stereo(false)
    , m_srcALaw(false)
    , m_dstALaw(false)
    , m_gain(1.0)
    , m_maxSamples(0)
    , m_context(new RESAMPLE_CONTEXT())
{
    *this = other;
}

AudioConverter& AudioConverter::operator=(const AudioConverter& other)
{
    if (this == &other)
        return *this;
    m_srcRate = other.m_srcRate;
    m_dstRate = other.m_dstRate;
    m_stereo = other.m_stereo;
    m_srcALaw = other.m_srcALaw;
    m_dstALaw = other.m_dstALaw;
    m_gain = other.m_gain;
    m_maxSamples = other.m_maxSamples;
    std::unique_ptr<RESAMPLE_CONTEXT, ContextFree> context(new RESAMPLE_CONTEXT(*other.m_context));
    context->private_data = nullptr;
    // The copy has its own converter state and continues the stream where the
    // original stands.
    if (other.m_context->private_data) {
        int error = 0;
        context->private_data = src_clone(static_cast<SRC_STATE*>(other.m_context->private_data), &error);
        if (!context->private_data)
            qCWarning(lcKavexDsp) << "AudioConverter::operator=: Cannot copy converter state:" << src_strerror(error);
    }
    m_context = std::move(context);
    allocate();
    return *this;
}

AudioConverter::~AudioConverter() = default;

void AudioConverter::allocate()
{
    const size_t inputSamples = 2 * size_t(m_maxSamples);
    m_context->output_frames = long(std::floor((m_context->src_ratio + 0.5) * double(inputSamples)));
    // Room for output_frames frames of every channel, so that stereo output cannot overrun it.
    const size_t outputFloats = size_t(std::max(m_context->output_frames, 0L)) * size_t(m_context->channels);
    m_input.reset(new float[inputSamples]());
    m_output.reset(new float[outputFloats]());
    m_context->data_in = m_input.get();
    m_context->data_out = m_output.get();
}

bool AudioConverter::convert(unsigned char* src, unsigned int srcLength, unsigned char* dst, unsigned int* dstLength)
{
    // The input buffer takes 2 * maxSamples samples; longer input goes through
    // in pieces of whole frames, which the resampler joins seamlessly.
    const unsigned int bytesPerSample = m_srcALaw ? 1 : 2;
    const quint64 pieceBytes = quint64(m_maxSamples) * 2 * bytesPerSample;
    unsigned int total = 0;
    unsigned int done = 0;
    do {
        const unsigned int piece = unsigned(std::min<quint64>(srcLength - done, pieceBytes));
        unsigned int written = 0;
        if (!ConvertAudio(m_srcRate, m_stereo, m_srcALaw, src ? src + done : nullptr, piece, m_dstRate, m_stereo,
                          m_dstALaw, dst ? dst + total : nullptr, &written, m_gain, m_context.get())) {
            if (dstLength)
                *dstLength = total;
            return false;
        }
        done += piece;
        total += written;
    } while (done < srcLength);
    if (dstLength)
        *dstLength = total;
    return true;
}

void AudioConverter::adjustRate(unsigned int dstRate)
{
    m_dstRate = dstRate;
    m_context->src_ratio = ratioOf(m_srcRate, dstRate, "AudioConverter::adjustRate");
}

void AudioConverter::setGain(double gain)
{
    m_gain = gain;
}

void AudioConverter::setQuality(int quality)
{
    ResampleShutdown(m_context.get());
    ResampleSetConverter(m_context.get(), quality);
}

quint64 AudioConverter::estimateDestinationSize(quint64 srcBytes, quint8 alignment) const
{
    const quint64 align = std::max<quint64>(alignment, 1);
    const quint64 bytes = quint64(std::floor(double(srcBytes) * m_context->src_ratio + 0.5));
    return (bytes + align - 1) / align * align;
}

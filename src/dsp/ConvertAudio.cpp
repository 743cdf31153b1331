#include "ConvertAudio.h"

#include "G711.h"
#include "LogCategories.h"

#include <QDebug>
#include <QLoggingCategory>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <samplerate.h>

Q_LOGGING_CATEGORY(lcConvertAudio, "CAT_DYNOBJ_BSO_ENGINE")

namespace {

SRC_STATE* stateOf(const RESAMPLE_CONTEXT* context)
{
    return static_cast<SRC_STATE*>(context->private_data);
}

struct StateFree {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};

// Our type numbers list linear before zero-order hold; the library's the reverse.
bool libraryType(int converter, int* type)
{
    switch (converter) {
    case RESAMPLE_SINC_BEST_QUALITY:
        *type = SRC_SINC_BEST_QUALITY;
        return true;
    case RESAMPLE_SINC_MEDIUM_QUALITY:
        *type = SRC_SINC_MEDIUM_QUALITY;
        return true;
    case RESAMPLE_SINC_FASTEST:
        *type = SRC_SINC_FASTEST;
        return true;
    case RESAMPLE_LINEAR:
        *type = SRC_LINEAR;
        return true;
    case RESAMPLE_ZERO_ORDER_HOLD:
        *type = SRC_ZERO_ORDER_HOLD;
        return true;
    default:
        return false;
    }
}

void linearToFloat(const unsigned char* src, unsigned int samples, float* out)
{
    for (unsigned int i = 0; i < samples; ++i) {
        qint16 v;
        std::memcpy(&v, src + 2 * size_t(i), 2);
        out[i] = float(v) / 32767.0f;
    }
}

// Output frames of a block whose ratio glides linearly (per output frame) from
// `from` to `to`: the input count times the logarithmic mean of both ratios,
// with some room for the filter's rounding.
long glideFrames(long inputFrames, double from, double to)
{
    const double mean = (to - from) / std::log(to / from);
    const double frames = std::ceil(double(inputFrames) * mean);
    return long(frames + std::max(4.0, frames / 64.0));
}

// Runs the converter over input_frames frames of data_in; input that does not
// fit the output is dropped. After a ratio change the library ramps the ratio
// across as many output frames as it is given room for, so the room is cut to
// what this block yields: the glide then spans exactly the next block, and the
// ratio is set to its target at the end of it.
void resample(RESAMPLE_CONTEXT* context)
{
    context->input_frames_used = 0;
    context->output_frames_gen = 0;
    SRC_STATE* state = stateOf(context);
    if (!state)
        return;
    const double to = context->src_ratio;
    const double from = src_is_valid_ratio(context->last_ratio) ? context->last_ratio : to;
    const bool glide = from != to && src_is_valid_ratio(to);
    SRC_DATA data;
    data.data_in = context->data_in;
    data.data_out = context->data_out;
    data.input_frames = context->input_frames;
    data.output_frames = context->output_frames;
    data.input_frames_used = 0;
    data.output_frames_gen = 0;
    data.end_of_input = context->end_of_input;
    data.src_ratio = to;
    if (glide) {
        src_set_ratio(state, from);
        data.output_frames = std::min(data.output_frames, glideFrames(data.input_frames, from, to));
    }
    const int error = src_process(state, &data);
    if (error != 0) {
        qCWarning(lcKavexDsp) << "ConvertAudio: Resampling failed:" << src_strerror(error);
        return;
    }
    if (glide)
        src_set_ratio(state, to);
    context->input_frames_used = data.input_frames_used;
    context->output_frames_gen = data.output_frames_gen;
    context->last_ratio = to;
}

// Float to 16-bit linear; the floor is -32767 on this path.
void floatToLinear(const float* in, unsigned int samples, unsigned char* dst, double gain)
{
    if (gain == 1.0) {
        for (unsigned int i = 0; i < samples; ++i) {
            // Clipping in double before the cast to float gives the same value
            // as after it (the limits are exact floats) and keeps the cast in range.
            double v = double(in[i]) * 32767.0;
            v = v > 32767.0 ? 32767.0 : (v < -32767.0 ? -32767.0 : v);
            const qint16 s = v == v ? qint16(std::lrintf(float(v))) : qint16(0);
            std::memcpy(dst + 2 * size_t(i), &s, 2);
        }
        return;
    }
    for (unsigned int i = 0; i < samples; ++i) {
        double v = double(in[i]) * 32767.0 * gain;
        v = v > 32767.0 ? 32767.0 : (v < -32767.0 ? -32767.0 : v);
        const qint16 s = v == v ? qint16(v) : qint16(0);
        std::memcpy(dst + 2 * size_t(i), &s, 2);
    }
}

void copyWithGain(const unsigned char* src, unsigned int bytes, unsigned char* dst, double gain)
{
    if (gain == 1.0) {
        std::memmove(dst, src, bytes);
        return;
    }
    const unsigned int samples = bytes / 2;
    for (unsigned int i = 0; i < samples; ++i) {
        qint16 s;
        std::memcpy(&s, src + 2 * size_t(i), 2);
        double v = s * gain;
        v = v > 32767.0 ? 32767.0 : (v < -32767.0 ? -32767.0 : v);
        s = v == v ? qint16(v) : qint16(0);
        std::memcpy(dst + 2 * size_t(i), &s, 2);
    }
    // An odd trailing byte is not a sample; it is copied as it stands.
    if (bytes & 1u)
        dst[bytes - 1] = src[bytes - 1];
}

}  // namespace

bool ResampleSetConverter(RESAMPLE_CONTEXT* context, int converter)
{
    int type = 0;
    if (!context || !libraryType(converter, &type)) {
        qCWarning(lcKavexDsp) << "ResampleSetConverter: Unknown converter type" << converter;
        return false;
    }
    if (context->private_data) {
        qCWarning(lcKavexDsp) << "ResampleSetConverter: Context already holds a converter, release it first";
        return false;
    }
    context->converter = converter;
    int error = 0;
    std::unique_ptr<SRC_STATE, StateFree> state(src_new(type, context->channels, &error));
    if (!state) {
        qCWarning(lcKavexDsp) << "ResampleSetConverter: Cannot create converter:" << src_strerror(error);
        return false;
    }
    // From here on the context owns it, until ResampleShutdown.
    context->private_data = state.release();
    return true;
}

void ResampleShutdown(RESAMPLE_CONTEXT* context)
{
    if (!context || !context->private_data)
        return;
    src_delete(stateOf(context));
    context->private_data = nullptr;
}

bool ConvertAudio(unsigned int srcRate, bool srcStereo, bool srcALaw, unsigned char* src, unsigned int srcLength,
                  unsigned int dstRate, bool dstStereo, bool dstALaw, unsigned char* dst, unsigned int* dstLength,
                  double gain, RESAMPLE_CONTEXT* context)
{
    if (srcRate != dstRate && !context) {
        qCWarning(lcConvertAudio, "Kontext für SampleRate-Konvertierung nicht gegeben!");
        return false;
    }
    if (srcStereo != dstStereo) {
        qCDebug(lcConvertAudio, "Mono/Stereo-Konvertierung nicht implementiert");
        return false;
    }
    unsigned int length = 0;
    if (srcLength > 0 && (!src || !dst)) {
        qCWarning(lcKavexDsp) << "ConvertAudio: Null buffer for" << srcLength << "bytes, nothing converted";
        if (dstLength)
            *dstLength = 0;
        return false;
    }

    const unsigned int c = srcStereo ? 2 : 1;
    const bool resampling = context && context->src_ratio != 1.0;
    if (srcLength == 0) {
        // Nothing to convert; the resampler keeps what it holds for the next block.
    } else if (srcALaw && dstALaw) {
        std::memmove(dst, src, srcLength);
        length = srcLength;
    } else if (resampling && (!context->data_in || !context->data_out)) {
        qCWarning(lcKavexDsp) << "ConvertAudio: Resampling context without sample buffers, nothing converted";
    } else if (!resampling) {
        if (!srcALaw && dstALaw) {
            _G711_ConvertLinear2ALaw(src, dst, srcLength, gain);
            length = srcLength / 2;
        } else if (!srcALaw) {
            copyWithGain(src, srcLength, dst, gain);
            length = srcLength;
        } else {
            _G711_ConvertALaw2Linear(src, dst, srcLength, gain);
            length = 2 * srcLength;
        }
    } else {
        if (srcALaw) {
            _G711_ConvertALaw2Float(src, reinterpret_cast<unsigned char*>(context->data_in), srcLength);
            context->input_frames = long(srcLength / c);
        } else {
            linearToFloat(src, srcLength / 2, context->data_in);
            context->input_frames = long((srcLength / c) / 2);
        }
        resample(context);
        const unsigned int samples = static_cast<unsigned int>(context->output_frames_gen) * c;
        if (dstALaw) {
            _G711_ConvertFloat2ALaw(reinterpret_cast<const unsigned char*>(context->data_out), dst, samples * 4, gain);
            length = samples;
        } else {
            floatToLinear(context->data_out, samples, dst, gain);
            length = samples * 2;
        }
    }
    if (dstLength)
        *dstLength = length;
    return true;
}

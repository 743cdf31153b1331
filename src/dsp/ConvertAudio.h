#pragma once

#include "OstKavexMixerGlobal.h"

// Resampling state that ConvertAudio carries from block to block of one
// continuous stream. data_in .. src_ratio have the meaning of the sample-rate
// converter's request block; private_data holds the converter state created by
// ResampleSetConverter and released by ResampleShutdown. The converter keeps
// its ratio glide and fractional position internally: last_ratio mirrors the
// ratio in force at the end of the last block, last_position is not used.
struct OSTKAVEXMIXER_EXPORT RESAMPLE_CONTEXT {
    int converter;
    double last_ratio;
    double last_position;
    int channels;            // interleaved channels, 1 or 2
    float* data_in;          // input samples, interleaved
    float* data_out;         // output samples, interleaved
    long input_frames;       // frames available in data_in
    long output_frames;      // capacity of data_out in frames
    long input_frames_used;  // set by processing
    long output_frames_gen;  // set by processing
    int end_of_input;        // 0: streaming, the filter tail stays for the next block
    double src_ratio;        // output rate / input rate
    void* private_data;
};

// Converter types: 0 best, 1 medium and 2 fastest band-limited sinc,
// 3 linear interpolation, 4 zero-order hold.
enum {
    RESAMPLE_SINC_BEST_QUALITY = 0,
    RESAMPLE_SINC_MEDIUM_QUALITY = 1,
    RESAMPLE_SINC_FASTEST = 2,
    RESAMPLE_LINEAR = 3,
    RESAMPLE_ZERO_ORDER_HOLD = 4
};

// Stores the type and creates the converter state for context->channels
// channels. False for an unknown type, when the state cannot be created, or
// when the context already holds one (release it with ResampleShutdown first).
OSTKAVEXMIXER_EXPORT bool ResampleSetConverter(RESAMPLE_CONTEXT* context, int converter);
// Releases the converter state; private_data becomes null.
OSTKAVEXMIXER_EXPORT void ResampleShutdown(RESAMPLE_CONTEXT* context);

// Converts srcLength bytes of 16-bit linear PCM or G.711 A-law at srcRate into
// dst at dstRate (linear or A-law) with a gain, and stores the bytes written
// in *dstLength. Rates are converted through `context` whenever it is given
// and its src_ratio is not exactly 1.0; its data_in must hold the input as
// floats and its data_out must hold output_frames frames. Returns false when
// the rates differ without a context, or when the channel counts differ.
OSTKAVEXMIXER_EXPORT bool ConvertAudio(unsigned int srcRate, bool srcStereo, bool srcALaw, unsigned char* src,
                                       unsigned int srcLength, unsigned int dstRate, bool dstStereo, bool dstALaw,
                                       unsigned char* dst, unsigned int* dstLength, double gain,
                                       RESAMPLE_CONTEXT* context);

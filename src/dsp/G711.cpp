#include "G711.h"
#include "G711Tables.h"
#include "LogCategories.h"

#include <QtGlobal>
#include <cmath>
#include <cstring>

// Samples are read and written with memcpy in host order, which is the
// little-endian order of the byte buffers on every platform the library serves.
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "G.711 buffers are little-endian");

namespace {

struct LawMode {
    bool decodeReverse;
    bool encodeReverse;
    quint8 decodeMask;
    quint8 encodeMask;
    bool zeroTrap;  // mu-law only
};

// Process-wide codec state. 0xD5 / 0xFF give the codes of the G.711 tables.
LawMode s_aLaw = {false, false, 0xD5, 0xD5, false};
LawMode s_uLaw = {false, false, 0xFF, 0xFF, false};
bool s_aLawSet = false;
bool s_uLawSet = false;

// Lookup tables, zero until the mode setters build them. The encode tables are
// indexed by the 16-bit sample read as unsigned.
quint8 s_bitReverse[256];
qint16 s_aLawToLinear[256];
qint16 s_uLawToLinear[256];
quint8 s_linearToALaw[65536];
quint8 s_linearToULaw[65536];
quint8 s_aLawToULaw[256];
quint8 s_uLawToALaw[256];
unsigned int s_buildCount[G711Tables::TABLE_COUNT];

quint8 reverseBits(quint8 v)
{
    v = quint8((v & 0xF0) >> 4 | (v & 0x0F) << 4);
    v = quint8((v & 0xCC) >> 2 | (v & 0x33) << 2);
    return quint8((v & 0xAA) >> 1 | (v & 0x55) << 1);
}

// The single-sample functions work before any table exists and reverse bits
// by computation; the table builders run after the reversal table is built.
quint8 reverseByTable(quint8 v)
{
    return s_bitReverse[v];
}

using Reverse = quint8 (*)(quint8);

// Segment of a magnitude: 0 below 256, then one segment per octave up to 7.
int segmentOf(int magnitude)
{
    int segment = 0;
    for (int v = magnitude >> 8; v != 0; v >>= 1)
        ++segment;
    return segment;
}

template <Reverse reverse>
short decodeALaw(quint8 code, const LawMode& mode)
{
    if (mode.decodeReverse)
        code = reverse(code);
    const int v = code ^ mode.decodeMask;
    const int segment = (v >> 4) & 7;
    const int mantissa = v & 15;
    const int magnitude = segment == 0 ? (mantissa * 8 + 4) << 1 : ((mantissa + 16) * 8 + 4) << segment;
    return short((v & 0x80) ? -magnitude : magnitude);
}

template <Reverse reverse>
short decodeULaw(quint8 code, const LawMode& mode)
{
    if (mode.decodeReverse)
        code = reverse(code);
    const int v = code ^ mode.decodeMask;
    const int segment = (v >> 4) & 7;
    const int mantissa = v & 15;
    const int magnitude = ((mantissa * 8 + 132) << segment) - 132;
    return short((v & 0x80) ? -magnitude : magnitude);
}

int signOf(short sample)
{
    return sample < 0 ? 0x80 : 0;
}

int magnitudeOf(short sample)
{
    if (sample >= 0)
        return sample;
    return sample == -32768 ? 32767 : -sample;
}

template <Reverse reverse>
quint8 encodeALaw(short sample, const LawMode& mode)
{
    const int magnitude = magnitudeOf(sample);
    const int segment = segmentOf(magnitude);
    const int mantissa = (segment <= 1 ? magnitude >> 4 : magnitude >> (segment + 3)) & 15;
    quint8 code = quint8((signOf(sample) | segment << 4 | mantissa) ^ mode.encodeMask);
    if (mode.encodeReverse)
        code = reverse(code);
    return code;
}

template <Reverse reverse>
quint8 encodeULaw(short sample, const LawMode& mode)
{
    const int biased = qMin(magnitudeOf(sample), 32635) + 132;
    const int segment = segmentOf(biased);
    const int mantissa = (biased >> (segment + 3)) & 15;
    quint8 code = quint8((signOf(sample) | segment << 4 | mantissa) ^ mode.encodeMask);
    if (mode.zeroTrap && code == 0x00)
        code = 0x02;
    if (mode.encodeReverse)
        code = reverse(code);
    return code;
}

void buildBitReverse()
{
    for (int i = 0; i < 256; ++i)
        s_bitReverse[i] = reverseBits(quint8(i));
    ++s_buildCount[G711Tables::TABLE_BIT_REVERSE];
}

void buildALawToLinear()
{
    for (int c = 0; c < 256; ++c)
        s_aLawToLinear[c] = decodeALaw<reverseByTable>(quint8(c), s_aLaw);
    ++s_buildCount[G711Tables::TABLE_ALAW_TO_LINEAR];
}

void buildULawToLinear()
{
    for (int c = 0; c < 256; ++c)
        s_uLawToLinear[c] = decodeULaw<reverseByTable>(quint8(c), s_uLaw);
    ++s_buildCount[G711Tables::TABLE_ULAW_TO_LINEAR];
}

void buildLinearToALaw()
{
    for (int i = 0; i < 65536; ++i)
        s_linearToALaw[i] = encodeALaw<reverseByTable>(short(quint16(i)), s_aLaw);
    ++s_buildCount[G711Tables::TABLE_LINEAR_TO_ALAW];
}

void buildLinearToULaw()
{
    for (int i = 0; i < 65536; ++i)
        s_linearToULaw[i] = encodeULaw<reverseByTable>(short(quint16(i)), s_uLaw);
    ++s_buildCount[G711Tables::TABLE_LINEAR_TO_ULAW];
}

// The cross tables combine the decode settings of the source law with the
// encode settings of the target law.
void buildALawToULaw()
{
    for (int c = 0; c < 256; ++c)
        s_aLawToULaw[c] = encodeULaw<reverseByTable>(decodeALaw<reverseByTable>(quint8(c), s_aLaw), s_uLaw);
    ++s_buildCount[G711Tables::TABLE_ALAW_TO_ULAW];
}

void buildULawToALaw()
{
    for (int c = 0; c < 256; ++c)
        s_uLawToALaw[c] = encodeALaw<reverseByTable>(decodeULaw<reverseByTable>(quint8(c), s_uLaw), s_aLaw);
    ++s_buildCount[G711Tables::TABLE_ULAW_TO_ALAW];
}

// Product truncated toward zero and clipped to the 16-bit range; a product
// that is not a number gives silence rather than undefined behaviour.
int scaledSample(double value)
{
    if (value >= 32767.0)
        return 32767;
    if (value <= -32768.0)
        return -32768;
    return value == value ? int(value) : 0;
}

bool usable(const unsigned char* in, const unsigned char* out, unsigned int count, const char* function)
{
    if (count == 0)
        return false;
    if (in && out)
        return true;
    qCWarning(lcKavexDsp, "%s: null buffer for %u bytes, nothing converted", function, count);
    return false;
}

void codesToLinear(const qint16* table, const unsigned char* in, unsigned char* out, unsigned int codes, double gain)
{
    if (gain == 1.0) {
        for (unsigned int i = 0; i < codes; ++i)
            std::memcpy(out + 2 * size_t(i), &table[in[i]], 2);
        return;
    }
    for (unsigned int i = 0; i < codes; ++i) {
        const qint16 v = qint16(scaledSample(table[in[i]] * gain));
        std::memcpy(out + 2 * size_t(i), &v, 2);
    }
}

void linearToCodes(const quint8* table, const unsigned char* in, unsigned char* out, unsigned int bytes, double gain)
{
    const unsigned int samples = bytes / 2;
    if (gain == 1.0) {
        for (unsigned int i = 0; i < samples; ++i) {
            quint16 v;
            std::memcpy(&v, in + 2 * size_t(i), 2);
            out[i] = table[v];
        }
        return;
    }
    for (unsigned int i = 0; i < samples; ++i) {
        qint16 v;
        std::memcpy(&v, in + 2 * size_t(i), 2);
        out[i] = table[quint16(scaledSample(v * gain))];
    }
}

void codesToFloat(const qint16* table, const unsigned char* in, unsigned char* out, unsigned int codes)
{
    for (unsigned int i = 0; i < codes; ++i) {
        const float f = float(table[in[i]]) / 32767.0f;
        std::memcpy(out + 4 * size_t(i), &f, 4);
    }
}

void floatToCodes(const quint8* table, const unsigned char* in, unsigned char* out, unsigned int bytes, double gain)
{
    const unsigned int samples = bytes / 4;
    const bool unity = gain == 1.0;
    for (unsigned int i = 0; i < samples; ++i) {
        float f;
        std::memcpy(&f, in + 4 * size_t(i), 4);
        double p = double(f) * 32767.0;
        if (!unity)
            p *= gain;
        // Clipping before the cast to float gives the same value as after it
        // (both limits are exact floats) and keeps the cast in range.
        if (p > 32767.0)
            p = 32767.0;
        else if (p < -32768.0)
            p = -32768.0;
        else if (p != p)
            p = 0.0;
        out[i] = table[quint16(std::lrintf(float(p)))];
    }
}

void lookupCodes(const quint8* table, const unsigned char* in, unsigned char* out, unsigned int codes)
{
    for (unsigned int i = 0; i < codes; ++i)
        out[i] = table[in[i]];
}

}  // namespace

unsigned int G711Tables::buildCount(Table table)
{
    return table >= 0 && table < TABLE_COUNT ? s_buildCount[table] : 0;
}

extern "C" {

short _G711_ALaw2Linear(unsigned char code)
{
    return decodeALaw<reverseBits>(code, s_aLaw);
}

short _G711_ULaw2Linear(unsigned char code)
{
    return decodeULaw<reverseBits>(code, s_uLaw);
}

unsigned char _G711_Linear2ALaw(short sample)
{
    return encodeALaw<reverseBits>(sample, s_aLaw);
}

unsigned char _G711_Linear2ULaw(short sample)
{
    return encodeULaw<reverseBits>(sample, s_uLaw);
}

void _G711_ConvertALaw2Linear(const unsigned char* in, unsigned char* out, unsigned int codes, double gain)
{
    if (usable(in, out, codes, "_G711_ConvertALaw2Linear"))
        codesToLinear(s_aLawToLinear, in, out, codes, gain);
}

void _G711_ConvertULaw2Linear(const unsigned char* in, unsigned char* out, unsigned int codes, double gain)
{
    if (usable(in, out, codes, "_G711_ConvertULaw2Linear"))
        codesToLinear(s_uLawToLinear, in, out, codes, gain);
}

void _G711_ConvertLinear2ALaw(const unsigned char* in, unsigned char* out, unsigned int bytes, double gain)
{
    if (usable(in, out, bytes, "_G711_ConvertLinear2ALaw"))
        linearToCodes(s_linearToALaw, in, out, bytes, gain);
}

void _G711_ConvertLinear2ULaw(const unsigned char* in, unsigned char* out, unsigned int bytes, double gain)
{
    if (usable(in, out, bytes, "_G711_ConvertLinear2ULaw"))
        linearToCodes(s_linearToULaw, in, out, bytes, gain);
}

void _G711_ConvertALaw2Float(const unsigned char* in, unsigned char* out, unsigned int codes)
{
    if (usable(in, out, codes, "_G711_ConvertALaw2Float"))
        codesToFloat(s_aLawToLinear, in, out, codes);
}

void _G711_ConvertULaw2Float(const unsigned char* in, unsigned char* out, unsigned int codes)
{
    if (usable(in, out, codes, "_G711_ConvertULaw2Float"))
        codesToFloat(s_uLawToLinear, in, out, codes);
}

void _G711_ConvertFloat2ALaw(const unsigned char* in, unsigned char* out, unsigned int bytes, double gain)
{
    if (usable(in, out, bytes, "_G711_ConvertFloat2ALaw"))
        floatToCodes(s_linearToALaw, in, out, bytes, gain);
}

void _G711_ConvertFloat2ULaw(const unsigned char* in, unsigned char* out, unsigned int bytes, double gain)
{
    if (usable(in, out, bytes, "_G711_ConvertFloat2ULaw"))
        floatToCodes(s_linearToULaw, in, out, bytes, gain);
}

void _G711_ConvertALaw2ULaw(const unsigned char* in, unsigned char* out, unsigned int codes)
{
    if (usable(in, out, codes, "_G711_ConvertALaw2ULaw"))
        lookupCodes(s_aLawToULaw, in, out, codes);
}

void _G711_ConvertULaw2ALaw(const unsigned char* in, unsigned char* out, unsigned int codes)
{
    if (usable(in, out, codes, "_G711_ConvertULaw2ALaw"))
        lookupCodes(s_uLawToALaw, in, out, codes);
}

// Each setter rebuilds only the tables whose inputs changed, so that calling
// it again with the same mode costs nothing.
void _G711_SetALawMode(bool decodeBitReverse, bool encodeBitReverse, unsigned char decodeMask, unsigned char encodeMask)
{
    const LawMode old = s_aLaw;
    s_aLaw = {decodeBitReverse, encodeBitReverse, decodeMask, encodeMask, false};

    if (!s_aLawSet && !s_uLawSet)
        buildBitReverse();
    if (!s_aLawSet || old.decodeMask != decodeMask || old.decodeReverse != decodeBitReverse) {
        buildALawToLinear();
        if (s_uLawSet)
            buildALawToULaw();
    }
    if (!s_aLawSet || old.encodeMask != encodeMask || old.encodeReverse != encodeBitReverse) {
        buildLinearToALaw();
        if (s_uLawSet)
            buildULawToALaw();
    }
    s_aLawSet = true;
}

void _G711_SetULawMode(bool decodeBitReverse, bool encodeBitReverse, unsigned char decodeMask, unsigned char encodeMask,
                       bool zeroTrap)
{
    const LawMode old = s_uLaw;
    s_uLaw = {decodeBitReverse, encodeBitReverse, decodeMask, encodeMask, zeroTrap};

    if (!s_aLawSet && !s_uLawSet)
        buildBitReverse();
    if (!s_uLawSet || old.decodeMask != decodeMask || old.decodeReverse != decodeBitReverse) {
        buildULawToLinear();
        if (s_aLawSet)
            buildULawToALaw();
    }
    if (!s_uLawSet || old.encodeMask != encodeMask || old.encodeReverse != encodeBitReverse ||
        old.zeroTrap != zeroTrap) {
        buildLinearToULaw();
        if (s_aLawSet)
            buildALawToULaw();
    }
    s_uLawSet = true;
}

}  // extern "C"

#pragma once

#include "OstKavexMixerGlobal.h"

// G.711 A-law and mu-law conversions, exported with C linkage so that hosts
// find them under exactly these names.
//
// Linear samples are signed 16-bit little-endian, floats are 32-bit IEEE with
// full scale at +-1.0. In the array functions `codes` counts 8-bit codes and
// `bytes` counts bytes of the linear or float side (a remainder that does not
// make a whole sample is ignored); the caller provides the output space.
//
// The codec mode (XOR masks, bit reversal, mu-law zero trap) is process-wide.
// The array functions use lookup tables that a law's mode setter builds; until
// it has run once, that law's array functions give zeros. The cross tables
// (A-law <-> mu-law) need both modes set. The setters are meant to run before
// conversions start; conversions may then run on any thread.
extern "C" {

OSTKAVEXMIXER_EXPORT short _G711_ALaw2Linear(unsigned char code);
OSTKAVEXMIXER_EXPORT short _G711_ULaw2Linear(unsigned char code);
OSTKAVEXMIXER_EXPORT unsigned char _G711_Linear2ALaw(short sample);
OSTKAVEXMIXER_EXPORT unsigned char _G711_Linear2ULaw(short sample);

OSTKAVEXMIXER_EXPORT void _G711_ConvertALaw2Linear(const unsigned char* in, unsigned char* out, unsigned int codes,
                                                   double gain);
OSTKAVEXMIXER_EXPORT void _G711_ConvertULaw2Linear(const unsigned char* in, unsigned char* out, unsigned int codes,
                                                   double gain);
OSTKAVEXMIXER_EXPORT void _G711_ConvertLinear2ALaw(const unsigned char* in, unsigned char* out, unsigned int bytes,
                                                   double gain);
OSTKAVEXMIXER_EXPORT void _G711_ConvertLinear2ULaw(const unsigned char* in, unsigned char* out, unsigned int bytes,
                                                   double gain);

OSTKAVEXMIXER_EXPORT void _G711_ConvertALaw2Float(const unsigned char* in, unsigned char* out, unsigned int codes);
OSTKAVEXMIXER_EXPORT void _G711_ConvertULaw2Float(const unsigned char* in, unsigned char* out, unsigned int codes);
OSTKAVEXMIXER_EXPORT void _G711_ConvertFloat2ALaw(const unsigned char* in, unsigned char* out, unsigned int bytes,
                                                  double gain);
OSTKAVEXMIXER_EXPORT void _G711_ConvertFloat2ULaw(const unsigned char* in, unsigned char* out, unsigned int bytes,
                                                  double gain);

OSTKAVEXMIXER_EXPORT void _G711_ConvertALaw2ULaw(const unsigned char* in, unsigned char* out, unsigned int codes);
OSTKAVEXMIXER_EXPORT void _G711_ConvertULaw2ALaw(const unsigned char* in, unsigned char* out, unsigned int codes);

OSTKAVEXMIXER_EXPORT void _G711_SetALawMode(bool decodeBitReverse, bool encodeBitReverse, unsigned char decodeMask,
                                            unsigned char encodeMask);
OSTKAVEXMIXER_EXPORT void _G711_SetULawMode(bool decodeBitReverse, bool encodeBitReverse, unsigned char decodeMask,
                                            unsigned char encodeMask, bool zeroTrap);

}  // extern "C"

#pragma once

#include "Mixer.h"

class MixerImpl;

// The implementation behind a Mixer facade, for the library's own tests and
// benchmarks. Not installed: hosts see the facade only.
class MixerAccess
{
public:
    static MixerImpl* implementation(const Mixer& mixer) { return mixer.m_impl; }
};

#pragma once

#include "OstKavexMixerGlobal.h"

#include <QStringList>

// The sound cards of this machine as a host can name them in the settings
// keys "Mixer/OutputDevice" and "Mixer/InputDevice" (or in the environment
// variables OSTKAVEX_OUTPUT_DEVICE / OSTKAVEX_INPUT_DEVICE). Besides these
// names, "auto", "virtual" and "wav:PATH" are always accepted.
class OSTKAVEXMIXER_EXPORT SoundDevices
{
public:
    static QStringList outputs();
    static QStringList inputs();
    // Whether the system has a default playback / capture device.
    static bool hasDefaultOutput();
    static bool hasDefaultInput();
};

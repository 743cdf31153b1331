#pragma once

#include "SoundBackend.h"

#include <QString>

// Which device stands behind the sound output or the sound capture. Read
// from the environment variable OSTKAVEX_OUTPUT_DEVICE / OSTKAVEX_INPUT_DEVICE
// when it is set, else from the settings key "Mixer/OutputDevice" /
// "Mixer/InputDevice"; "auto" when neither is.
//   "auto"       the system's default device, else the virtual device
//   "virtual"    a device without sound, running in real time
//   "virtual:OPTIONS"  the same, acting out the faults OPTIONS lists (see
//                VirtualSoundFaults::apply), for example "virtual:burst=2048"
//   "wav:PATH"   output: the virtual device recording into a WAV file;
//                input: a virtual microphone playing a WAV file in a loop
//   other text   the PortAudio device of that name
class DeviceSelection
{
public:
    enum Kind { KIND_AUTO, KIND_VIRTUAL, KIND_WAV, KIND_NAMED };

    Kind kind = KIND_AUTO;
    QString argument;  // the path of KIND_WAV, the device name of KIND_NAMED, the faults of KIND_VIRTUAL

    static DeviceSelection configured(SoundBackend::Direction direction);
    static DeviceSelection parse(const QString& text);
};

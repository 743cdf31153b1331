#pragma once

#include "SoundBackend.h"
#include "SoundClock.h"

#include <functional>

// A backend whose cursor the test decides: `script` maps the time since
// start to a byte offset (the current SoundClock, normally a test clock);
// without a script the cursor stays at `fixedPosition`.
class ScriptedSoundBackend : public SoundBackend
{
public:
    using SoundBackend::SoundBackend;

    // Byte offset of a frame of a 4096-byte block of stereo 16-bit frames.
    static quint32 at(quint32 block, quint32 frame) { return block * 4096 + frame * 4; }

    bool start() override
    {
        if (refuseStart)
            return false;
        started = true;
        m_startUs = SoundClock::instance()->monotonicUs();
        return true;
    }
    void stop() override { started = false; }
    quint32 position() override
    {
        ++positionReads;
        if (!script)
            return fixedPosition;
        return script(SoundClock::instance()->monotonicUs() - m_startUs) % ringBytes();
    }
    bool isLost() const override { return lost; }

    std::function<quint32(quint64 elapsedUs)> script;
    quint32 fixedPosition = 0;
    bool refuseStart = false;
    bool lost = false;
    bool started = false;
    int positionReads = 0;

private:
    quint64 m_startUs = 0;
};

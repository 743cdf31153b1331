#pragma once

#include "SoundCard.h"
#include "TestClock.h"

#include <QList>
#include <gtest/gtest.h>

#include <functional>

// A ring whose cursor the test decides: `script` maps the time since start
// on the clock to a byte offset; without one the cursor stays at `fixedPosition`.
class ScriptedSoundBackend : public SoundBackend
{
public:
    ScriptedSoundBackend(Direction direction, const Format& format, quint32 ringBytes, Clock& clock)
        : SoundBackend(direction, format, ringBytes)
        , m_clock(clock)
    {
    }
    // Byte offset of a frame of a 4096-byte block of stereo 16-bit frames.
    static quint32 at(quint32 block, quint32 frame) { return block * 4096 + frame * 4; }

    bool start() override
    {
        m_startUs = m_clock.monotonicUs();
        return started = !refuseStart;
    }
    void stop() override { started = false; }
    quint32 position() override
    {
        return script ? script(m_clock.monotonicUs() - m_startUs) % ringBytes() : fixedPosition;
    }
    bool isLost() const override { return lost; }

    std::function<quint32(quint64 elapsedUs)> script;
    quint32 fixedPosition = 0;
    bool refuseStart = false;
    bool lost = false;
    bool started = false;

private:
    Clock& m_clock;
    quint64 m_startUs = 0;
};

// Runs a test on a test clock with the sound cards of `cards()`: each ring
// is a ScriptedSoundBackend that `prepare` sets up before it is used.
class ScriptedDeviceTest : public ::testing::Test
{
protected:
    SoundCardMaker cards()
    {
        return [this](SoundBackend::Direction direction, Clock& clock) -> std::unique_ptr<SoundCard> {
            return cardExists ? std::make_unique<Card>(this, direction, clock) : nullptr;
        };
    }
    TestClock clock;
    std::function<void(ScriptedSoundBackend*)> prepare;
    bool cardExists = true;
    bool capsReadable = true;
    bool takesStereo48 = true;
    // Rings asked for; asking beyond allowedBackends fails, as a card that is gone.
    int ringRequests = 0;
    int allowedBackends = 1000;
    // Owned by their devices: valid while the device that made them lives.
    QList<ScriptedSoundBackend*> backends;

private:
    struct Card : SoundCard {
        Card(ScriptedDeviceTest* test, SoundBackend::Direction direction, Clock& clock)
            : test(test)
            , direction(direction)
            , clock(clock)
        {
        }
        bool supports(const SoundBackend::Format&, bool* supported) override
        {
            *supported = test->takesStereo48;
            return test->capsReadable;
        }
        std::unique_ptr<SoundBackend> makeBackend(const SoundBackend::Format& format, quint32 ringBytes) override
        {
            if (++test->ringRequests > test->allowedBackends)
                return nullptr;
            auto backend = std::make_unique<ScriptedSoundBackend>(direction, format, ringBytes, clock);
            if (test->prepare)
                test->prepare(backend.get());
            test->backends.append(backend.get());
            return backend;
        }
        ScriptedDeviceTest* test;
        const SoundBackend::Direction direction;
        Clock& clock;
    };
};

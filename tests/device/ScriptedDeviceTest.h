#pragma once

#include "ScriptedSoundBackend.h"
#include "SoundBackendFactory.h"
#include "ScopedTestClock.h"

#include <QList>
#include <gtest/gtest.h>

#include <functional>

// Runs a test on a test clock, with every sound buffer made over a
// ScriptedSoundBackend that `prepare` sets up before the buffer uses it.
class ScriptedDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SoundBackendFactory::setMaker([this](SoundBackend::Direction direction, const SoundBackend::Format& format,
                                             quint32 ringBytes) -> std::unique_ptr<SoundBackend> {
            requests.append({direction, format, ringBytes});
            if (requests.size() > allowedBackends)
                return nullptr;
            auto backend = std::make_unique<ScriptedSoundBackend>(direction, format, ringBytes);
            if (prepare)
                prepare(backend.get());
            backends.append(backend.get());
            return backend;
        });
    }

    void TearDown() override { SoundBackendFactory::setMaker({}); }

    // Makes buffers over the configured devices again (the test clock stays).
    void useConfiguredDevices() { SoundBackendFactory::setMaker({}); }

    struct Request {
        SoundBackend::Direction direction;
        SoundBackend::Format format;
        quint32 ringBytes;
    };

    ScopedTestClock clock;
    std::function<void(ScriptedSoundBackend*)> prepare;
    // Backend requests beyond this number fail, as a device that is gone.
    int allowedBackends = 1000;
    QList<Request> requests;
    // Owned by their buffers: valid while the device that made them lives.
    QList<ScriptedSoundBackend*> backends;
};

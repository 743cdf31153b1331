#pragma once

#include "PlaybackSessionIf.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

// A recording session whose answers the test gives: it records the requests
// a channel makes (from any thread) and refuses them while `accept` is
// false; the test emits its signals itself.
class ScriptedPlaybackSession : public PlaybackSessionIf
{
public:
    struct Request {
        quint64 id;
        NTPTimestamp ts;
        UnitRequestType type;
    };

    void requestStreamInfo() override { ++infoRequests; }
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back({tid, ts, type});
        m_changed.notify_all();
        return accept;
    }
    // The requests so far, once there are at least `count` (or after 10 s).
    std::vector<Request> requests(size_t count = 0)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_requests.size() >= count; });
        return m_requests;
    }

    std::atomic<int> infoRequests{0};
    std::atomic<bool> accept{true};

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Request> m_requests;
};

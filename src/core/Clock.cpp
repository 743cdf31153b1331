#include "Clock.h"

#include <cerrno>
#include <ctime>

namespace {

quint64 readUs(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return quint64(ts.tv_sec) * 1000000ULL + quint64(ts.tv_nsec) / 1000ULL;
}

class SystemClock : public Clock
{
public:
    quint64 monotonicUs() override { return readUs(CLOCK_MONOTONIC); }

    NTPTimestamp wallClock() override
    {
        // Seconds between the NTP era (1900) and the Unix epoch (1970).
        static const quint64 kUnixToNtpSeconds = 2208988800ULL;
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        const quint64 fraction = (quint64(ts.tv_nsec) << 32) / 1000000000ULL;
        return NTPTimestamp(((quint64(ts.tv_sec) + kUnixToNtpSeconds) << 32) | fraction);
    }

    void sleepUs(quint64 us) override
    {
        timespec ts{time_t(us / 1000000ULL), long((us % 1000000ULL) * 1000ULL)};
        // Sleeping again for what is left when a signal cuts the sleep short.
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
};

}  // namespace

Clock::~Clock() = default;

void Clock::sleepUntilUs(quint64 deadlineUs)
{
    const quint64 now = monotonicUs();
    if (deadlineUs > now)
        sleepUs(deadlineUs - now);
}

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}

#pragma once

#include "Channel.h"

#include "KavexMutex.h"
#include <QList>
#include <atomic>
#include <cstring>

// A channel of the test's own class: delivers a constant sample value,
// records the ranges it was asked for and reports a settable time stamp.
class TestChannel : public Channel
{
public:
    explicit TestChannel(qint16 value = 0) : m_value(value) {}
    ~TestChannel() override
    {
        if (m_deleted)
            *m_deleted = true;
    }

    eSampleRate getSampleRate() override { return m_rate; }
    void deleteThis() override { delete this; }
    void getData(NTPRange range, unsigned char* buffer) override
    {
        {
            KavexLocker lock(&m_lock);
            m_ranges.append(range);
        }
        Channel::getData(range, buffer);
    }
    void getData(unsigned char* buffer, quint64 count) override
    {
        auto* s = reinterpret_cast<qint16*>(buffer);
        for (quint64 i = 0; i < count / 2; ++i)
            s[i] = m_value;
    }
    NTPTimestamp getCurrentTimestamp() override { return m_timestamp; }
    bool isActive() override { return m_active; }
    void setActive(bool active) override { m_active = active; }

    QList<NTPRange> ranges()
    {
        KavexLocker lock(&m_lock);
        return m_ranges;
    }
    int requests()
    {
        KavexLocker lock(&m_lock);
        return m_ranges.size();
    }

    std::atomic<qint16> m_value;
    NTPTimestamp m_timestamp;
    eSampleRate m_rate = SAMPLE_RATE_8000;
    std::atomic<bool> m_active{true};
    bool* m_deleted = nullptr;

private:
    KavexMutex m_lock;
    QList<NTPRange> m_ranges;
};

// A channel that only uses the base class's optional operations.
class PlainChannel : public Channel
{
public:
    eSampleRate getSampleRate() override { return SAMPLE_RATE_NONE; }
    void deleteThis() override { delete this; }
    void getData(unsigned char* buffer, quint64 count) override
    {
        m_lastCount = count;
        std::memset(buffer, 0, count);
    }
    NTPTimestamp getCurrentTimestamp() override { return NTPTimestamp(); }
    quint64 m_lastCount = 0;
};

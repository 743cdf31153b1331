#pragma once

#include "AudioFrameQueue.h"
#include "Channel.h"
#include "Clock.h"
#include "ClockToNtpMapper32.h"
#include "KavexMutex.h"
#include "OstKavexMixerGlobal.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

class Decoder;
class QTimer;
class RTCPPacket;
class RTPPacket;

// The mixer input for one live RTP stream (one SSRC). Packets come in on the
// thread that receives them (depay, rtcp); the payload is decoded with the
// decoder the stream's SDP names, stamped with the NTP time of its RTP
// timestamp and queued. The mixer thread takes the audio out with getData,
// G.711 audio 120 ms behind the requested time.
//
// A new SDP is applied by the mixer thread's next getData; until then packets
// are dropped. The channel raises stale() once when no RTP packet has come
// for 5 s of its clock; the next packet re-arms it. The stale timer and
// stale() belong to the thread that created the channel.
//
// The object holds its 256000-byte decode buffer itself: create it on the heap.
class RtpChannel : public QObject, public Channel
{
    Q_OBJECT
public:
    static constexpr int DECODE_BUFFER_SIZE = 256000;
    static constexpr int STALE_TIMEOUT_MS = 5000;

    // `clock` times staleness and stands in for the sender's clock until its
    // first sender report.
    RtpChannel(const QString& sdp, double volume, Clock& clock = Clock::system());
    ~RtpChannel() override;

    // A text that differs from the current SDP makes it pending.
    void setSdp(const QString& sdp);
    // Applies a pending SDP at once. For the creator, before it hands the
    // channel to the mixer: packets it passes in then are decoded rather
    // than dropped while the mixer thread has yet to apply the SDP.
    void applyPendingSdp();
    void depay(const RTPPacket& packet);
    void rtcp(const RTCPPacket& packet);

    void getData(NTPRange range, unsigned char* out) override;
    // Not supported: a live channel is served by time range only.
    void getData(unsigned char* buffer, quint64 count) override;
    eSampleRate getSampleRate() override;
    NTPTimestamp getCurrentTimestamp() override;
    // Deletes the channel. A channel whose thread still runs its event loop
    // is deleted there, so that no timer event or stale() emission of it can
    // be in progress while it goes.
    void deleteThis() override;

    QString sdp() const;
    // Arrival counters and the level of the audio last handed to the mixer.
    void statistics(quint64* packets, quint64* lost, quint64* duplicates, int* peak) const;
    QString codec() const;
    // Emits stale() when the last RTP packet is STALE_TIMEOUT_MS old by the
    // channel's clock and stale() has not been emitted since. The stale timer
    // calls it; call it only on the channel's thread.
    void checkStale();

signals:
    void stale();

private:
    bool acceptSequence(quint16 seq);
    // Builds the decoder for a pending SDP (under m_lock).
    void applySdp();
    qint64 nowMs() const;

    Clock& m_clock;
    // Owned; lives on the creating thread (see the destructor).
    QTimer* m_staleTimer;
    AudioFrameQueue m_queue;
    ClockToNtpMapper32 m_timeBase;
    QString m_sdp;
    std::unique_ptr<Decoder> m_decoder;
    std::atomic<bool> m_sdpPending{false};
    QString m_codec;
    int m_clockRate = 0;
    int m_payloadType = 0;
    bool m_sequenceSeen = false;
    quint16 m_lastSequence = 0;
    // Fixed by the decoder: the MPEG audio payload header, and how far
    // behind the requested range the audio is taken.
    int m_payloadSkip = 0;
    NTPTimestamp m_delay;
    // G.711: one payload byte per sample, so a packet's length in time is
    // known before it is decoded.
    bool m_bytePerSample = false;

    // Serialises the SDP, decoder, payload type and time base between the
    // delivering thread and the mixer thread. The mixer thread takes it only
    // while an SDP is pending (and for getSampleRate).
    mutable KavexPiMutex m_lock;

    // Staleness: depay only notes the time; the timer, which belongs to the
    // creating thread, checks it when it fires and re-arms itself for the
    // rest of the interval, at most STALE_CHECK_MS ahead, so that a clock
    // that jumps is noticed soon. So a packet costs no timer restart and may
    // come from any thread.
    static constexpr int STALE_CHECK_MS = 500;
    std::atomic<qint64> m_lastPacketMs;
    std::atomic<bool> m_staleArmed{true};

    std::atomic<quint64> m_packets{0};
    std::atomic<quint64> m_lost{0};
    std::atomic<quint64> m_duplicates{0};
    std::atomic<int> m_peak{0};

    unsigned char m_decodeBuffer[DECODE_BUFFER_SIZE];
};

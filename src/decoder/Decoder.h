#pragma once

#include "KavexMutex.h"
#include "OstKavexMixerGlobal.h"

#include <QString>
#include <memory>

// Turns the payload of an audio stream into 48 kHz mono 16-bit PCM for the
// mixer. A channel describes its stream by SDP; getDecoderBySdp picks the
// decoder for it, and matchesSdp / isCodec tell whether an existing decoder
// still fits, so that a channel rebuilds it only when the stream changed.
// A decoder runs on the thread that delivers its stream's packets; only
// setGain may come from another thread.
class Decoder
{
public:
    // A new decoder for the SDP's first audio format; null when the SDP does
    // not parse or names an unsupported codec.
    static std::unique_ptr<Decoder> getDecoderBySdp(const QString& sdp, bool g726AsAac, double gain);

    // The canonical name for an SDP encoding name ("PCMA", "PCMA16", "PCMU",
    // "MPA", "AAC", "AC3", or a "G726..." name itself); empty when unsupported.
    static QString canonicalCodecName(const QString& sdpName);

    virtual ~Decoder();

    // Decodes inLength payload bytes. On entry outLength is the capacity of
    // `out` in bytes; on return the bytes written (0 when nothing was decoded).
    virtual void decode(const unsigned char* in, int inLength, unsigned char* out, int& outLength) = 0;
    // Channels of the stream being decoded; 0 while unknown.
    virtual int channels();
    // Whether the decoder can follow a stream clocked at `clockRate`.
    virtual bool isSupportedClockRate(qint32 clockRate);
    virtual void setGain(double gain) = 0;

    // True when the SDP parses to this decoder's payload type, clock rate and codec.
    bool matchesSdp(const QString& sdp);
    // True when `name` is this decoder's codec, by canonical name or by the
    // name in its SDP.
    bool isCodec(const QString& name);

    QString codecName() const { return m_codecName; }
    int payloadType() const { return m_payloadType; }
    int clockRate() const { return m_clockRate; }
    bool g726AsAac() const { return m_g726AsAac; }
    QString sdp() const { return m_sdp; }

protected:
    Decoder(const QString& sdp, const QString& codecName, int payloadType, int clockRate, bool g726AsAac);
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    QString m_codecName;
    int m_payloadType;
    int m_clockRate;
    KavexMutex m_mutex;  // guards m_gain
    double m_gain = 1.0;
    bool m_g726AsAac;
    QString m_sdp;

private:
    // Canonical name of the codec m_sdp names (empty when it does not parse
    // or is unsupported), read once: isCodec is asked for every packet.
    QString m_sdpCanonicalName;
};

#pragma once

#include <QByteArray>
#include <QString>

// How the RTP payloads of one codec become the bytes of a stored unit, which
// must be exactly what the player's decoder takes for the unit's SDP:
//  - G.711 (PCMA, PCMU, PCMA16) and anything without a rule: the payload;
//  - MPEG audio (MPA): the frames, without the 4-byte RFC 2250 header;
//  - AC-3: the frames, without the 2-byte RFC 4184 header;
//  - AAC as MPEG4-GENERIC (RFC 3640): each access unit as an ADTS frame, and
//    the SDP names the codec "AAC" (ADTS is what the AAC decoder reads);
//  - AAC named "AAC" (already ADTS, as the live decoder takes it): the payload;
//  - G.726: each payload behind a 7-byte ADTS header, the framing the
//    player's G.726 decoder expects of recorded units.
// Immutable after construction; used on the recorder's network thread.
class UnitPayloadFormat
{
public:
    // An SDP for the static payload types 0 (PCMU), 8 (PCMA) and 14 (MPA);
    // empty for any other.
    static QString staticSdp(int payloadType);

    explicit UnitPayloadFormat(const QString& sdp = QString());
    // False when the SDP has no readable audio format.
    bool isValid() const { return m_valid; }
    int payloadType() const { return m_payloadType; }
    int clockRate() const { return m_clockRate; }
    QString codec() const { return m_codec; }
    // The SDP stored with each unit.
    QString unitSdp() const { return m_unitSdp; }
    // Appends the unit bytes of one payload; false (nothing appended) for a
    // payload too short or malformed for its codec.
    bool append(const unsigned char* payload, int size, QByteArray& unit) const;
    // RTP clock ticks the payload lasts when the codec tells by its size; 0
    // when only the time stamps of the following packets tell.
    quint32 durationTicks(int payloadSize) const;
    // The same for a whole payload; AAC with AU headers lasts 1024 samples
    // per access unit, however many a sender puts in one packet.
    quint32 durationTicks(const unsigned char* payload, int size) const;

private:
    enum Kind { KIND_RAW, KIND_SKIP, KIND_AU_HEADERS, KIND_ADTS_WRAP };

    void setUpAac(const QString& sdp);
    bool appendAccessUnits(const unsigned char* payload, int size, QByteArray& unit) const;
    void appendAdts(const unsigned char* data, int size, QByteArray& unit) const;

    bool m_valid = false;
    Kind m_kind = KIND_RAW;
    QString m_codec;
    int m_payloadType = -1;
    int m_clockRate = 0;
    QString m_unitSdp;
    int m_skip = 0;
    int m_bitsPerSample = 0;  // sample codecs: ticks from bytes
    // RFC 3640 AU header fields in bits, and the ADTS parameters.
    int m_sizeLength = 0;
    int m_indexLength = 0;
    int m_indexDeltaLength = 0;
    int m_adtsProfile = 1;
    int m_adtsFrequencyIndex = 11;
    int m_adtsChannels = 1;
};

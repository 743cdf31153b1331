#pragma once

#include "NTPTimestamp.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "VariableBuffer.h"

#include <QByteArray>
#include <QString>

#include <cmath>

// Builders for the RTP, RTCP and SDP that live-input tests feed in, and a
// G.711 A-law encoder after the ITU reference (sign bit set for positive
// samples, even bits inverted), independent of the library's codec.
namespace RtpTestPackets {

inline QByteArray rtp(quint32 ssrc, quint16 seq, quint32 timestamp, int payloadType, const QByteArray& payload)
{
    VariableBuffer buffer;
    const RTPPacket packet(buffer, ssrc, seq, timestamp, payloadType,
                           reinterpret_cast<const unsigned char*>(payload.constData()), payload.size(), false);
    return QByteArray(reinterpret_cast<const char*>(packet.getRawPacket()), packet.getRawPacketSize());
}

inline QByteArray senderReport(quint32 ssrc, const NTPTimestamp& ntp, quint32 rtpTimestamp)
{
    VariableBuffer buffer;
    const int size = RTCPPacket::writeSenderReport(buffer, ssrc, ntp, rtpTimestamp, 0, 0);
    return QByteArray(reinterpret_cast<const char*>(buffer.getBuffer()), size);
}

inline unsigned char alaw(int sample)
{
    const int mask = sample >= 0 ? 0xD5 : 0x55;
    int magnitude = sample >= 0 ? sample : -sample - 1;
    magnitude = qMin(magnitude, 32767) >> 3;  // 13 bits
    int segment = 0;
    while (segment < 7 && magnitude >= (0x20 << segment))
        ++segment;
    const int quant = segment < 2 ? (magnitude >> 1) & 0x0f : (magnitude >> segment) & 0x0f;
    return static_cast<unsigned char>(((segment << 4) | quant) ^ mask);
}

// `count` A-law codes of a constant level.
inline QByteArray alawLevel(int level, int count)
{
    return QByteArray(count, char(alaw(level)));
}

// A-law codes of a sine at 8 kHz, samples [first, first + count).
inline QByteArray alawSine(double frequency, double amplitude, quint32 first, int count)
{
    QByteArray out(count, 0);
    for (int i = 0; i < count; ++i)
        out[i] = char(alaw(int(amplitude * std::sin(2 * M_PI * frequency * double(first + quint32(i)) / 8000.0))));
    return out;
}

inline QString sdp(int payloadType, const QString& codec, int clockRate)
{
    return QStringLiteral("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=Test\r\nm=audio 5004 RTP/AVP %1\r\n"
                          "a=rtpmap:%1 %2/%3\r\n")
        .arg(payloadType)
        .arg(codec)
        .arg(clockRate);
}

inline QString pcmaSdp()
{
    return sdp(8, QStringLiteral("PCMA"), 8000);
}

}  // namespace RtpTestPackets

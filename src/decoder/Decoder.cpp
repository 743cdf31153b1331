#include "Decoder.h"
#include "LogCategories.h"

#include "DecoderFFMpeg.h"
#include "Util.h"

#include <QDebug>

Decoder::Decoder(const QString& sdp, const QString& codecName, int payloadType, int clockRate, bool g726AsAac)
    : m_codecName(codecName)
    , m_payloadType(payloadType)
    , m_clockRate(clockRate)
    , m_g726AsAac(g726AsAac)
    , m_sdp(sdp)
{
    QString sdpCodec;
    int sdpPayloadType = 0;
    int sdpClockRate = 0;
    if (MixerUtil::parseSdp(m_sdp, sdpCodec, sdpPayloadType, sdpClockRate))
        m_sdpCanonicalName = canonicalCodecName(sdpCodec);
}

Decoder::~Decoder() = default;

int Decoder::channels()
{
    return 0;
}

bool Decoder::isSupportedClockRate(qint32)
{
    return true;
}

QString Decoder::canonicalCodecName(const QString& sdpName)
{
    if (sdpName == QLatin1String("PCMA") || sdpName == QLatin1String("G.711") || sdpName == QLatin1String("G711"))
        return QStringLiteral("PCMA");
    if (sdpName == QLatin1String("PCMA16") || sdpName == QLatin1String("PCMU") || sdpName == QLatin1String("AAC") ||
        sdpName == QLatin1String("AC3"))
        return sdpName;
    if (sdpName == QLatin1String("MPA") || sdpName == QLatin1String("MP2"))
        return QStringLiteral("MPA");
    if (sdpName.startsWith(QLatin1String("G726")))
        return sdpName;
    return QString();
}

std::unique_ptr<Decoder> Decoder::getDecoderBySdp(const QString& sdp, bool g726AsAac, double gain)
{
    QString codec;
    int payloadType = 0;
    int clockRate = 0;
    if (!MixerUtil::parseSdp(sdp, codec, payloadType, clockRate))
        return nullptr;
    qCDebug(lcKavexDecoder) << "Decoder::getDecoderBySdp: request for decoder:" << codec;
    const QString canonical = canonicalCodecName(codec);
    if (canonical.isEmpty()) {
        qCWarning(lcKavexDecoder) << "Decoder::getDecoderBySdp: Unsupported decoder:" << codec;
        return nullptr;
    }
    return std::make_unique<DecoderFFMpeg>(sdp, canonical, payloadType, clockRate, g726AsAac, gain);
}

bool Decoder::matchesSdp(const QString& sdp)
{
    QString codec;
    int payloadType = 0;
    int clockRate = 0;
    if (!MixerUtil::parseSdp(sdp, codec, payloadType, clockRate))
        return false;
    if (payloadType != m_payloadType || clockRate != m_clockRate)
        return false;
    const QString canonical = canonicalCodecName(codec);
    return !canonical.isEmpty() && canonical == m_codecName;
}

bool Decoder::isCodec(const QString& name)
{
    if (name == m_codecName)
        return true;
    return !m_sdpCanonicalName.isEmpty() && name == m_sdpCanonicalName;
}

#include "Util.h"
#include "LogCategories.h"

#include <QDebug>
#include <QRegExp>

namespace MixerUtil {

bool parseSdp(const QString& sdp, QString& codec, int& payloadType, int& clockRate)
{
    QRegExp media(QStringLiteral("m=audio \\d+ RTP/AVP\\s+(\\d+)"), Qt::CaseSensitive, QRegExp::RegExp);
    if (media.indexIn(sdp, 0) < 0) {
        qCWarning(lcKavexDecoder) << "MixerUtil::parseSdp: Malformed SDP: Missing or malformed m=audio line" << sdp;
        return false;
    }
    payloadType = media.cap(1).toInt();

    QRegExp rtpmap(QStringLiteral("a=rtpmap:%1 ([\\w\\-]+)/(\\d+)").arg(payloadType), Qt::CaseSensitive,
                   QRegExp::RegExp);
    if (rtpmap.indexIn(sdp, 0) < 0) {
        qCWarning(lcKavexDecoder) << "MixerUtil::parseSdp: Malformed SDP: a=rtpmap line missing or malformed" << sdp;
        return false;
    }
    codec = rtpmap.cap(1);
    clockRate = rtpmap.cap(2).toInt();
    return true;
}

}  // namespace MixerUtil

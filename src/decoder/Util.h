#pragma once

#include "OstKavexMixerGlobal.h"

#include <QString>

namespace MixerUtil {

// Reads the first audio format of an SDP text: the first payload type on the
// first "m=audio ... RTP/AVP" line, and the encoding name and clock rate of
// that payload type's "a=rtpmap" line. True when both lines were found; then
// all three outputs are set. On false, codec and clockRate are unchanged, and
// payloadType is set only when the media line was found.
bool parseSdp(const QString& sdp, QString& codec, int& payloadType, int& clockRate);

}  // namespace MixerUtil

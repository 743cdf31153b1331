#pragma once

#include "OstKavexMixerGlobal.h"

#include <QtGlobal>

class VariableBuffer;

// The stand-in for live audio that cannot be decrypted: RTP packets of A-law
// at 8 kHz under SSRC 7411 carrying the marker tone (MarkerTone). Each packet
// covers the time since the previous one, so that the tone keeps real time
// however often the undecryptable packets come.
class EncryptedAudioTone
{
public:
    static constexpr quint32 SSRC = 7411;
    static constexpr int PAYLOAD_TYPE = 8;
    // Samples of the first packet, and of one after a long pause.
    static constexpr int RESTART_SAMPLES = 320;
    static constexpr int MAX_SAMPLES = 4000;

    // Writes the next tone packet, for monotonic time `nowMs`, into `buffer`
    // and returns its size; 0 (nothing written) when no time has passed since
    // the previous packet.
    int nextPacket(quint32 nowMs, VariableBuffer& buffer);

private:
    quint32 m_clock = 0;
    quint32 m_timestamp = 0;
    quint32 m_sequence = 0;
};

#include "Decoder.h"
#include "Util.h"

#include "LogCapture.h"
#include "RtpTestPackets.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const QString kMediaWarning = "MixerUtil::parseSdp: Malformed SDP: Missing or malformed m=audio line";
const QString kRtpmapWarning = "MixerUtil::parseSdp: Malformed SDP: a=rtpmap line missing or malformed";

QString sdp(const QString& media, const QString& attributes)
{
    return "v=0\r\no=- 0 0 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 239.1.1.1\r\nt=0 0\r\n" + media + "\r\n" + attributes +
           "\r\n";
}

using RtpTestPackets::sdp;

}  // namespace

// A row with a codec is accepted with its first format; one without is refused
// with the warning of the line that is wrong.
TEST(ParseSdp, ReadsTheFirstFormatOfTheFirstAudioLineAndRejectsWhatThePatternsDoNotAllow)
{
    const QString avp8 = "m=audio 5004 RTP/AVP 8", pcma8 = "a=rtpmap:8 PCMA/8000";
    const struct {
        QString text, codec;
        int payloadType, clockRate;  // payload type -1: untouched
        QString warning;
    } cases[] = {
        {sdp(avp8, pcma8), "PCMA", 8, 8000, {}},
        {sdp("m=audio 0 RTP/AVP 97", "a=rtpmap:97 PCMA16/16000"), "PCMA16", 97, 16000, {}},
        {sdp("m=audio 5004 RTP/AVP 2", "a=rtpmap:2 G726-32/8000"), "G726-32", 2, 8000, {}},
        {sdp("m=audio 5004 RTP/AVP\t 99", "a=rtpmap:99 mp_4-x/44100"), "mp_4-x", 99, 44100, {}},
        {sdp("m=audio 5004 RTP/AVP 97 8", pcma8 + "\r\na=rtpmap:97 mp4/48000/2"), "mp4", 97, 48000, {}},
        {sdp("m=audio 5004 RTP/AVP 0", "a=rtpmap:0 PCMU/8000\r\n" + avp8 + "\r\n" + pcma8), "PCMU", 0, 8000, {}},
        {sdp("m=audio 5004 RTP/AVP 0", "a=sendonly"), {}, 0, -1, kRtpmapWarning},
        {sdp(avp8, "a=rtpmap:98 PCMA/8000"), {}, 8, -1, kRtpmapWarning},
        {sdp(avp8, "a=rtpmap:8  PCMA/8000"), {}, 8, -1, kRtpmapWarning},
        {sdp(avp8, "a=rtpmap:8 G.711/8000"), {}, 8, -1, kRtpmapWarning},
        {sdp(avp8, "a=rtpmap:8 PCMA/"), {}, 8, -1, kRtpmapWarning},
        {sdp("m=audio 5004 RTP/SAVP 8", pcma8), {}, -1, -1, kMediaWarning},
        {sdp("m=audio  5004 RTP/AVP 8", pcma8), {}, -1, -1, kMediaWarning},
        {sdp("m=audio 5004 RTP/AVP", pcma8), {}, -1, -1, kMediaWarning},
        {sdp("M=AUDIO 5004 RTP/AVP 8", pcma8), {}, -1, -1, kMediaWarning},
        {QString(), {}, -1, -1, kMediaWarning},
        {QString::fromLatin1("\x01\xff garbage m=audio x RTP/AVP y"), {}, -1, -1, kMediaWarning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        LogCapture log;
        QString codec = "unset";
        int payloadType = -1, clockRate = -1;
        const bool accepted = !c.codec.isEmpty();
        EXPECT_EQ(MixerUtil::parseSdp(c.text, codec, payloadType, clockRate), accepted);
        EXPECT_TRUE(codec == (accepted ? c.codec : "unset") && payloadType == c.payloadType &&
                    clockRate == c.clockRate);
        ASSERT_EQ(log.entries().size(), accepted ? 0 : 1) << log.dump().toStdString();
        if (!accepted) {
            EXPECT_TRUE(log.entries()[0].type == QtWarningMsg && log.entries()[0].text.startsWith(c.warning + " \""))
                << log.dump().toStdString();
        }
    }
}

TEST(Decoder, FactoryMapsSdpNamesToCanonicalNamesAndRefusesOthers)
{
    const char* const cases[][2] = {
        {"PCMA", "PCMA"}, {"G711", "PCMA"}, {"PCMA16", "PCMA16"}, {"PCMU", "PCMU"}, {"MPA", "MPA"}, {"MP2", "MPA"},
        {"AAC", "AAC"},   {"AC3", "AC3"},   {"G726", "G726"},     {"L16", ""},      {"pcma", ""},   {"AC-3", ""},
    };
    for (const auto& c : cases) {
        LogCapture log;
        const std::unique_ptr<Decoder> decoder = Decoder::getDecoderBySdp(sdp(97, c[0], 16000), false, 1.0);
        if (!*c[1]) {
            EXPECT_FALSE(decoder);
            EXPECT_EQ(
                log.count(QtWarningMsg, QString("Decoder::getDecoderBySdp: Unsupported decoder: \"%1\"").arg(c[0])), 1);
            continue;
        }
        ASSERT_TRUE(decoder) << c[0];
        EXPECT_EQ(decoder->codecName(), c[1]);
        EXPECT_TRUE(decoder->payloadType() == 97 && decoder->clockRate() == 16000);
        // Queries compare the canonical name, payload type and clock rate.
        EXPECT_TRUE(decoder->isCodec(c[1]) && decoder->matchesSdp(sdp(97, c[0], 16000)));
        EXPECT_FALSE(decoder->isCodec("G711") || decoder->matchesSdp(sdp(96, c[0], 16000)) ||
                     decoder->matchesSdp(sdp(97, c[0], 8000)) || decoder->matchesSdp(sdp(97, "G729", 16000)));
    }
    LogCapture log;
    EXPECT_FALSE(Decoder::getDecoderBySdp("v=0\r\na=rtpmap:8 PCMA/8000\r\n", false, 1.0));
    EXPECT_EQ(log.count(QtWarningMsg, kMediaWarning), 1);
    EXPECT_EQ(log.entries().size(), 1);
}

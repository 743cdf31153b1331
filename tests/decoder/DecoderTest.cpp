#include "Decoder.h"
#include "Util.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const QString kMediaWarning = "MixerUtil::parseSdp: Malformed SDP: Missing or malformed m=audio line";
const QString kRtpmapWarning = "MixerUtil::parseSdp: Malformed SDP: a=rtpmap line missing or malformed";

QString sdp(const QString& media, const QString& attributes)
{
    return "v=0\r\no=- 0 0 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 239.1.1.1\r\nt=0 0\r\n" + media + "\r\n" + attributes
           + "\r\n";
}

QString sdpFor(const QString& codec, int payloadType, int clockRate)
{
    return sdp(QString("m=audio 5004 RTP/AVP %1").arg(payloadType),
               QString("a=rtpmap:%1 %2/%3").arg(payloadType).arg(codec).arg(clockRate));
}

}  // namespace

TEST(ParseSdp, ReadsTheFirstFormatOfTheFirstAudioLine)
{
    const struct {
        QString media, attributes, codec;
        int payloadType, clockRate;
    } cases[] = {
        {"m=audio 5004 RTP/AVP 8", "a=rtpmap:8 PCMA/8000", "PCMA", 8, 8000},
        {"m=audio 0 RTP/AVP 97", "a=rtpmap:97 PCMA16/16000", "PCMA16", 97, 16000},
        {"m=audio 5004 RTP/AVP 2", "a=rtpmap:2 G726-32/8000", "G726-32", 2, 8000},
        {"m=audio 5004 RTP/AVP\t 99", "a=rtpmap:99 mp_4-x/44100", "mp_4-x", 99, 44100},
        {"m=audio 5004 RTP/AVP 97 8", "a=rtpmap:8 PCMA/8000\r\na=rtpmap:97 mpeg4-generic/48000/2",
         "mpeg4-generic", 97, 48000},
        {"m=audio 5004 RTP/AVP 0", "a=rtpmap:0 PCMU/8000\r\nm=audio 6000 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000", "PCMU",
         0, 8000},
    };
    for (const auto& c : cases) {
        QString codec;
        int payloadType = -1, clockRate = -1;
        EXPECT_TRUE(MixerUtil::parseSdp(sdp(c.media, c.attributes), codec, payloadType, clockRate))
            << c.attributes.toStdString();
        EXPECT_TRUE(codec == c.codec && payloadType == c.payloadType && clockRate == c.clockRate)
            << c.attributes.toStdString();
    }
}

TEST(ParseSdp, RejectsWhatThePatternsDoNotAllow)
{
    const struct {
        QString text, warning;
        int payloadType;  // -1: untouched
    } cases[] = {
        {sdp("m=audio 5004 RTP/AVP 0", "a=sendonly"), kRtpmapWarning, 0},
        {sdp("m=audio 5004 RTP/AVP 8", "a=rtpmap:98 PCMA/8000"), kRtpmapWarning, 8},
        {sdp("m=audio 5004 RTP/AVP 8", "a=rtpmap:8  PCMA/8000"), kRtpmapWarning, 8},
        {sdp("m=audio 5004 RTP/AVP 8", "a=rtpmap:8 G.711/8000"), kRtpmapWarning, 8},
        {sdp("m=audio 5004 RTP/AVP 8", "a=rtpmap:8 PCMA/"), kRtpmapWarning, 8},
        {sdp("m=audio 5004 RTP/SAVP 8", "a=rtpmap:8 PCMA/8000"), kMediaWarning, -1},
        {sdp("m=audio  5004 RTP/AVP 8", "a=rtpmap:8 PCMA/8000"), kMediaWarning, -1},
        {sdp("m=audio 5004 RTP/AVP", "a=rtpmap:8 PCMA/8000"), kMediaWarning, -1},
        {sdp("M=AUDIO 5004 RTP/AVP 8", "a=rtpmap:8 PCMA/8000"), kMediaWarning, -1},
        {QString(), kMediaWarning, -1},
        {QString::fromLatin1("\x01\xff garbage m=audio x RTP/AVP y"), kMediaWarning, -1},
    };
    for (const auto& c : cases) {
        LogCapture log;
        QString codec = "unset";
        int payloadType = -1, clockRate = -1;
        EXPECT_FALSE(MixerUtil::parseSdp(c.text, codec, payloadType, clockRate)) << c.text.toStdString();
        EXPECT_TRUE(codec == "unset" && clockRate == -1 && payloadType == c.payloadType) << c.text.toStdString();
        ASSERT_EQ(log.entries().size(), 1);
        EXPECT_EQ(log.entries()[0].type, QtWarningMsg);
        EXPECT_TRUE(log.entries()[0].text.startsWith(c.warning + " \"")) << log.dump().toStdString();
    }
}

TEST(Decoder, FactoryMapsSdpNamesToCanonicalNamesAndRefusesOthers)
{
    const char* const cases[][2] = {
        {"PCMA", "PCMA"}, {"G711", "PCMA"}, {"PCMA16", "PCMA16"}, {"PCMU", "PCMU"}, {"MPA", "MPA"},
        {"MP2", "MPA"},   {"AAC", "AAC"},   {"AC3", "AC3"},       {"G726", "G726"}, {"L16", ""},
        {"pcma", ""},     {"AC-3", ""},
    };
    for (const auto& c : cases) {
        LogCapture log;
        const std::unique_ptr<Decoder> decoder = Decoder::getDecoderBySdp(sdpFor(c[0], 97, 16000), false, 1.0);
        if (!*c[1]) {
            EXPECT_FALSE(decoder);
            EXPECT_EQ(log.count(QtWarningMsg, QString("Decoder::getDecoderBySdp: Unsupported decoder: \"%1\"").arg(c[0])),
                      1);
            continue;
        }
        ASSERT_TRUE(decoder) << c[0];
        EXPECT_EQ(decoder->codecName(), c[1]);
        EXPECT_TRUE(decoder->payloadType() == 97 && decoder->clockRate() == 16000);
        // Queries compare the canonical name, payload type and clock rate.
        EXPECT_TRUE(decoder->isCodec(c[1]) && decoder->matchesSdp(sdpFor(c[0], 97, 16000)));
        EXPECT_FALSE(decoder->isCodec("G711") || decoder->matchesSdp(sdpFor(c[0], 96, 16000))
                     || decoder->matchesSdp(sdpFor(c[0], 97, 8000)) || decoder->matchesSdp(sdpFor("G729", 97, 16000)));
    }
    LogCapture log;
    EXPECT_FALSE(Decoder::getDecoderBySdp("v=0\r\na=rtpmap:8 PCMA/8000\r\n", false, 1.0));
    EXPECT_EQ(log.count(QtWarningMsg, kMediaWarning), 1);
    EXPECT_EQ(log.entries().size(), 1);
}

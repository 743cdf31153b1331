#include "Util.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

namespace {

const QString kMediaWarning = "MixerUtil::parseSdp: Malformed SDP: Missing or malformed m=audio line";
const QString kRtpmapWarning = "MixerUtil::parseSdp: Malformed SDP: a=rtpmap line missing or malformed";

QString sdp(const QString& media, const QString& attributes)
{
    return "v=0\r\no=- 0 0 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 239.1.1.1\r\nt=0 0\r\n" + media + "\r\n" + attributes
           + "\r\n";
}

TEST(ParseSdp, ReadsTheFirstFormatOfTheFirstAudioLine)
{
    const struct {
        QString media, attributes, codec;
        int payloadType, clockRate;
    } cases[] = {
        {"m=audio 5004 RTP/AVP 8", "a=rtpmap:8 PCMA/8000", "PCMA", 8, 8000},
        {"m=audio 5004 RTP/AVP 97", "a=rtpmap:97 PCMA16/16000", "PCMA16", 97, 16000},
        {"m=audio 5004 RTP/AVP 14", "a=rtpmap:14 MPA/90000", "MPA", 14, 90000},
        {"m=audio 5004 RTP/AVP 100", "a=rtpmap:100 AC3/48000", "AC3", 100, 48000},
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
        EXPECT_TRUE(MixerUtil::parseSdp(sdp(c.media, c.attributes), codec, payloadType, clockRate)) << c.attributes.toStdString();
        EXPECT_EQ(codec, c.codec);
        EXPECT_EQ(payloadType, c.payloadType);
        EXPECT_EQ(clockRate, c.clockRate);
    }

    QString codec;
    int payloadType = -1, clockRate = -1;
    EXPECT_TRUE(MixerUtil::parseSdp("v=0\r\no=PlaybackSession\r\ns=Encrypted Audio Stream\r\nm=audio 0 RTP/AVP 8\r\n"
                                    "a=rtpmap:8 PCMA/8000\r\n",
                                    codec, payloadType, clockRate));
    EXPECT_EQ(codec, "PCMA");
    EXPECT_EQ(payloadType, 8);
    EXPECT_EQ(clockRate, 8000);
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
        EXPECT_EQ(codec, "unset");
        EXPECT_EQ(clockRate, -1);
        EXPECT_EQ(payloadType, c.payloadType);
        ASSERT_EQ(log.entries().size(), 1);
        EXPECT_EQ(log.entries()[0].type, QtWarningMsg);
        EXPECT_TRUE(log.entries()[0].text.startsWith(c.warning + " \"")) << log.dump().toStdString();
    }
}

}  // namespace

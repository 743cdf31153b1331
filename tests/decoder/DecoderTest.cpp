#include "Decoder.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

QString sdpFor(const QString& codec, int payloadType, int clockRate)
{
    return QString("v=0\r\nm=audio 5004 RTP/AVP %1\r\na=rtpmap:%1 %2/%3\r\n").arg(payloadType).arg(codec).arg(clockRate);
}

std::unique_ptr<Decoder> make(const QString& codec, int payloadType = 96, int clockRate = 8000)
{
    return std::unique_ptr<Decoder>(Decoder::getDecoderBySdp(sdpFor(codec, payloadType, clockRate), false, 1.0));
}

TEST(Decoder, FactoryMapsSdpNamesToCanonicalNamesAndRefusesOthers)
{
    const char* const cases[][2] = {
        {"PCMA", "PCMA"}, {"G711", "PCMA"}, {"PCMA16", "PCMA16"}, {"PCMU", "PCMU"},       {"MPA", "MPA"},
        {"MP2", "MPA"},   {"AAC", "AAC"},   {"AC3", "AC3"},       {"G726-32", "G726-32"}, {"G726", "G726"},
        {"L16", ""},      {"pcma", ""},     {"mpeg4-generic", ""}, {"AC-3", ""},          {"G729", ""},
    };
    for (const auto& c : cases) {
        LogCapture log;
        std::unique_ptr<Decoder> decoder = make(c[0], 97, 16000);
        EXPECT_EQ(log.count(QtDebugMsg, QString("Decoder::getDecoderBySdp: request for decoder: \"%1\"").arg(c[0])), 1);
        if (!*c[1]) {
            EXPECT_FALSE(decoder);
            EXPECT_EQ(log.count(QtWarningMsg, QString("Decoder::getDecoderBySdp: Unsupported decoder: \"%1\"").arg(c[0])),
                      1);
            continue;
        }
        ASSERT_TRUE(decoder) << c[0];
        EXPECT_EQ(decoder->codecName(), c[1]);
        EXPECT_EQ(decoder->payloadType(), 97);
        EXPECT_EQ(decoder->clockRate(), 16000);
        EXPECT_TRUE(decoder->isSupportedClockRate(44100));
    }
    LogCapture log;
    EXPECT_FALSE(Decoder::getDecoderBySdp("v=0\r\na=rtpmap:8 PCMA/8000\r\n", false, 1.0));
    EXPECT_EQ(log.count(QtWarningMsg, "MixerUtil::parseSdp: Malformed SDP: Missing or malformed m=audio line"), 1);
    EXPECT_EQ(log.entries().size(), 1);
}

TEST(Decoder, QueriesCompareCanonicalNamesPayloadTypeAndClockRate)
{
    std::unique_ptr<Decoder> g711 = make("G711");
    EXPECT_TRUE(g711->isCodec("PCMA"));
    EXPECT_FALSE(g711->isCodec("G711"));
    EXPECT_FALSE(g711->isCodec("PCMU"));
    std::unique_ptr<Decoder> g726 = make("G726-24");
    EXPECT_TRUE(g726->isCodec("G726-24"));
    EXPECT_FALSE(g726->isCodec("G726-32"));

    std::unique_ptr<Decoder> mpa = make("MPA", 14, 90000);
    EXPECT_TRUE(mpa->isCodec("MPA"));
    EXPECT_TRUE(mpa->matchesSdp(sdpFor("MP2", 14, 90000)));
    EXPECT_FALSE(mpa->matchesSdp(sdpFor("MPA", 15, 90000)));
    EXPECT_FALSE(mpa->matchesSdp(sdpFor("MPA", 14, 48000)));
    EXPECT_FALSE(mpa->matchesSdp(sdpFor("AAC", 14, 90000)));
    EXPECT_TRUE(g726->matchesSdp(sdpFor("G726-24", 96, 8000)));
    EXPECT_FALSE(g726->matchesSdp(sdpFor("G726-24", 2, 8000)));
    EXPECT_FALSE(g726->matchesSdp(sdpFor("G726-32", 96, 8000)));
    LogCapture log;
    EXPECT_FALSE(mpa->matchesSdp(sdpFor("L16", 14, 90000)));
    EXPECT_FALSE(mpa->matchesSdp("garbage"));
    EXPECT_EQ(log.count(QtWarningMsg, "MixerUtil::parseSdp"), 1);
}

}  // namespace

#include "Decoder.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

QString sdpFor(const QString& codec, int payloadType, int clockRate)
{
    return QString("v=0\r\nm=audio 5004 RTP/AVP %1\r\na=rtpmap:%1 %2/%3\r\n").arg(payloadType).arg(codec).arg(clockRate);
}

std::unique_ptr<Decoder> make(const QString& codec, int payloadType, int clockRate)
{
    return std::unique_ptr<Decoder>(Decoder::getDecoderBySdp(sdpFor(codec, payloadType, clockRate), false, 1.0));
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
        std::unique_ptr<Decoder> decoder = make(c[0], 97, 16000);
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
    EXPECT_EQ(log.count(QtWarningMsg, "MixerUtil::parseSdp: Malformed SDP: Missing or malformed m=audio line"), 1);
    EXPECT_EQ(log.entries().size(), 1);
}

}  // namespace

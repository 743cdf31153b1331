#include "Decoder.h"

#include "LogCapture.h"
#include "RtpTestPackets.h"
#include "StderrCapture.h"

#include <gtest/gtest.h>

#include <vector>

// A stream of MPEG audio frame headers whose bodies are noise makes FFmpeg
// complain while it probes and decodes; all of it must arrive in Qt's
// logger under the decoder's category, and nothing on stderr.
TEST(FFmpegLog, BrokenMpegFramesAreLoggedThroughQtNotStderr)
{
    std::unique_ptr<Decoder> decoder(
        Decoder::getDecoderBySdp(RtpTestPackets::sdp(14, QStringLiteral("MPA"), 90000), false, 1.0));
    ASSERT_TRUE(decoder);
    LogCapture log(true);
    StderrCapture err;
    std::vector<unsigned char> out(256000);
    quint32 noise = 12345;
    for (int frame = 0; frame < 200; ++frame) {
        // MPEG-1 layer II, 128 kbit/s, 48 kHz: 384-byte frames.
        std::vector<unsigned char> in(384);
        for (unsigned char& b : in)
            b = (noise = noise * 1103515245u + 12345u) >> 24;
        in[0] = 0xFF;
        in[1] = 0xFD;
        in[2] = 0x84;
        in[3] = 0xC4;
        int n = int(out.size());
        decoder->decode(in.data(), int(in.size()), out.data(), n);
    }
    EXPECT_EQ(err.text().toStdString(), "");
    int fromFFmpeg = 0;
    for (const LogCapture::Entry& e : log.entries()) {
        if (e.text.startsWith('[')) {
            ++fromFFmpeg;
            EXPECT_EQ(e.category, "kavex.decoder") << e.text.toStdString();
            EXPECT_FALSE(e.text.endsWith('\n'));
        }
    }
    EXPECT_GT(fromFFmpeg, 0) << log.dump().toStdString();
}

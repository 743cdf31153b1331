#include "Decoder.h"
#include "backends/PortAudioLibrary.h"

#include "LogCapture.h"
#include "RtpTestPackets.h"

#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <functional>
#include <unistd.h>

// What FFmpeg (damaged MPEG audio frames), ALSA (a device that does not
// exist) and JACK (a server that does not exist) have to say reaches Qt's
// logger under our category, and nothing of it reaches stderr.
TEST(ThirdPartyLog, FFmpegAlsaAndJackSpeakThroughQtNotStderr)
{
    QString error;
    const std::shared_ptr<PortAudioLibrary> portAudio = PortAudioLibrary::acquire(&error);
    ASSERT_TRUE(portAudio) << error.toStdString();
    std::unique_ptr<Decoder> mpa(Decoder::getDecoderBySdp(RtpTestPackets::sdp(14, "MPA", 90000), false, 1.0));
    const auto symbol = [](const char* name) { return dlsym(RTLD_DEFAULT, name); };
    const struct {
        const char* category;
        const char* prefix;
        std::function<void()> provoke;
    } cases[] = {
        {"kavex.decoder", "[mp",
         [&] {
             // MPEG-1 layer II frame headers (128 kbit/s, 48 kHz: 384 bytes) with noise for bodies.
             std::vector<unsigned char> in(384), out(256000);
             for (int frame = 0; frame < 200; ++frame) {
                 for (size_t i = 0; i < in.size(); ++i)
                     in[i] = i < 4 ? "\xFF\xFD\x84\xC4"[i] : (unsigned char)(rand() >> 7);
                 int n = int(out.size());
                 mpa->decode(in.data(), int(in.size()), out.data(), n);
             }
         }},
        {"kavex.device", "ALSA lib ",
         [&] {
             void* pcm = nullptr;  // never opened: nothing to close
             reinterpret_cast<int (*)(void**, const char*, int, int)>(symbol("snd_pcm_open"))(&pcm, "kavex_no_pcm", 0,
                                                                                              0);
         }},
        {"kavex.device", "JACK: ",
         [&] {
             int status = 0;  // JackNoStartServer | JackServerName: fails, nothing to close
             reinterpret_cast<void* (*)(const char*, int, int*, ...)>(symbol("jack_client_open"))(
                 "kavex-test", 0x01 | 0x04, &status, "kavex-no-server");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.prefix);
        LogCapture log(true);
        QTemporaryFile err;
        ASSERT_TRUE(err.open());
        const int saved = dup(2);
        dup2(err.handle(), 2);
        c.provoke();
        dup2(saved, 2);
        close(saved);
        EXPECT_EQ(err.readAll().toStdString(), "");
        int routed = 0;
        for (const LogCapture::Entry& e : log.entries())
            routed += e.text.startsWith(c.prefix) && e.category == c.category && !e.text.endsWith('\n');
        EXPECT_GT(routed, 0) << log.dump().toStdString();
    }
}

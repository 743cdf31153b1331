#include "backends/PortAudioLibrary.h"

#include "LogCapture.h"
#include "StderrCapture.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <functional>

namespace {
template <typename T>
T lookUp(const char* symbol)
{
    return reinterpret_cast<T>(dlsym(RTLD_DEFAULT, symbol));
}
}  // namespace

// With PortAudio initialised, what ALSA and JACK have to say (here about a
// device and a server that do not exist) reaches Qt's logger as lines of
// the device category, and nothing of it stderr.
TEST(NativeAudioLog, AlsaAndJackMessagesAreLoggedThroughQtNotStderr)
{
    QString error;
    const std::shared_ptr<PortAudioLibrary> library = PortAudioLibrary::acquire(&error);
    ASSERT_TRUE(library) << error.toStdString();
    using PcmOpen = int (*)(void**, const char*, int, int);
    using PcmClose = int (*)(void*);
    using ClientOpen = void* (*)(const char*, int, int*, ...);
    using ClientClose = int (*)(void*);
    const struct {
        const char* library;
        std::function<void()> provoke;
        const char* fragment;
    } cases[] = {
        {"ALSA",
         [] {
             auto open = lookUp<PcmOpen>("snd_pcm_open");
             ASSERT_TRUE(open);
             void* pcm = nullptr;
             if (open(&pcm, "kavex_no_such_pcm", 0, 0) == 0)
                 lookUp<PcmClose>("snd_pcm_close")(pcm);
         },
         "ALSA lib "},
        {"JACK",
         [] {
             auto open = lookUp<ClientOpen>("jack_client_open");
             ASSERT_TRUE(open);
             int status = 0;
             // JackNoStartServer | JackServerName
             if (void* client = open("kavex-test", 0x01 | 0x04, &status, "kavex-no-such-server"))
                 lookUp<ClientClose>("jack_client_close")(client);
         },
         "JACK: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.library);
        LogCapture log(true);
        StderrCapture err;
        c.provoke();
        EXPECT_EQ(err.text().toStdString(), "");
        int routed = 0;
        for (const LogCapture::Entry& e : log.entries())
            routed += e.text.startsWith(c.fragment) && e.category == "kavex.device" && e.type == QtDebugMsg;
        EXPECT_GT(routed, 0) << log.dump().toStdString();
    }
}

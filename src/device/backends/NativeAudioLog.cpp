#include "NativeAudioLog.h"

#include "LogCategories.h"

#include <QDebug>
#include <QString>

#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>

namespace {
using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
using AlsaSetHandler = int (*)(AlsaHandler);
using JackMessage = void (*)(const char*);
using JackSetFunction = void (*)(JackMessage);

template <typename T>
T lookUp(const char* symbol)
{
    return reinterpret_cast<T>(dlsym(RTLD_DEFAULT, symbol));
}

// The lines name the library as their function (%{function} in a message
// pattern), as they come from no function of ours. ALSA's keep its own form:
// "ALSA lib pcm.c:2666:(snd_pcm_open_noupdate) Unknown PCM x".
void logAlsa(const char* file, int line, const char* function, int error, const char* format, va_list args)
{
    if (!lcKavexDevice().isDebugEnabled())
        return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    QString message =
        QString::asprintf("ALSA lib %s:%d:(%s) %s", file ? file : "", line, function ? function : "", text);
    if (error != 0)
        message += ": " + qt_error_string(error < 0 ? -error : error);
    QMessageLogger(nullptr, 0, "ALSA", lcKavexDevice().categoryName()).debug().noquote() << message;
}

void alsaHandler(const char* file, int line, const char* function, int error, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    logAlsa(file, line, function, error, format, args);
    va_end(args);
}

void jackMessage(const char* text)
{
    if (lcKavexDevice().isDebugEnabled())
        QMessageLogger(nullptr, 0, "JACK", lcKavexDevice().categoryName()).debug("JACK: %s", text ? text : "");
}
}  // namespace

void NativeAudioLog::install()
{
    if (auto setHandler = lookUp<AlsaSetHandler>("snd_lib_error_set_handler"))
        setHandler(&alsaHandler);
    if (auto setError = lookUp<JackSetFunction>("jack_set_error_function"))
        setError(&jackMessage);
    if (auto setInfo = lookUp<JackSetFunction>("jack_set_info_function"))
        setInfo(&jackMessage);
}

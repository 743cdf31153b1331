#pragma once

// Routes the diagnostics of the native sound libraries under PortAudio,
// ALSA and JACK, into Qt's message logger as debug lines of the category
// kavex.device: on a machine without a sound card or without a JACK server
// their probes write dozens of lines per start that are noise to a user,
// and none of them may reach stderr on its own. Both libraries are reached
// through the dynamic linker, as PortAudio loads them: nothing here needs
// their headers, and nothing happens when they are not loaded. Any thread.
class NativeAudioLog
{
public:
    // Sets ALSA's process-wide error handler and JACK's error and info
    // functions. PortAudio's JACK layer sets its own error function when it
    // initialises, so this is called again after that.
    static void install();
};

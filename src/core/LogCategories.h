#pragma once

#include <QLoggingCategory>

// One logging category per subsystem, so that a host can filter the
// library's lines with QT_LOGGING_RULES or QLoggingCategory::setFilterRules
// (for example "kavex.decoder.debug=false"). Messages of the third-party
// libraries (FFmpeg, ALSA, JACK) are routed into the category of the
// subsystem that uses them. Usable from any thread.
Q_DECLARE_LOGGING_CATEGORY(lcKavexCore)
Q_DECLARE_LOGGING_CATEGORY(lcKavexContracts)
Q_DECLARE_LOGGING_CATEGORY(lcKavexDsp)
Q_DECLARE_LOGGING_CATEGORY(lcKavexDevice)
Q_DECLARE_LOGGING_CATEGORY(lcKavexDecoder)
Q_DECLARE_LOGGING_CATEGORY(lcKavexPresentation)
Q_DECLARE_LOGGING_CATEGORY(lcKavexChannels)
Q_DECLARE_LOGGING_CATEGORY(lcKavexNetwork)
Q_DECLARE_LOGGING_CATEGORY(lcKavexRecording)
Q_DECLARE_LOGGING_CATEGORY(lcKavexMixer)

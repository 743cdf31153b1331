#include "LogCategories.h"

Q_LOGGING_CATEGORY(lcKavexCore, "kavex.core")
Q_LOGGING_CATEGORY(lcKavexContracts, "kavex.contracts")
Q_LOGGING_CATEGORY(lcKavexDsp, "kavex.dsp")
Q_LOGGING_CATEGORY(lcKavexDevice, "kavex.device")
Q_LOGGING_CATEGORY(lcKavexDecoder, "kavex.decoder")
Q_LOGGING_CATEGORY(lcKavexPresentation, "kavex.presentation")
Q_LOGGING_CATEGORY(lcKavexChannels, "kavex.channels")
Q_LOGGING_CATEGORY(lcKavexNetwork, "kavex.network")
Q_LOGGING_CATEGORY(lcKavexRecording, "kavex.recording")
Q_LOGGING_CATEGORY(lcKavexMixer, "kavex.mixer")

#pragma once

// Everything a host application needs to use the mixer.
#include "AudioConverter.h"
#include "AudioConverter2.h"
#include "Channel.h"
#include "ConvertAudio.h"
#include "G711.h"
#include "KavexAssert.h"
#include "Mixer.h"
#include "NTPRange.h"
#include "NTPTimestamp.h"
#include "PresentationNotifier.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "SharedBufferPool.h"
#include "SharedPoolBuffer.h"
#include "SoundFileChannel.h"
#include "VariableBuffer.h"

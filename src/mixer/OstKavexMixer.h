#pragma once

// Everything a host application needs to use the mixer.
#include "Channel.h"
#include "KavexAssert.h"
#include "Mixer.h"
#include "NTPRange.h"
#include "NTPTimestamp.h"
#include "PresentationNotifier.h"
#include "SharedBufferPool.h"
#include "SharedPoolBuffer.h"
#include "VariableBuffer.h"

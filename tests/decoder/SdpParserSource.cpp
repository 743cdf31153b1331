// The decoders read SDP through MixerUtil::parseSdp, which lives with the
// network code; this binary links only the contracts and decoder objects, so
// it compiles that one source itself instead of all of the network objects.
#include "../../src/network/Util.cpp"

// The encryption layer of stream units and relayed packets. Input starting
// with an odd byte: the rest is wrapped in a layer for the test key and must
// come back unchanged. Otherwise the input itself is offered as a layer: it
// is either not one (handed back as it is) or refused (empty), since only
// the key's holder can seal for it.
#include "SharedPoolBuffer.h"
#include "StreamUnitDecrypter.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {
struct Keys {
    Keys()
    {
        QByteArray secret(32, 0);
        for (int i = 0; i < 32; ++i)
            secret[i] = char(i + 1);
        publicKey = StreamUnitDecrypter::publicKeyOf(secret);
        // A key of the wrong size and a wrong key are tried before the right one.
        decrypter.setListOfPossiblePrivateKeys({QByteArray(31, 'x'), QByteArray(32, 'y'), secret});
    }
    QByteArray publicKey;
    StreamUnitDecrypter decrypter;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    static const Keys keys;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), int(size - 1));
    if (data[0] & 1) {
        const QByteArray sealed = StreamUnitDecrypter::encrypt(rest, keys.publicKey);
        const SharedPoolBuffer plain = keys.decrypter.decrypt(SharedPoolBuffer::fromByteArray(sealed));
        if (plain.getBufferSize() != rest.size() ||
            (rest.size() && std::memcmp(plain.getBuffer(), rest.constData(), size_t(rest.size())) != 0))
            __builtin_trap();
        return 0;
    }
    const SharedPoolBuffer in = SharedPoolBuffer::fromData(data, int(size));
    const SharedPoolBuffer out = keys.decrypter.decrypt(in);
    const bool layer = StreamUnitDecrypter::isLayer(data, int(size));
    if (layer ? !out.isEmpty() : out.getBuffer() != in.getBuffer())
        __builtin_trap();
    return 0;
}

#include "StreamUnitDecrypter.h"
#include "LogCategories.h"

#include "CryptoTokenProvider.h"

#include <QDebug>
#include <cstring>
#include <sodium.h>

namespace {
const char kMagic[4] = {'K', 'V', 'X', 'L'};
const unsigned char kVersion = 1;
const int kHeaderSize = 5;
const int kKeySize = 32;

bool sodiumReady()
{
    static const bool ok = sodium_init() >= 0;
    return ok;
}
}  // namespace

StreamUnitDecrypter::StreamUnitDecrypter() = default;

StreamUnitDecrypter::StreamUnitDecrypter(CryptoTokenProvider* primary, CryptoTokenProvider* secondary)
    : m_primary(primary)
    , m_secondary(secondary)
{
}

void StreamUnitDecrypter::setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys)
{
    m_keys = keys;
}

bool StreamUnitDecrypter::isLayer(const unsigned char* data, int size)
{
    return data && size >= kHeaderSize && std::memcmp(data, kMagic, 4) == 0 && data[4] == kVersion;
}

std::vector<QByteArray> StreamUnitDecrypter::candidateKeys() const
{
    std::vector<QByteArray> keys = m_keys;
    for (CryptoTokenProvider* p : {m_primary, m_secondary})
        if (p)
            for (const QByteArray& k : p->privateKeys())
                keys.push_back(k);
    return keys;
}

SharedPoolBuffer StreamUnitDecrypter::decrypt(const SharedPoolBuffer& data) const
{
    const unsigned char* bytes = data.getBuffer();
    const int size = data.getBufferSize();
    if (!isLayer(bytes, size))
        return data;
    const int sealedSize = size - kHeaderSize;
    if (!sodiumReady() || sealedSize < int(crypto_box_SEALBYTES))
        return SharedPoolBuffer();
    const int plainSize = sealedSize - int(crypto_box_SEALBYTES);
    SharedPoolBuffer out = SharedPoolBuffer::fromData(nullptr, 0);
    unsigned char* plain = out.getVariableBuffer()->getBuffer(plainSize);
    for (const QByteArray& key : candidateKeys()) {
        if (key.size() != kKeySize)
            continue;
        unsigned char pk[crypto_box_PUBLICKEYBYTES];
        const auto* sk = reinterpret_cast<const unsigned char*>(key.constData());
        crypto_scalarmult_base(pk, sk);
        if (crypto_box_seal_open(plain, bytes + kHeaderSize, quint64(sealedSize), pk, sk) == 0)
            return out;
    }
    return SharedPoolBuffer();
}

QByteArray StreamUnitDecrypter::encrypt(const QByteArray& plain, const QByteArray& publicKey)
{
    if (!sodiumReady() || publicKey.size() != kKeySize) {
        qCWarning(lcKavexContracts) << "StreamUnitDecrypter::encrypt: Public key must have" << kKeySize << "bytes, not"
                                    << publicKey.size();
        return QByteArray();
    }
    QByteArray out(kHeaderSize + plain.size() + int(crypto_box_SEALBYTES), 0);
    std::memcpy(out.data(), kMagic, 4);
    out[4] = char(kVersion);
    crypto_box_seal(reinterpret_cast<unsigned char*>(out.data() + kHeaderSize),
                    reinterpret_cast<const unsigned char*>(plain.constData()), quint64(plain.size()),
                    reinterpret_cast<const unsigned char*>(publicKey.constData()));
    return out;
}

void StreamUnitDecrypter::generateKeyPair(QByteArray& secretKey, QByteArray& publicKey)
{
    sodiumReady();
    secretKey.resize(kKeySize);
    publicKey.resize(kKeySize);
    crypto_box_keypair(reinterpret_cast<unsigned char*>(publicKey.data()),
                       reinterpret_cast<unsigned char*>(secretKey.data()));
}

QByteArray StreamUnitDecrypter::publicKeyOf(const QByteArray& secretKey)
{
    if (!sodiumReady() || secretKey.size() != kKeySize)
        return QByteArray();
    QByteArray pk(kKeySize, 0);
    crypto_scalarmult_base(reinterpret_cast<unsigned char*>(pk.data()),
                           reinterpret_cast<const unsigned char*>(secretKey.constData()));
    return pk;
}

#pragma once

#include "SharedPoolBuffer.h"

#include <QByteArray>
#include <vector>

class CryptoTokenProvider;

// Removes one encryption layer from stream units and RTP messages.
//
// A layer is the 5-byte header "KVXL" + version 1, followed by a sealed box
// (X25519 + XSalsa20-Poly1305, anonymous sender) of the inner bytes to the
// public key of one of the possible private keys. Keys are 32-byte X25519
// secret keys: those given by setListOfPossiblePrivateKeys and those of the
// token providers.
class OSTKAVEXMIXER_EXPORT StreamUnitDecrypter
{
public:
    StreamUnitDecrypter();
    StreamUnitDecrypter(CryptoTokenProvider* primary, CryptoTokenProvider* secondary);

    void setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys);
    // The inner bytes when a key opens the layer; the same buffer when it is
    // not a layer; an empty buffer when no key opens it.
    SharedPoolBuffer decrypt(const SharedPoolBuffer& data) const;

    static bool isLayer(const unsigned char* data, int size);
    // Wraps `plain` in one layer for the holder of `publicKey` (32 bytes);
    // an empty result for a key of the wrong size.
    static QByteArray encrypt(const QByteArray& plain, const QByteArray& publicKey);
    // A fresh key pair: secret key and public key, 32 bytes each.
    static void generateKeyPair(QByteArray& secretKey, QByteArray& publicKey);
    // The public key of a 32-byte secret key; empty for a key of the wrong size.
    static QByteArray publicKeyOf(const QByteArray& secretKey);

private:
    std::vector<QByteArray> candidateKeys() const;

    CryptoTokenProvider* m_primary = nullptr;
    CryptoTokenProvider* m_secondary = nullptr;
    std::vector<QByteArray> m_keys;
};

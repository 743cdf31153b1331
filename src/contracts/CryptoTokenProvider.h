#pragma once

#include "OstKavexMixerGlobal.h"

#include <QByteArray>
#include <vector>

// A source of private keys beyond the list the host hands to the mixer, for
// example a key store of the host. Keys are 32-byte X25519 secret keys.
class CryptoTokenProvider
{
public:
    virtual ~CryptoTokenProvider() = default;
    virtual std::vector<QByteArray> privateKeys() const = 0;
};

#pragma once

#include "OstKavexMixerGlobal.h"

class CryptoTokenProvider;

// Process-wide switches of the host installation. The library runs in local
// mode unless the host says otherwise; the crypto token providers are the
// host's (none by default).
class FeatureList
{
public:
    static FeatureList* globalInstance();

    bool isLocalMode() const { return m_localMode; }
    void setLocalMode(bool local) { m_localMode = local; }
    // primary == true: the provider of the first kind, false: the second.
    CryptoTokenProvider* getCryptoTokenProvider(bool primary) const;
    // The list does not own the providers.
    void setCryptoTokenProvider(bool primary, CryptoTokenProvider* provider);

private:
    FeatureList() = default;
    bool m_localMode = true;
    CryptoTokenProvider* m_primary = nullptr;
    CryptoTokenProvider* m_secondary = nullptr;
};

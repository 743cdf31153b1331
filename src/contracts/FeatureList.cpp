#include "FeatureList.h"

FeatureList* FeatureList::globalInstance()
{
    static FeatureList instance;
    return &instance;
}

CryptoTokenProvider* FeatureList::getCryptoTokenProvider(bool primary) const
{
    return primary ? m_primary : m_secondary;
}

void FeatureList::setCryptoTokenProvider(bool primary, CryptoTokenProvider* provider)
{
    (primary ? m_primary : m_secondary) = provider;
}

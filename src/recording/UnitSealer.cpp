#include "UnitSealer.h"

#include "StreamUnitDecrypter.h"

#include <stdexcept>

UnitSealer::UnitSealer(const std::vector<QByteArray>& publicKeys) : m_keys(publicKeys)
{
    for (size_t i = 0; i < m_keys.size(); ++i)
        if (m_keys[i].size() != 32)
            throw std::invalid_argument(QStringLiteral("UnitSealer: public key %1 has %2 bytes, not 32")
                                            .arg(i + 1)
                                            .arg(m_keys[i].size())
                                            .toStdString());
}

QByteArray UnitSealer::seal(const QByteArray& plain) const
{
    QByteArray data = plain;
    for (const QByteArray& key : m_keys)
        data = StreamUnitDecrypter::encrypt(data, key);
    return data;
}

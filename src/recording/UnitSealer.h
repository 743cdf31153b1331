#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

// Seals stored units to the holders of one or more public keys, in the layer
// format of encrypted live streams ("KVXL", version 1, sealed box). Each key
// adds one layer, the first key innermost: a player peels them off in turn,
// so it needs the private key of every layer. Immutable after construction;
// safe on any thread.
class UnitSealer
{
public:
    // Keys of 32 bytes (X25519 public keys). Throws std::invalid_argument
    // naming the first key of another size.
    explicit UnitSealer(const std::vector<QByteArray>& publicKeys);

    bool isSealing() const { return !m_keys.empty(); }
    // The bytes inside one layer per key; unchanged without keys.
    QByteArray seal(const QByteArray& plain) const;

private:
    std::vector<QByteArray> m_keys;
};

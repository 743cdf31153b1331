#include "VirtualSoundFaults.h"
#include "LogCategories.h"

#include "KavexMutex.h"

#include <QDebug>
#include <QStringList>

namespace {
KavexMutex s_appliedLock;
}  // namespace

VirtualSoundFaults& VirtualSoundFaults::of(SoundBackend::Direction direction)
{
    static VirtualSoundFaults playback, capture;
    return direction == SoundBackend::DIRECTION_PLAYBACK ? playback : capture;
}

bool VirtualSoundFaults::apply(const QString& options)
{
    bool stall = false, failLock = false, ok = true;
    int failOpen = 0, drift = 0;
    quint32 burst = 0;
    for (const QString& option : options.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = option.section(QLatin1Char('='), 0, 0).trimmed().toLower();
        const QString value = option.section(QLatin1Char('='), 1).trimmed();
        bool valid = true;
        if (name == QLatin1String("stall")) {
            stall = true;
        } else if (name == QLatin1String("faillock")) {
            failLock = true;
        } else if (name == QLatin1String("failopen")) {
            failOpen = value.isEmpty() ? -1 : value.toInt(&valid);
            valid = valid && failOpen >= 0;
        } else if (name == QLatin1String("burst")) {
            burst = value.toUInt(&valid);
            valid = valid && burst >= 1 && burst <= 65536;
        } else if (name == QLatin1String("drift")) {
            drift = qRound(value.toDouble(&valid) * 10000.0);
            valid = valid && qAbs(drift) <= MAX_DRIFT_PPM;
        } else {
            valid = false;
        }
        if (!valid) {
            qCWarning(lcKavexDevice).noquote() << "VirtualSoundFaults::apply: unknown fault option" << option
                                               << "(stall, faillock, failopen[=N], burst=FRAMES, drift=PERCENT)";
            ok = false;
        }
    }
    if (!ok)
        return false;
    stalled = stall;
    lockFails = failLock;
    opensToFail = failOpen;
    burstFrames = burst;
    driftPpm = drift;
    return true;
}

void VirtualSoundFaults::applyOnce(const QString& options)
{
    KavexLocker lock(&s_appliedLock);
    if (options == m_applied)
        return;
    m_applied = options;
    apply(options);
}

void VirtualSoundFaults::reset()
{
    KavexLocker lock(&s_appliedLock);
    m_applied.clear();
    apply(QString());
}

bool VirtualSoundFaults::takeOpenFailure()
{
    int left = opensToFail.load();
    while (left != 0) {
        if (left < 0 || opensToFail.compare_exchange_weak(left, left - 1))
            return true;
    }
    return false;
}

#include "IIRFilter.h"
#include "LogCategories.h"

#include <QDebug>
#include <QtMath>
#include <cmath>

IIRFilter::IIRFilter(int kind, int stages, double frequency, double gain, double q)
    : m_stages(stages > 0 ? stages : 0)
    , m_left1(new double[size_t(m_stages)]())
    , m_right1(new double[size_t(m_stages)]())
    , m_left2(new double[size_t(m_stages)]())
    , m_right2(new double[size_t(m_stages)]())
{
    const double k = 1.0 / std::tan(M_PI * frequency);
    const double k2 = k * k;
    switch (kind) {
    case KIND_LOWPASS: {
        const double n = k2 + M_SQRT2 * k + 1.0;
        m_b0 = gain / n;
        m_b1 = 2.0 / n;
        m_b2 = 1.0 / n;
        m_a1 = 2.0 * (1.0 - k2) / n;
        m_a2 = (k2 - M_SQRT2 * k + 1.0) / n;
        break;
    }
    case KIND_HIGHPASS: {
        const double n = k2 + M_SQRT2 * k + 1.0;
        m_b0 = k2 * gain / n;
        m_b1 = -2.0 * k2 / n;
        m_b2 = k2 / n;
        m_a1 = 2.0 * (1.0 - k2) / n;
        m_a2 = (k2 - M_SQRT2 * k + 1.0) / n;
        break;
    }
    case KIND_NOTCH: {
        const double n = q * k2 + k + q;
        m_b0 = m_b2 = q * (k2 + 1.0) / n;
        m_b1 = m_a1 = 2.0 * q * (1.0 - k2) / n;
        m_a2 = (q * k2 - k + q) / n;
        break;
    }
    default:
        qCWarning(lcKavexDsp) << "IIRFilter::IIRFilter: Unknown filter kind" << kind << "- passing samples unchanged";
        m_stages = 0;
        break;
    }
}

IIRFilter::~IIRFilter() = default;

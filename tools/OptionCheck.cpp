#include "OptionCheck.h"

#include <QFile>
#include <QTextStream>

OptionCheck::OptionCheck(const QCommandLineParser& parser, QString command)
    : m_parser(parser)
    , m_command(std::move(command))
{
}

bool OptionCheck::fail(const QString& option, const QString& reason) const
{
    QTextStream(stderr) << "kavexmix " << m_command << ": --" << option << " '" << m_parser.value(option)
                        << "': " << reason << "\n";
    return false;
}

bool OptionCheck::required(const QString& option, const QString& what) const
{
    if (m_parser.isSet(option))
        return true;
    QTextStream(stderr) << "kavexmix " << m_command << ": --" << option << " is required: " << what << "\n";
    return false;
}

bool OptionCheck::port(const QString& option, quint16* port, uint min) const
{
    if (!m_parser.isSet(option))
        return true;
    bool ok = false;
    const uint p = m_parser.value(option).toUInt(&ok);
    if (!ok || p < min || p > 65535)
        return fail(option, QString("%1; give a port from %2 to 65535%3")
                                .arg(ok ? "out of range" : "not a port number")
                                .arg(min)
                                .arg(min == 0 ? " (0: any free one)" : ""));
    *port = quint16(p);
    return true;
}

bool OptionCheck::number(const QString& option, double min, double max, const QString& range, double* value) const
{
    if (!m_parser.isSet(option))
        return true;
    bool ok = false;
    const double v = m_parser.value(option).toDouble(&ok);
    if (!ok || !(v >= min && v <= max))  // also refuses nan
        return fail(option, QString(ok ? "out of range" : "not a number") + "; give " + range);
    *value = v;
    return true;
}

bool OptionCheck::integer(const QString& option, int min, int max, bool nonZero, int* value) const
{
    if (!m_parser.isSet(option))
        return true;
    bool ok = false;
    const int v = m_parser.value(option).toInt(&ok);
    if (!ok || v < min || v > max || (nonZero && v == 0))
        return fail(option, QString("%1; give a whole number from %2 to %3%4")
                                .arg(ok ? "out of range" : "not a whole number")
                                .arg(min)
                                .arg(max)
                                .arg(nonZero ? " other than 0" : ""));
    *value = v;
    return true;
}

bool OptionCheck::seconds(const QString& option, double* value) const
{
    double v = *value;
    if (!number(option, 0, kMaxSeconds, QString("seconds above 0, up to %1").arg(kMaxSeconds, 0, 'f', 0), &v))
        return false;
    if (m_parser.isSet(option) && v == 0)
        return fail(option, QString("out of range; give seconds above 0, up to %1").arg(kMaxSeconds, 0, 'f', 0));
    *value = v;
    return true;
}

bool OptionCheck::choice(const QString& option, const QStringList& choices, QString* value) const
{
    if (!m_parser.isSet(option))
        return true;
    const QString v = m_parser.value(option).toLower();
    if (!choices.contains(v))
        return fail(option, "unknown value; give one of " + choices.join(", "));
    *value = v;
    return true;
}

bool OptionCheck::readableFiles(const QString& option) const
{
    for (const QString& path : m_parser.values(option)) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            QTextStream(stderr) << "kavexmix " << m_command << ": --" << option << " '" << path << "': cannot read it ("
                                << f.errorString() << "); give a readable file\n";
            return false;
        }
    }
    return true;
}

bool OptionCheck::address(const QString& option, QHostAddress* address, bool multicast) const
{
    if (!m_parser.isSet(option))
        return true;
    const QHostAddress a(m_parser.value(option));
    if (a.isNull() || (multicast && !a.isMulticast()))
        return fail(option, multicast ? "not a multicast group; give 224.0.0.0 to 239.255.255.255 or ff00::/8"
                                      : "not an address; give a numeric IPv4 or IPv6 address");
    *address = a;
    return true;
}

bool OptionCheck::hostPorts(const QString& option, QList<QPair<QHostAddress, quint16>>* targets) const
{
    for (const QString& item : m_parser.value(option).split(',', Qt::SkipEmptyParts)) {
        QString name;
        quint16 port = 0;
        const QHostAddress host(splitHostPort(item, &name, &port) ? name : QString());
        if (host.isNull())
            return fail(option, (item == m_parser.value(option) ? QString() : "'" + item + "' is ") +
                                    "not HOST:PORT; give a numeric address and a port from 1 to 65535");
        targets->append({host, port});
    }
    if (m_parser.isSet(option) && targets->isEmpty())
        return fail(option, "empty; give HOST:PORT with a numeric address and a port from 1 to 65535");
    return true;
}

bool OptionCheck::device(const QString& option) const
{
    if (!m_parser.isSet(option))
        return true;
    const QString v = m_parser.value(option).trimmed();
    if (v.isEmpty() || v.compare("wav:", Qt::CaseInsensitive) == 0)
        return fail(option, "no device; give auto, virtual, wav:PATH or a name from kavexmix devices");
    return true;
}

bool OptionCheck::splitHostPort(const QString& text, QString* name, quint16* port)
{
    const int colon = text.lastIndexOf(':');
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (colon <= 0 || !ok || p == 0 || p > 65535)
        return false;
    *name = text.left(colon).remove('[').remove(']');
    *port = quint16(p);
    return true;
}

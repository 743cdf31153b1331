#pragma once

#include <QCommandLineParser>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Checks the option values of one kavexmix command before it starts
// anything. A check that fails prints one line on stderr,
// "kavexmix COMMAND: --OPTION 'VALUE': reason; the valid range", and returns
// false (the command then exits with 2). An option that was not given passes
// and leaves the value as the caller initialised it. Runs on the main thread.
class OptionCheck
{
public:
    // The longest run a --seconds option may ask for (the event loop's timer
    // counts milliseconds in an int).
    static constexpr double kMaxSeconds = 2000000.0;

    OptionCheck(const QCommandLineParser& parser, QString command);

    const QCommandLineParser& parser() const { return m_parser; }
    const QString& command() const { return m_command; }

    // Prints the line for `option` (and its value) with `reason`; returns false.
    bool fail(const QString& option, const QString& reason) const;
    // A required option: false with a line naming it when it was not given.
    bool required(const QString& option, const QString& what) const;

    // A port from `min` (0: any free one) to 65535.
    bool port(const QString& option, quint16* port, uint min = 0) const;
    // A number from `min` to `max`; `range` says it in words for the message.
    bool number(const QString& option, double min, double max, const QString& range, double* value) const;
    // A whole number from `min` to `max`, never 0 when `nonZero`.
    bool integer(const QString& option, int min, int max, bool nonZero, int* value) const;
    // A duration above 0 and up to kMaxSeconds.
    bool seconds(const QString& option, double* value) const;
    // One of `choices`, compared case-insensitively; `*value` gets it in lower case.
    bool choice(const QString& option, const QStringList& choices, QString* value) const;
    // Every value of a repeatable option names a readable file.
    bool readableFiles(const QString& option) const;
    // A numeric IPv4 or IPv6 address (a multicast group when `multicast`).
    bool address(const QString& option, QHostAddress* address, bool multicast = false) const;
    // A comma-separated list of HOST:PORT ([V6]:PORT) with numeric hosts and ports 1..65535.
    bool hostPorts(const QString& option, QList<QPair<QHostAddress, quint16>>* targets) const;
    // A sound device: auto, virtual, wav:PATH or a device name.
    bool device(const QString& option) const;

    // Splits "NAME:PORT" or "[V6]:PORT" with a port of 1..65535.
    static bool splitHostPort(const QString& text, QString* name, quint16* port);

private:
    const QCommandLineParser& m_parser;
    QString m_command;
};

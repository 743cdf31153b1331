#pragma once

#include <QByteArray>
#include <QString>

// The shared secret a unit server's clients present: read from a file (one
// line, surrounding white space ignored), made when the server starts
// without one, and compared in constant time so that the time a refusal
// takes tells nothing about the token.
class AccessToken
{
public:
    // "@FILE" reads the token from FILE; anything else is the token itself.
    // False, with the reason in `error`, when the file cannot be read or is empty.
    static bool fromArgument(const QString& argument, QByteArray* token, QString* error);
    static bool readFile(const QString& path, QByteArray* token, QString* error);
    // Writes a new random token (64 hex digits) to `path`, readable by its owner only.
    static bool createFile(const QString& path, QByteArray* token, QString* error);
    // Takes as long for any two tokens of the same length.
    static bool equal(const QByteArray& a, const QByteArray& b);
};

#include "AccessToken.h"

#include <QFile>
#include <QRandomGenerator>

bool AccessToken::fromArgument(const QString& argument, QByteArray* token, QString* error)
{
    if (argument.startsWith(QLatin1Char('@')))
        return readFile(argument.mid(1), token, error);
    *token = argument.toUtf8().trimmed();
    if (token->isEmpty()) {
        *error = QStringLiteral("no access token given");
        return false;
    }
    return true;
}

bool AccessToken::readFile(const QString& path, QByteArray* token, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the token file %1: %2").arg(path, file.errorString());
        return false;
    }
    *token = file.read(4096).trimmed();
    if (token->isEmpty()) {
        *error = QStringLiteral("the token file %1 is empty").arg(path);
        return false;
    }
    return true;
}

bool AccessToken::createFile(const QString& path, QByteArray* token, QString* error)
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray fresh = QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) || file.write(fresh + '\n') != fresh.size() + 1) {
        *error = QStringLiteral("cannot write the token file %1: %2").arg(path, file.errorString());
        return false;
    }
    *token = fresh;
    return true;
}

bool AccessToken::equal(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    // Through a volatile read, so the compiler cannot stop at the first difference.
    volatile unsigned char result = diff;
    return result == 0;
}

#include "StoreLocation.h"

#include "Configuration.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace {
const QString kPostgresScheme = QStringLiteral("postgresql");
}

StoreLocation StoreLocation::parse(const QString& location)
{
    StoreLocation result;
    const QString trimmed = location.trimmed();
    result.m_text = trimmed;
    if (!trimmed.startsWith(kPostgresScheme + QLatin1Char(':'), Qt::CaseInsensitive)) {
        const QString path = trimmed.isEmpty()
                                 ? Configuration::makeDirectory(Configuration::getDataDirectory(), defaultFileName())
                                 : trimmed;
        result.m_kind = KIND_SQLITE;
        result.m_filePath = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        result.m_text = result.m_filePath;
        return result;
    }
    const QUrl url(trimmed, QUrl::StrictMode);
    const QString database = url.path().mid(1);
    // Messages name the location without its password, if it has one.
    result.m_text = url.isValid() ? url.toString(QUrl::RemovePassword) : QStringLiteral("The store location");
    if (!url.isValid() || url.host().isEmpty() || url.userName().isEmpty() || database.isEmpty() ||
        database.contains(QLatin1Char('/')) || url.hasQuery() || url.hasFragment()) {
        result.m_error =
            QStringLiteral("%1 is not of the form postgresql://USER@HOST:PORT/DATABASE").arg(result.m_text);
        return result;
    }
    if (!url.password().isEmpty()) {
        result.m_error = QStringLiteral("%1: a password does not belong in the store location; put it in the "
                                        "settings (RecordingStore/Password) or in the PGPASSFILE")
                             .arg(result.m_text);
        return result;
    }
    result.m_kind = KIND_POSTGRESQL;
    result.m_host = url.host();
    result.m_port = url.port(DEFAULT_POSTGRESQL_PORT);
    result.m_user = url.userName();
    result.m_database = database;
    return result;
}

QString StoreLocation::resolve(const QString& location)
{
    // An unusable location stays as named, so that opening it fails the same way.
    const StoreLocation parsed = parse(location);
    return parsed.kind() == KIND_INVALID ? location.trimmed() : parsed.toString();
}

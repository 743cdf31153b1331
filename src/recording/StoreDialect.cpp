#include "StoreDialect.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

QString StoreDialect::connectOptions()
{
    return QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs());
}

QStringList StoreDialect::sessionSetup()
{
    // WAL survives a killed writer with every committed transaction; NORMAL
    // synchronisation is durable in WAL mode up to the last checkpointed
    // commit and loses at most the last commits on power loss, never
    // consistency.
    return {QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA synchronous=NORMAL"),
            QStringLiteral("PRAGMA foreign_keys=ON")};
}

int StoreDialect::readVersion(QSqlDatabase& db, QString* error)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        *error = q.lastError().text();
        return -1;
    }
    return q.value(0).toInt();
}

bool StoreDialect::writeVersion(QSqlDatabase& db, int version, QString* error)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("PRAGMA user_version=%1").arg(version)))
        return true;
    *error = q.lastError().text();
    return false;
}

bool StoreDialect::isBusy(const QString& errorText)
{
    return errorText.contains(QLatin1String("locked")) || errorText.contains(QLatin1String("busy"));
}

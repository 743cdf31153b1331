#pragma once

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A private PostgreSQL server for the tests of one process: a new cluster in a
// temporary folder (trust authentication, run as the postgres user when the
// tests run as root), listening on 127.0.0.1 on a free port with its socket in
// that folder. Started on first use, stopped and removed when the process ends.
// Used on the test thread.
class PostgresCluster
{
public:
    // The process's cluster, started on first use.
    static PostgresCluster& shared();
    // Stops the shared cluster if it was started; the test main calls it.
    static void stopShared();

    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // Why the cluster is not running; empty when it is.
    QString skipReason() const { return m_skipReason; }
    // postgresql://postgres@127.0.0.1:PORT/postgres
    QString location() const;
    // The location of a new, empty database of its own; empty on failure.
    QString newDatabase();

private:
    PostgresCluster();
    bool start();
    // Runs a server program as the cluster's owner; false (with the reason) when it fails.
    bool run(const QString& program, const QStringList& args, QString* failure) const;

    QTemporaryDir m_dir;
    QString m_binDir;
    quint16 m_port = 0;
    bool m_asPostgresUser = false;
    bool m_running = false;
    int m_databases = 0;
    QString m_skipReason;
};

// Skips the test, saying why, when the shared cluster cannot run; fails it
// instead where CI=true, as CI must run the PostgreSQL tests.
#define KAVEX_REQUIRE_POSTGRES()                                                                                       \
    do {                                                                                                               \
        const QString kavexWhy = PostgresCluster::shared().skipReason();                                               \
        if (!kavexWhy.isEmpty()) {                                                                                     \
            if (qEnvironmentVariable("CI") == QLatin1String("true"))                                                   \
                FAIL() << "PostgreSQL cluster: " << kavexWhy.toStdString();                                            \
            GTEST_SKIP() << "no PostgreSQL cluster: " << kavexWhy.toStdString();                                       \
        }                                                                                                              \
    } while (false)

#pragma once

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A private PostgreSQL server for the tests of one process: a new cluster in a
// temporary folder (trust authentication; owned by and run as the postgres
// user when the tests run as root) on a free port of 127.0.0.1, its socket in
// that folder. Started on first use; stopShared() (the test main's last step)
// stops and removes it. Used on the test thread.
class PostgresCluster
{
public:
    static PostgresCluster& shared();
    static void stopShared();
    ~PostgresCluster();

    // Why the cluster is not running; empty when it is.
    QString skipReason() const { return m_skipReason; }
    // postgresql://postgres@127.0.0.1:PORT/postgres
    QString location() const;
    // The location of a new, empty database; empty on failure.
    QString newDatabase();

private:
    PostgresCluster();
    // Makes and starts the cluster; empty, or why it cannot run.
    QString start();
    QString run(const QString& program, const QStringList& args) const;

    QTemporaryDir m_dir;
    QString m_binDir;
    quint16 m_port = 0;
    bool m_asPostgresUser = false;
    bool m_running = false;
    int m_databases = 0;
    QString m_skipReason;
};

// Skips the test, saying why, when the cluster cannot run; fails it where
// CI=true, as CI must run the PostgreSQL tests.
#define KAVEX_REQUIRE_POSTGRES()                                                                                       \
    do {                                                                                                               \
        const std::string kavexWhy = PostgresCluster::shared().skipReason().toStdString();                             \
        if (!kavexWhy.empty() && qEnvironmentVariable("CI") == QLatin1String("true"))                                  \
            FAIL() << "no PostgreSQL cluster: " << kavexWhy;                                                           \
        if (!kavexWhy.empty())                                                                                         \
            GTEST_SKIP() << "no PostgreSQL cluster: " << kavexWhy;                                                     \
    } while (false)

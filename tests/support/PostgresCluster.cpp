#include "PostgresCluster.h"

#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>

#include <memory>

#include <pwd.h>
#include <unistd.h>

namespace {
std::unique_ptr<PostgresCluster> s_shared;
}

PostgresCluster& PostgresCluster::shared()
{
    if (!s_shared)
        s_shared.reset(new PostgresCluster);
    return *s_shared;
}

void PostgresCluster::stopShared()
{
    s_shared.reset();
}

// Runs a server program as the cluster's owner; on failure m_skipReason says why.
bool PostgresCluster::run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList command = QStringList{"runuser", "-u", "postgres", "--"}.mid(m_asPostgresUser ? 0 : 4) +
                                QStringList{m_binDir + "/" + program} + args;
    p.start(command.first(), command.mid(1));
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    m_skipReason = program + " failed: " + p.errorString() + "\n" + QString::fromLocal8Bit(p.readAll());
    return false;
}

PostgresCluster::PostgresCluster()
{
    // The newest installed server.
    QStringList versions = QDir("/usr/lib/postgresql").entryList({"[0-9]*"}, QDir::Dirs);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toDouble() < b.toDouble(); });
    m_binDir = versions.isEmpty() ? QString() : "/usr/lib/postgresql/" + versions.last() + "/bin";
    const passwd* owner = getpwnam("postgres");
    // The server refuses to run as root: the cluster then belongs to postgres.
    m_asPostgresUser = geteuid() == 0;
    const QString data = m_dir.filePath("data");
    if (!QFile::exists(m_binDir + "/initdb"))
        m_skipReason = "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)";
    else if (!QSqlDatabase::isDriverAvailable("QPSQL"))
        m_skipReason = "the Qt SQL driver QPSQL is not installed";
    else if (!m_dir.isValid() ||
             (m_asPostgresUser && (!owner || chown(QFile::encodeName(m_dir.path()), owner->pw_uid, owner->pw_gid))))
        m_skipReason =
            "no temporary folder for the postgres user: " + (m_dir.isValid() ? m_dir.path() : m_dir.errorString());
    else if (run("initdb", {"-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--locale=C", "-N"})) {
        // A port found free may be taken before the server binds it: another try.
        for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
            QTcpServer probe;
            m_port = probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
            probe.close();
            const QString options = QString("-c listen_addresses=127.0.0.1 -p %1 -c unix_socket_directories=%2 "
                                            "-c fsync=off -c full_page_writes=off -c synchronous_commit=off")
                                        .arg(m_port)
                                        .arg(m_dir.path());
            m_running = run("pg_ctl", {"-D", data, "-l", m_dir.filePath("log"), "-w", "-o", options, "start"});
        }
    }
    QFile log(m_dir.filePath("log"));
    if (m_running)
        m_skipReason.clear();
    else if (log.open(QIODevice::ReadOnly))
        m_skipReason += "server log: " + QString::fromLocal8Bit(log.readAll().right(2000));
}

PostgresCluster::~PostgresCluster()
{
    if (m_running)
        run("pg_ctl", {"-D", m_dir.filePath("data"), "-m", "immediate", "-w", "stop"});
}

QString PostgresCluster::location() const
{
    return QString("postgresql://postgres@127.0.0.1:%1/postgres").arg(m_port);
}

QString PostgresCluster::newDatabase()
{
    const QString name = QString("kavex_%1").arg(++m_databases);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "kavex-cluster");
        db.setHostName("127.0.0.1");
        db.setPort(m_port);
        db.setUserName("postgres");
        db.setDatabaseName("postgres");
        QSqlQuery q(db);
        ok = m_running && db.open() && q.exec("CREATE DATABASE " + name);
        EXPECT_TRUE(ok) << db.lastError().text().toStdString() << q.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase("kavex-cluster");
    return ok ? location().section('/', 0, -2) + "/" + name : QString();
}

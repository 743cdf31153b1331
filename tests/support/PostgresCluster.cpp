#include "PostgresCluster.h"

#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QSqlDatabase>
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

// Runs a server program as the cluster's owner; empty, or what went wrong.
QString PostgresCluster::run(const QString& program, const QStringList& args) const
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList command = QStringList{"runuser", "-u", "postgres", "--"}.mid(m_asPostgresUser ? 0 : 4) +
                                QStringList{m_binDir + "/" + program} + args;
    p.start(command.first(), command.mid(1));
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return QString();
    return program + " failed: " + p.errorString() + "\n" + QString::fromLocal8Bit(p.readAll());
}

PostgresCluster::PostgresCluster()
{
    m_skipReason = start();
}

QString PostgresCluster::start()
{
    // The newest installed server.
    QStringList versions = QDir("/usr/lib/postgresql").entryList({"[0-9]*"}, QDir::Dirs);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toDouble() < b.toDouble(); });
    m_binDir = versions.isEmpty() ? QString() : "/usr/lib/postgresql/" + versions.last() + "/bin";
    if (!QFile::exists(m_binDir + "/initdb"))
        return "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)";
    if (!QSqlDatabase::isDriverAvailable("QPSQL"))
        return "the Qt SQL driver QPSQL is not installed";
    // The server refuses to run as root: the cluster then belongs to postgres.
    m_asPostgresUser = geteuid() == 0;
    const passwd* owner = getpwnam("postgres");
    if (!m_dir.isValid())
        return "no temporary folder: " + m_dir.errorString();
    if (m_asPostgresUser && (!owner || chown(QFile::encodeName(m_dir.path()), owner->pw_uid, owner->pw_gid) != 0))
        return "running as root, and the postgres user cannot have " + m_dir.path();
    const QString data = m_dir.filePath("data");
    QString failure = run("initdb", {"-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--locale=C", "-N"});
    if (!failure.isEmpty())
        return failure;
    // A port found free may be taken before the server binds it: another try.
    for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
        QTcpServer probe;
        m_port = probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
        probe.close();
        const QString options = QString("-c listen_addresses=127.0.0.1 -p %1 -c unix_socket_directories=%2 "
                                        "-c fsync=off -c full_page_writes=off -c synchronous_commit=off")
                                    .arg(m_port)
                                    .arg(m_dir.path());
        failure = run("pg_ctl", {"-D", data, "-l", m_dir.filePath("log"), "-w", "-o", options, "start"});
        m_running = failure.isEmpty();
    }
    QFile log(m_dir.filePath("log"));
    if (!m_running && log.open(QIODevice::ReadOnly))
        failure += "server log: " + QString::fromLocal8Bit(log.readAll().right(2000));
    return failure;
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
    const QString failure =
        m_running ? run("createdb", {"-h", m_dir.path(), "-p", QString::number(m_port), "-U", "postgres", name})
                  : m_skipReason;
    const bool ok = failure.isEmpty();
    EXPECT_TRUE(ok) << failure.toStdString();
    return ok ? location().section('/', 0, -2) + "/" + name : QString();
}

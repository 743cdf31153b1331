#include "PostgresCluster.h"

#include <QDebug>
#include <QDir>
#include <QFile>
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
const QString kUser = QStringLiteral("postgres");
std::unique_ptr<PostgresCluster> s_shared;

// The newest installed server's program folder; empty when there is none.
QString serverBinDir()
{
    QDir root(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toDouble() > b.toDouble(); });
    for (const QString& v : versions)
        if (QFile::exists(root.filePath(v + QStringLiteral("/bin/initdb"))))
            return root.filePath(v + QStringLiteral("/bin"));
    return QString();
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}
}  // namespace

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

PostgresCluster::PostgresCluster()
{
    if (!start())
        qWarning().noquote() << "PostgresCluster: Not started:" << m_skipReason;
}

PostgresCluster::~PostgresCluster()
{
    QString failure;
    if (m_running)
        run(QStringLiteral("pg_ctl"), {"-D", m_dir.filePath("data"), "-m", "immediate", "-w", "stop"}, &failure);
}

bool PostgresCluster::run(const QString& program, const QStringList& args, QString* failure) const
{
    const QString path = QDir(m_binDir).filePath(program);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (m_asPostgresUser)
        p.start(QStringLiteral("runuser"), QStringList{"-u", kUser, "--", path} + args);
    else
        p.start(path, args);
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    *failure = QStringLiteral("%1 failed: %2%3").arg(program, p.errorString(), QString::fromLocal8Bit(p.readAll()));
    return false;
}

bool PostgresCluster::start()
{
    m_binDir = serverBinDir();
    if (m_binDir.isEmpty()) {
        m_skipReason = QStringLiteral("no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)");
        return false;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        m_skipReason = QStringLiteral("the Qt SQL driver QPSQL is not installed");
        return false;
    }
    if (!m_dir.isValid()) {
        m_skipReason = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    // The server refuses to run as root: the cluster then belongs to postgres.
    m_asPostgresUser = geteuid() == 0;
    if (m_asPostgresUser) {
        const passwd* pw = getpwnam(kUser.toLatin1().constData());
        if (!pw || chown(QFile::encodeName(m_dir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
            m_skipReason =
                QStringLiteral("running as root, and %1 cannot be given to the postgres user").arg(m_dir.path());
            return false;
        }
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (!run(QStringLiteral("initdb"), {"-D", data, "-A", "trust", "-U", kUser, "-E", "UTF8", "--locale=C", "-N"},
             &m_skipReason))
        return false;
    // A port found free may be taken before the server binds it: another try.
    for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
        m_port = freePort();
        const QString options = QStringLiteral("-c listen_addresses=127.0.0.1 -p %1 -c unix_socket_directories=%2 "
                                               "-c fsync=off -c full_page_writes=off -c synchronous_commit=off")
                                    .arg(m_port)
                                    .arg(m_dir.path());
        m_running = run(QStringLiteral("pg_ctl"),
                        {"-D", data, "-l", m_dir.filePath("server.log"), "-w", "-t", "60", "-o", options, "start"},
                        &m_skipReason);
    }
    if (!m_running) {
        QFile log(m_dir.filePath(QStringLiteral("server.log")));
        if (log.open(QIODevice::ReadOnly))
            m_skipReason += QString::fromLocal8Bit(log.readAll().right(2000));
        return false;
    }
    m_skipReason.clear();
    return true;
}

QString PostgresCluster::location() const
{
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%1").arg(kUser).arg(m_port);
}

QString PostgresCluster::newDatabase()
{
    if (!m_running)
        return QString();
    const QString name = QStringLiteral("kavex_%1").arg(++m_databases);
    const QString connection = QStringLiteral("kavex-cluster-admin");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(m_port);
        db.setUserName(kUser);
        db.setDatabaseName(kUser);
        QSqlQuery q(db);
        ok = db.open() && q.exec(QStringLiteral("CREATE DATABASE ") + name);
        if (!ok)
            qWarning().noquote() << "PostgresCluster::newDatabase:" << db.lastError().text() << q.lastError().text();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok ? location().section(QLatin1Char('/'), 0, -2) + QLatin1Char('/') + name : QString();
}

#include "pgserver.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QVersionNumber>

#include <unistd.h>

namespace TestSupport {

PgServer::PgServer()
{
    m_root = ::geteuid() == 0;
    // The newest server the machine has (Debian 12 has 15, Debian 13 has 17).
    QVersionNumber best;
    const QDir lib(QStringLiteral("/usr/lib/postgresql"));
    for (const QString &v : lib.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QVersionNumber n = QVersionNumber::fromString(v);
        if (QFile::exists(lib.filePath(v + QStringLiteral("/bin/pg_ctl"))) && n > best) {
            best = n;
            m_binDir = lib.filePath(v + QStringLiteral("/bin"));
        }
    }
}

PgServer::~PgServer()
{
    if (m_running)
        stop(QStringLiteral("immediate"));
}

QString PgServer::bin(const QString &tool) const
{
    return m_binDir + u'/' + tool;
}

QString PgServer::socketDir() const
{
    return m_dir.filePath(QStringLiteral("socket"));
}

bool PgServer::run(const QStringList &command, QString *output, int timeoutMs)
{
    QStringList args = command;
    QString program = args.takeFirst();
    if (m_root) {
        args.prepend(program);
        args = QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--")}
                + args;
        program = QStringLiteral("runuser");
    }
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        m_error = QStringLiteral("%1 did not finish").arg(command.first());
        return false;
    }
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    if (output)
        *output = out;
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("%1: %2 %3")
                          .arg(command.first(), out, QString::fromUtf8(p.readAllStandardError()));
        return false;
    }
    return true;
}

bool PgServer::start()
{
    if (m_binDir.isEmpty()) {
        m_error = QStringLiteral("no PostgreSQL server under /usr/lib/postgresql");
        return false;
    }
    if (!m_dir.isValid() || !QDir(m_dir.path()).mkpath(QStringLiteral("socket"))) {
        m_error = QStringLiteral("no scratch folder");
        return false;
    }
    if (m_root) {
        QProcess::execute(QStringLiteral("chown"),
                          {QStringLiteral("-R"), QStringLiteral("postgres:"), m_dir.path()});
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (!run({bin(QStringLiteral("initdb")), QStringLiteral("-D"), data, QStringLiteral("-U"),
              QStringLiteral("postgres"), QStringLiteral("-E"), QStringLiteral("UTF8"),
              QStringLiteral("--locale=C"), QStringLiteral("--auth-local=trust"),
              QStringLiteral("--auth-host=scram-sha-256"), QStringLiteral("--no-sync")})) {
        return false;
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    m_port = probe.serverPort();
    probe.close();
    return restart();
}

bool PgServer::restart()
{
    const QString data = m_dir.filePath(QStringLiteral("data"));
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1"
                                           " -c fsync=off -c max_connections=200")
                                    .arg(m_port)
                                    .arg(socketDir());
    m_running = run({bin(QStringLiteral("pg_ctl")), QStringLiteral("-D"), data,
                     QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")),
                     QStringLiteral("-o"), options, QStringLiteral("-w"), QStringLiteral("start")});
    return m_running;
}

bool PgServer::stop(const QString &mode)
{
    const QString data = m_dir.filePath(QStringLiteral("data"));
    const bool ok = run({bin(QStringLiteral("pg_ctl")), QStringLiteral("-D"), data,
                         QStringLiteral("-m"), mode, QStringLiteral("-w"), QStringLiteral("stop")});
    if (ok)
        m_running = false;
    return ok;
}

QString PgServer::sql(const QString &statements, const QString &database, bool *ok)
{
    QString out;
    const bool done
            = run({bin(QStringLiteral("psql")), QStringLiteral("-X"), QStringLiteral("-q"),
                   QStringLiteral("-A"), QStringLiteral("-t"), QStringLiteral("-h"), socketDir(),
                   QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-U"),
                   QStringLiteral("postgres"), QStringLiteral("-d"), database, QStringLiteral("-v"),
                   QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-c"), statements},
                  &out);
    if (ok)
        *ok = done;
    return done ? out.trimmed() : QString();
}

bool PgServer::addRole(const QString &name, const QString &password, const QStringList &groups,
                       const QString &extra)
{
    bool ok = false;
    sql(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2' %3 %4")
                .arg(name, password,
                     groups.isEmpty() ? QString() : QStringLiteral("IN ROLE ") + groups.join(u','),
                     extra),
        QStringLiteral("postgres"), &ok);
    if (ok)
        m_passwords.append(QStringLiteral("127.0.0.1:*:*:%1:%2").arg(name, password));
    return ok;
}

bool PgServer::addDatabase(const QString &name, const QString &owner)
{
    bool ok = false;
    sql(QStringLiteral("CREATE DATABASE %1 OWNER %2").arg(name, owner), QStringLiteral("postgres"),
        &ok);
    return ok;
}

QString PgServer::passwordFile() const
{
    const QString path = QDir::temp().filePath(
            QStringLiteral("pelora-pgpass-%1-%2").arg(::getpid()).arg(m_port));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        file.write(m_passwords.join(u'\n').toUtf8() + '\n');
    }
    qputenv("PGPASSFILE", path.toLocal8Bit());
    return path;
}

TcpProxy::TcpProxy(int targetPort) : m_server(std::make_unique<QTcpServer>()), m_target(targetPort)
{
    m_server->listen(QHostAddress::LocalHost, 0);
    QObject::connect(m_server.get(), &QTcpServer::newConnection, m_server.get(), [this] {
        while (QTcpSocket *in = m_server->nextPendingConnection()) {
            if (m_refuse) {
                in->abort();
                in->deleteLater();
                continue;
            }
            m_sockets.append(in);
            if (m_silent) {
                QObject::connect(in, &QTcpSocket::disconnected, m_server.get(), [this, in] {
                    if (m_sockets.removeOne(in))
                        in->deleteLater();
                });
                continue;
            }
            auto *out = new QTcpSocket(in);
            QObject::connect(in, &QTcpSocket::readyRead, out,
                             [in, out] { out->write(in->readAll()); });
            QObject::connect(out, &QTcpSocket::readyRead, in,
                             [in, out] { in->write(out->readAll()); });
            const auto close = [this, in] {
                if (!m_sockets.removeOne(in))
                    return;
                in->disconnect();
                in->abort();
                in->deleteLater();
            };
            QObject::connect(in, &QTcpSocket::disconnected, m_server.get(), close);
            QObject::connect(out, &QTcpSocket::disconnected, m_server.get(), close);
            QObject::connect(out, &QTcpSocket::connected, in,
                             [in, out] { out->write(in->readAll()); });
            out->connectToHost(QHostAddress::LocalHost, quint16(m_target));
        }
    });
}

TcpProxy::~TcpProxy()
{
    cut();
}

int TcpProxy::port() const
{
    return m_server->serverPort();
}

int TcpProxy::connections() const
{
    return int(m_sockets.size());
}

void TcpProxy::cut(bool refuse)
{
    m_refuse = refuse;
    const QList<QTcpSocket *> sockets = m_sockets;
    m_sockets.clear();
    for (QTcpSocket *in : sockets) {
        in->disconnect();
        const auto children = in->findChildren<QTcpSocket *>();
        for (QTcpSocket *out : children) {
            out->disconnect();
            out->abort();
        }
        in->abort();
        in->deleteLater();
    }
}

} // namespace TestSupport

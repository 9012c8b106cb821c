#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QTcpServer;
class QTcpSocket;

namespace TestSupport {

// A PostgreSQL server of the test's own: initdb and pg_ctl in a scratch folder, on a free
// port of 127.0.0.1 and a socket in the same folder (as the postgres user when the test runs
// as root, since the server refuses root). Never a system service. Stations reach it over
// TCP with a password, which libpq reads from a password file written here (PGPASSFILE).
class PgServer
{
public:
    PgServer();
    ~PgServer();
    // Makes and starts the server; false with errorText() when it cannot.
    bool start();
    bool stop(const QString &mode = QStringLiteral("fast"));
    bool restart();
    bool isRunning() const { return m_running; }
    QString errorText() const { return m_error; }
    int port() const { return m_port; }
    QString socketDir() const;
    QString dir() const { return m_dir.path(); }

    // Runs SQL as the superuser in `database` through psql; its output, or "" and
    // errorText() on failure (with ok false).
    QString sql(const QString &statements, const QString &database = QStringLiteral("postgres"),
                bool *ok = nullptr);
    // A login role with a password (written into the password file), member of `groups`.
    bool addRole(const QString &name, const QString &password, const QStringList &groups = {},
                 const QString &extra = QString());
    bool addDatabase(const QString &name, const QString &owner);
    // Sets PGPASSFILE to the password file (mode 0600) for this process and its children.
    QString passwordFile() const;

private:
    QString bin(const QString &tool) const;
    bool run(const QStringList &command, QString *output = nullptr, int timeoutMs = 60000);

    QTemporaryDir m_dir;
    QString m_binDir;
    int m_port = 0;
    bool m_running = false;
    bool m_root = false;
    QString m_error;
    QStringList m_passwords;
};

// A TCP relay between a station and the server that the test can cut: every connection
// through it is closed at once, as a pulled network cable or a dropped VPN would end it.
class TcpProxy
{
public:
    explicit TcpProxy(int targetPort);
    ~TcpProxy();
    int port() const;
    // Closes every connection through it; with refuse, also those that come after, until
    // refuse is set false again.
    void cut(bool refuse = false);
    void setRefusing(bool refuse) { m_refuse = refuse; }
    // Takes new connections and never answers them, as a network that drops every packet.
    void setSilent(bool silent) { m_silent = silent; }
    int connections() const;

private:
    std::unique_ptr<QTcpServer> m_server;
    int m_target = 0;
    bool m_refuse = false;
    bool m_silent = false;
    QList<QTcpSocket *> m_sockets;
};

} // namespace TestSupport

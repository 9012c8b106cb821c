#include "serverconfig.h"

#include "serverschema.h"
#include "settingsstore.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>

bool ServerConfig::operator==(const ServerConfig &o) const
{
    return enabled == o.enabled && host == o.host && port == o.port && database == o.database
            && user == o.user && sslMode == o.sslMode && service == o.service;
}

QString ServerConfig::describe() const
{
    if (!service.isEmpty() && host.isEmpty())
        return QStringLiteral("service=%1").arg(service);
    return QStringLiteral("%1@%2:%3/%4").arg(user, host).arg(port).arg(database);
}

QStringList ServerConfig::sslModes()
{
    return {QStringLiteral("disable"), QStringLiteral("prefer"), QStringLiteral("require"),
            QStringLiteral("verify-ca"), QStringLiteral("verify-full")};
}

QString ServerConfig::connectOptions() const
{
    QStringList options{
            QStringLiteral("connect_timeout=5"),      QStringLiteral("keepalives_idle=5"),
            QStringLiteral("keepalives_interval=2"),  QStringLiteral("keepalives_count=2"),
            QStringLiteral("tcp_user_timeout=10000"), QStringLiteral("application_name=pelora")};
    options.append(QStringLiteral("sslmode=")
                   + (sslModes().contains(sslMode) ? sslMode : QStringLiteral("prefer")));
    // A service name of letters, digits, dot, dash and underscore only: it goes into the
    // connection string as it is.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._-]+$"));
    if (!service.isEmpty() && plain.match(service).hasMatch())
        options.append(QStringLiteral("service=") + service);
    return options.join(u';');
}

QString ServerConfig::open(const QString &connection) const
{
    QSqlDatabase db = QSqlDatabase::contains(connection)
            ? QSqlDatabase::database(connection, false)
            : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
    if (!db.isValid())
        return QObject::tr("此电脑缺少 PostgreSQL 驱动（QPSQL），无法连接服务器");
    db.close();
    db.setHostName(host.trimmed());
    db.setPort(port > 0 ? port : 5432);
    db.setDatabaseName(database.trimmed());
    db.setUserName(user.trimmed());
    db.setPassword(QString()); // from ~/.pgpass or the service file, never from here
    db.setConnectOptions(connectOptions());
    if (!db.open())
        return ServerSchema::reason(db.lastError());
    return QString();
}

ServerConfig ServerConfig::read(SettingsStore *store)
{
    ServerConfig c;
    if (!store)
        return c;
    const auto text = [store](const char *key, const QString &fallback) {
        return store->value(QLatin1String("server/") + QLatin1String(key), fallback).toString();
    };
    const QString on = text("enabled", QStringLiteral("false"));
    c.enabled = on == QLatin1String("true") || on == QLatin1String("1");
    c.host = text("host", c.host);
    bool ok = false;
    const int port = text("port", QString::number(c.port)).toInt(&ok);
    if (ok && port > 0 && port < 65536)
        c.port = port;
    c.database = text("database", c.database);
    c.user = text("user", c.user);
    c.sslMode = text("sslmode", c.sslMode);
    if (!sslModes().contains(c.sslMode))
        c.sslMode = QStringLiteral("prefer");
    c.service = text("service", c.service);
    return c;
}

void ServerConfig::write(SettingsStore *store) const
{
    if (!store)
        return;
    store->setValue(QStringLiteral("server/enabled"), enabled);
    store->setValue(QStringLiteral("server/host"), host.trimmed());
    store->setValue(QStringLiteral("server/port"), port);
    store->setValue(QStringLiteral("server/database"), database.trimmed());
    store->setValue(QStringLiteral("server/user"), user.trimmed());
    store->setValue(QStringLiteral("server/sslmode"), sslMode);
    store->setValue(QStringLiteral("server/service"), service.trimmed());
}

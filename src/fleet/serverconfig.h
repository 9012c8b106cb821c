#pragma once

#include <QString>

class SettingsStore;

// Where the shared server is and how to reach it, as kept in the settings ("server/..."). No
// password is ever kept here: libpq reads it from the user's ~/.pgpass (mode 0600) or from a
// connection service file.
struct ServerConfig
{
    bool enabled = false;
    QString host;
    int port = 5432;
    QString database = QStringLiteral("pelora");
    QString user;
    // libpq's sslmode: disable, prefer, require, verify-ca or verify-full.
    QString sslMode = QStringLiteral("prefer");
    // A service name of pg_service.conf, used instead of the fields it sets.
    QString service;

    bool operator==(const ServerConfig &other) const;
    bool operator!=(const ServerConfig &other) const { return !(*this == other); }

    // Filled in enough to try: a host or a service.
    bool usable() const { return enabled && (!host.trimmed().isEmpty() || !service.isEmpty()); }
    // "user@host:port/database", for messages.
    QString describe() const;
    // QPSQL's connect options: the TLS mode, the service, and timeouts that notice a dead
    // network in seconds rather than minutes.
    QString connectOptions() const;
    // Opens `connection` (a name of QSqlDatabase) with this configuration; "" or why not.
    QString open(const QString &connection) const;

    static ServerConfig read(SettingsStore *store);
    void write(SettingsStore *store) const;
    static QStringList sslModes();
};

#pragma once

#include "serverconfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSqlDatabase>
#include <QVariantMap>

class QTimer;

// Sends a records file's chain to the shared server, on a thread of its own: the file is the
// outbox, written first whatever the network does, and the server gets every entry once and
// in order. Each batch is one call of the server's append function, which passes over what
// it already holds and refuses what does not continue the station's chain, so a batch sent
// again after a crash, a lost reply or a cut network inserts nothing twice. The file keeps
// how far the server has confirmed ("server/confirmed"); on every connection the server's
// own last entry is compared with the file's, and the server's copy of the chain is checked.
//
// Its functions run on its thread (FleetLink posts them); it answers with signals.
class Replicator : public QObject
{
    Q_OBJECT

public:
    enum State {
        Off, // no server set
        Connecting,
        Sending,
        Synced,
        Failing, // the last try failed: lastError says why; tried again by itself
    };
    Q_ENUM(State)

    static constexpr int batchSize = 2000;
    static constexpr int publishGapMs = 250;
    static constexpr int heartbeatMs = 1000;
    static constexpr int pollMs = 2000;
    static QString confirmedKey() { return QStringLiteral("server/confirmed"); }

    explicit Replicator(const QString &recordsPath, QObject *parent = nullptr);
    ~Replicator() override;

    // Starts (again) with this server; a config that is not usable stops.
    void configure(const ServerConfig &config);
    // Something new may be in the file: send it now.
    void nudge();
    // The station's live reading, sent within publishGapMs and again every heartbeatMs.
    void publish(const QVariantMap &status);
    // Tells the server the station is gone and closes the connection.
    void stop();
    // Checks the server's copy of the chain again (connecting first when need be).
    void checkServer();

    // A test's wish: the schema is brought only to this version.
    void setSchemaTarget(int version) { m_schemaTarget = version; }

Q_SIGNALS:
    // confirmed: the last entry the server holds; head: the file's last entry; checked: the
    // server's copy checked whole ("" until known) or why not.
    void progress(Replicator::State state, qint64 confirmed, qint64 head, const QString &error,
                  const QString &serverChain);
    void published(qint64 sentMs);

private:
    void schedule(int ms);
    void step();
    bool openLocal(QString *why);
    bool connectServer(QString *why);
    bool handshake(QString *why);
    bool registerStation(QString *why);
    bool sendBatch(QString *why, bool *more);
    // The server's copy, whole or (incremental) after the part already checked.
    bool checkServerChain(QString *why, bool incremental = false);
    void sendStatus();
    void lost(const QString &why);
    void report();
    QString localName();
    void saveConfirmed();
    bool serverAlive();

    QString m_path;
    ServerConfig m_config;
    QString m_local;
    QString m_remote;
    QSqlDatabase m_file;
    QSqlDatabase m_server;
    QTimer *m_timer = nullptr;
    QTimer *m_statusTimer = nullptr;
    State m_state = Off;
    QString m_error;
    QString m_chainText;
    QString m_station;
    QString m_registeredName;
    qint64 m_confirmed = -1; // unknown until the file or the server says
    qint64 m_savedConfirmed = -1;
    qint64 m_head = 0;
    qint64 m_checked = 0; // the server's entries checked whole so far
    QString m_upgradeText;
    bool m_connected = false;
    bool m_statusTable = false;
    bool m_refused = false;
    int m_backoffMs = 1000;
    int m_schemaTarget = 0;
    QVariantMap m_status;
    bool m_statusDirty = false;
    QElapsedTimer m_sinceStatus;
};

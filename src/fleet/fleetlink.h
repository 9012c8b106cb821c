#pragma once

#include "replicator.h"
#include "serverconfig.h"
#include "weightreading.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;
class QThread;
class RecordStore;
class SettingsStore;

// The station's link to the shared server, for the window: the settings of the "服务器"
// section, and how far the server has the records ("已同步", "待同步 N 条", the last error).
// The work itself runs in a Replicator on a thread of its own, so a slow or dead network
// never holds up the window. Off until the operator turns it on; without it nothing changes.
class FleetLink : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(bool enabled READ enabled NOTIFY configChanged)
    Q_PROPERTY(QString host READ host NOTIFY configChanged)
    Q_PROPERTY(int port READ port NOTIFY configChanged)
    Q_PROPERTY(QString database READ database NOTIFY configChanged)
    Q_PROPERTY(QString user READ user NOTIFY configChanged)
    Q_PROPERTY(QString sslMode READ sslMode NOTIFY configChanged)
    Q_PROPERTY(QString service READ service NOTIFY configChanged)
    Q_PROPERTY(QStringList sslModes READ sslModes CONSTANT)
    Q_PROPERTY(int state READ state NOTIFY progressChanged)
    Q_PROPERTY(qint64 pendingCount READ pendingCount NOTIFY progressChanged)
    Q_PROPERTY(qint64 confirmed READ confirmed NOTIFY progressChanged)
    Q_PROPERTY(bool synced READ synced NOTIFY progressChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY progressChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY progressChanged)
    Q_PROPERTY(QString serverChainText READ serverChainText NOTIFY progressChanged)
    Q_PROPERTY(QString passwordHint READ passwordHint CONSTANT)

public:
    static constexpr int stopWaitMs = 3000;

    FleetLink(RecordStore *store, SettingsStore *settings, QObject *parent = nullptr);
    ~FleetLink() override;
    static FleetLink *create(QQmlEngine *engine, QJSEngine *);

    bool enabled() const { return m_config.enabled; }
    QString host() const { return m_config.host; }
    int port() const { return m_config.port; }
    QString database() const { return m_config.database; }
    QString user() const { return m_config.user; }
    QString sslMode() const { return m_config.sslMode; }
    QString service() const { return m_config.service; }
    QStringList sslModes() const { return ServerConfig::sslModes(); }
    ServerConfig config() const { return m_config; }
    int state() const { return m_state; }
    qint64 pendingCount() const { return qMax<qint64>(0, m_head - m_confirmed); }
    qint64 confirmed() const { return m_confirmed; }
    bool synced() const { return m_state == Replicator::Synced && pendingCount() == 0; }
    QString lastError() const { return m_error; }
    QString statusText() const;
    QString serverChainText() const { return m_chainText; }
    // Where the password goes, since Pelora keeps none.
    QString passwordHint() const;

    // Keeps the settings and starts (or stops) the link with them: "" or why they were not
    // taken (a port out of range, a host missing while on).
    Q_INVOKABLE QString apply(bool enabled, const QString &host, int port, const QString &database,
                              const QString &user, const QString &sslMode,
                              const QString &service = QString());
    // The live reading to publish while connected.
    Q_INVOKABLE void follow(WeightReading *reading);
    Q_INVOKABLE void checkServer();
    // Tries at once instead of waiting out the pause after a failure.
    Q_INVOKABLE void retry();

    // Publishes a live state ({live, weight, unit, stable, overload, net}) as the followed
    // reading does, stamped with the time it was taken ("read", ms since 1970).
    void publish(QVariantMap status);

    // For tests: the replicator's own wish of a schema version (see Replicator).
    void setSchemaTarget(int version);

Q_SIGNALS:
    void configChanged();
    void progressChanged();
    // The server holds the station's entries up to `confirmed`.
    void confirmedChanged(qint64 confirmed);

private:
    void start();
    void sendReading();

    QPointer<RecordStore> m_store;
    QPointer<SettingsStore> m_settings;
    QPointer<WeightReading> m_reading;
    QThread *m_thread = nullptr;
    Replicator *m_replicator = nullptr;
    ServerConfig m_config;
    int m_state = Replicator::Off;
    qint64 m_confirmed = 0;
    qint64 m_head = 0;
    QString m_error;
    QString m_chainText;
    QTimer m_readingTimer;
};

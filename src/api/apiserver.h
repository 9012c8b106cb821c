#pragma once

#include "recordstore.h"
#include "weighrecorder.h"
#include "weightreading.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <map>

class ApiHub;
class QQmlEngine;
class QJSEngine;
class QThread;
class RecordStore;
class SensorChannel;
class SettingsStore;

// The live API of this machine: a WebSocket server that other programs connect to with the
// operator's token, to follow the reading and the records and to ask for the reading, a
// zero, a tare or a record. Off until the operator turns it on; on 127.0.0.1 unless another
// address is chosen. The sockets live on a thread of their own (ApiHub), so a hundred
// clients or a stuck one never slow the window; the requests are carried out here, on the
// objects the window uses, and answered only once their outcome is known.
class ApiServer : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(bool enabled READ enabled NOTIFY configChanged)
    Q_PROPERTY(QString address READ address NOTIFY configChanged)
    Q_PROPERTY(int port READ port NOTIFY configChanged)
    Q_PROPERTY(QString token READ token NOTIFY configChanged)
    Q_PROPERTY(QString url READ url NOTIFY configChanged)
    Q_PROPERTY(bool listening READ listening NOTIFY stateChanged)
    Q_PROPERTY(int clientCount READ clientCount NOTIFY stateChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY stateChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY stateChanged)

public:
    static constexpr int defaultPort = 8765;
    // Zeros, tares and records one client may have waiting for the sensor or the file.
    static constexpr int maxWaitingPerClient = 4;

    ApiServer(RecordStore *store, SettingsStore *settings, QObject *parent = nullptr);
    ~ApiServer() override;
    static ApiServer *create(QQmlEngine *engine, QJSEngine *);

    bool enabled() const { return m_enabled; }
    QString address() const { return m_address; }
    int port() const { return m_port; }
    QString token() const { return m_token; }
    // Where a client connects, token included.
    QString url() const;
    bool listening() const { return m_listening; }
    int clientCount() const { return m_clients; }
    QString lastError() const { return m_error; }
    QString statusText() const;

    // Keeps the settings and starts, restarts or stops the server: "" or why they were not
    // taken. The token is made the first time the server is turned on.
    Q_INVOKABLE QString apply(bool enabled, const QString &address, int port);
    // A new token: every client connected with the old one is let go.
    Q_INVOKABLE void newToken();
    // The reading streamed, and whose port zeros and tares go to.
    Q_INVOKABLE void follow(WeightReading *reading);
    // What makes a record on request.
    Q_INVOKABLE void followRecorder(WeighRecorder *recorder);

    // The reading as clients get it.
    static QJsonObject readingMessage(const WeightReading *reading, bool jin, qint64 timeMs);
    static QJsonObject recordMessage(const QVariantMap &record);

Q_SIGNALS:
    void configChanged();
    void stateChanged();

private:
    struct Waiting
    {
        quint64 client;
        QJsonValue id;
        QString request;
    };
    void start();
    void sendReading();
    void onRequested(quint64 client, const QJsonValue &id, const QString &request);
    void onCommandSettled(int id, const QString &command, const QString &outcome,
                          const QString &reply);
    void answer(const Waiting &w, bool ok, const QString &error = QString(),
                const QString &message = QString(), const QJsonObject &extra = QJsonObject());
    int waitingFor(quint64 client) const;
    void greet();

    QPointer<RecordStore> m_store;
    QPointer<SettingsStore> m_settings;
    QPointer<WeightReading> m_reading;
    QPointer<WeighRecorder> m_recorder;
    QPointer<SensorChannel> m_channel;
    QThread *m_thread = nullptr;
    ApiHub *m_hub = nullptr;
    bool m_enabled = false;
    QString m_address;
    int m_port = defaultPort;
    QString m_token;
    bool m_listening = false;
    int m_clients = 0;
    QString m_error;
    QTimer m_readingTimer;
    std::map<int, Waiting> m_commands; // by the channel's request id
    std::map<qint64, Waiting> m_tickets; // records by the store's ticket
    std::map<qint64, Waiting> m_records; // records by id, until written
};

#pragma once

#include <QHostAddress>
#include <QJsonValue>
#include <QObject>
#include <QString>

#include <atomic>
#include <map>

class QTcpServer;
class QWebSocket;
class QWebSocketServer;

// The WebSocket side of the live API, on a thread of its own: it accepts clients that bring
// the token, hands each of them every reading and record as JSON, and passes their requests
// on. A reading goes out once, to everyone, whatever the number of clients; a client that
// does not keep up (more than maxBufferedBytes waiting to be written to it) is dropped, so
// a stuck reader costs a bounded amount of memory and never slows anyone else down.
//
// Runs entirely on the thread it lives on: call it through queued invocations.
class ApiHub : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxBufferedBytes = 256 * 1024;
    static constexpr int maxClients = 200;
    static constexpr qint64 maxIncomingBytes = 16 * 1024;
    // The kernel's own buffer for each client, fixed rather than grown by the system up to
    // megabytes: a reader that stops is noticed after this much, plus maxBufferedBytes.
    static constexpr int socketSendBuffer = 64 * 1024;

    explicit ApiHub(QObject *parent = nullptr);
    ~ApiHub() override;

    // Listens on address:port with the token ("" or why not); a running server stops first.
    QString listen(const QHostAddress &address, quint16 port, const QString &token);
    void stop();
    // The first message every accepted client gets.
    void setGreeting(const QString &json) { m_greeting = json; }
    // A reading for every client; the last one also answers "reading" requests.
    void broadcastReading(const QString &json);
    void broadcast(const QString &json);
    void reply(quint64 client, const QString &json);
    quint16 serverPort() const;
    // How many clients are connected now; any thread may ask.
    int clientCount() const { return m_count.load(); }

    // Whether the request's URL (?token=…) or Authorization header (Bearer …) carries token;
    // "" when it does, else the refusal's reason ("missing-token", "wrong-token").
    static QString refusalFor(const QString &token, const QString &urlToken,
                              const QByteArray &authorization);

Q_SIGNALS:
    // listening, the clients connected, and the last problem ("" for none).
    void stateChanged(bool listening, int clients, const QString &error);
    // A client's request: its own id (any JSON value, echoed in the reply) and what it asks.
    void requested(quint64 client, const QJsonValue &id, const QString &request);

private:
    void onNewConnection();
    void accept(QWebSocket *socket);
    void refuse(QWebSocket *socket, const QString &reason, const QString &message);
    void onMessage(quint64 client, const QString &message);
    void send(quint64 client, QWebSocket *socket, const QString &json);
    void drop(quint64 client, const QString &why);
    void announce();

    QTcpServer *m_listener = nullptr;
    QWebSocketServer *m_server = nullptr;
    QString m_token;
    QString m_greeting;
    QString m_lastReading;
    QString m_error;
    std::map<quint64, QWebSocket *> m_clients;
    quint64 m_nextClient = 1;
    std::atomic<int> m_count{0};
};

#include "apihub.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {
QString json(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Compares without stopping at the first difference, so the time taken tells nothing of
// how much of a guess was right.
bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}
} // namespace

ApiHub::ApiHub(QObject *parent) : QObject(parent) { }

ApiHub::~ApiHub()
{
    stop();
}

QString ApiHub::refusalFor(const QString &token, const QString &urlToken,
                           const QByteArray &authorization)
{
    QByteArray given = urlToken.toUtf8();
    const QByteArray bearer("Bearer ");
    if (given.isEmpty() && authorization.startsWith(bearer))
        given = authorization.mid(bearer.size()).trimmed();
    if (given.isEmpty())
        return QStringLiteral("missing-token");
    if (token.isEmpty() || !sameSecret(given, token.toUtf8()))
        return QStringLiteral("wrong-token");
    return {};
}

QString ApiHub::listen(const QHostAddress &address, quint16 port, const QString &token)
{
    stop();
    m_token = token;
    m_server
            = new QWebSocketServer(QStringLiteral("Pelora"), QWebSocketServer::NonSecureMode, this);
    // A client that opens a connection and never finishes its handshake lets it go soon.
    m_server->setHandshakeTimeout(5000);
    connect(m_server, &QWebSocketServer::newConnection, this, &ApiHub::onNewConnection);
    // The connections are taken here first, to fix each one's send buffer, then handed to
    // the WebSocket server for the handshake.
    m_listener = new QTcpServer(this);
    connect(m_listener, &QTcpServer::newConnection, this, [this] {
        while (m_listener && m_listener->hasPendingConnections()) {
            QTcpSocket *socket = m_listener->nextPendingConnection();
            socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, socketSendBuffer);
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket->setParent(m_server); // a handshake never finished goes with the server
            m_server->handleConnection(socket);
        }
    });
    if (!m_listener->listen(address, port)) {
        const QString error = tr("无法在 %1:%2 上监听：%3")
                                      .arg(address.toString())
                                      .arg(port)
                                      .arg(m_listener->errorString());
        stop();
        m_error = error;
        announce();
        return m_error;
    }
    m_error.clear();
    announce();
    return {};
}

void ApiHub::stop()
{
    const auto clients = std::exchange(m_clients, {});
    for (const auto &[id, socket] : clients) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_count = 0;
    delete m_listener;
    m_listener = nullptr;
    delete m_server;
    m_server = nullptr;
    m_lastReading.clear();
    announce();
}

quint16 ApiHub::serverPort() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

void ApiHub::onNewConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QWebSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(maxIncomingBytes);
        socket->setMaxAllowedIncomingFrameSize(maxIncomingBytes);
        socket->setReadBufferSize(maxIncomingBytes);
        const QNetworkRequest request = socket->request();
        const QString reason = refusalFor(
                m_token, QUrlQuery(request.url()).queryItemValue(QStringLiteral("token")),
                request.rawHeader("Authorization"));
        if (!reason.isEmpty()) {
            refuse(socket, reason,
                   reason == QLatin1String("missing-token")
                           ? tr("缺少令牌：连接地址须带 ?token=…（令牌见 Pelora 的系统设置 → "
                                "与其他程序 → 接口设置…）")
                           : tr("令牌不对：请从 Pelora 的系统设置 → 与其他程序 → 接口设置…复制"));
            continue;
        }
        if (int(m_clients.size()) >= maxClients) {
            refuse(socket, QStringLiteral("too-many-clients"),
                   tr("已有 %1 个程序连接，不再接受更多").arg(maxClients));
            continue;
        }
        accept(socket);
    }
}

void ApiHub::refuse(QWebSocket *socket, const QString &reason, const QString &message)
{
    socket->sendTextMessage(json({{QStringLiteral("type"), QStringLiteral("refused")},
                                  {QStringLiteral("reason"), reason},
                                  {QStringLiteral("message"), message}}));
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    // A peer that never answers the close is let go all the same.
    connect(socket, &QWebSocket::stateChanged, socket, [socket](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
    });
}

void ApiHub::accept(QWebSocket *socket)
{
    const quint64 id = m_nextClient++;
    m_clients.emplace(id, socket);
    m_count = int(m_clients.size());
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, id](const QString &message) { onMessage(id, message); });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this, id](const QByteArray &) {
        reply(id,
              json({{QStringLiteral("type"), QStringLiteral("error")},
                    {QStringLiteral("error"), QStringLiteral("bad-request")},
                    {QStringLiteral("message"), tr("只收 JSON 文本消息")}}));
    });
    connect(socket, &QWebSocket::disconnected, this, [this, id] { drop(id, QString()); });
    announce();
    if (!m_greeting.isEmpty())
        send(id, socket, m_greeting);
    if (!m_lastReading.isEmpty())
        send(id, socket, m_lastReading);
}

void ApiHub::onMessage(quint64 client, const QString &message)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8(), &error);
    const QJsonObject object = doc.object();
    const QJsonValue request = object.value(QStringLiteral("request"));
    if (error.error != QJsonParseError::NoError || !doc.isObject() || !request.isString()) {
        QJsonObject answer{
                {QStringLiteral("type"), QStringLiteral("error")},
                {QStringLiteral("error"), QStringLiteral("bad-request")},
                {QStringLiteral("message"),
                 tr("请求须是 JSON 对象，带 \"request\"（reading、zero、tare、record）")}};
        if (object.contains(QStringLiteral("id")))
            answer.insert(QStringLiteral("id"), object.value(QStringLiteral("id")));
        reply(client, json(answer));
        return;
    }
    const QJsonValue id = object.value(QStringLiteral("id"));
    if (request.toString() == QLatin1String("reading")) {
        // Answered here from the reading every client was sent last: no trip to the window.
        QJsonObject answer{{QStringLiteral("type"), QStringLiteral("reply")},
                           {QStringLiteral("id"), id},
                           {QStringLiteral("request"), request},
                           {QStringLiteral("ok"), !m_lastReading.isEmpty()}};
        if (m_lastReading.isEmpty()) {
            answer.insert(QStringLiteral("error"), QStringLiteral("no-reading"));
            answer.insert(QStringLiteral("message"), tr("还没有读数"));
        } else {
            answer.insert(QStringLiteral("reading"),
                          QJsonDocument::fromJson(m_lastReading.toUtf8()).object());
        }
        reply(client, json(answer));
        return;
    }
    Q_EMIT requested(client, id, request.toString());
}

void ApiHub::broadcastReading(const QString &json)
{
    m_lastReading = json;
    broadcast(json);
}

void ApiHub::broadcast(const QString &json)
{
    // Copied first: a send may drop a client.
    std::vector<std::pair<quint64, QWebSocket *>> clients(m_clients.begin(), m_clients.end());
    for (const auto &[id, socket] : clients)
        send(id, socket, json);
}

void ApiHub::reply(quint64 client, const QString &json)
{
    const auto it = m_clients.find(client);
    if (it != m_clients.end())
        send(client, it->second, json);
}

void ApiHub::send(quint64 client, QWebSocket *socket, const QString &json)
{
    if (socket->bytesToWrite() > maxBufferedBytes) {
        drop(client, QStringLiteral("too-slow"));
        return;
    }
    socket->sendTextMessage(json);
}

void ApiHub::drop(quint64 client, const QString &why)
{
    const auto it = m_clients.find(client);
    if (it == m_clients.end())
        return;
    QWebSocket *socket = it->second;
    m_clients.erase(it);
    m_count = int(m_clients.size());
    socket->disconnect(this);
    if (!why.isEmpty()) {
        // What waits for it is thrown away with the connection: a close frame would only
        // queue behind it.
        qInfo("api: client %llu dropped (%s)", client, qPrintable(why));
        socket->abort();
    }
    socket->deleteLater();
    announce();
}

void ApiHub::announce()
{
    Q_EMIT stateChanged(m_listener && m_listener->isListening(), int(m_clients.size()), m_error);
}

#include "apiserver.h"

#include "apihub.h"
#include "appsettings.h"
#include "recordstore.h"
#include "sensorchannel.h"
#include "sensorsession.h"
#include "serialportmanager.h"
#include "settingsstore.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QQmlEngine>
#include <QRandomGenerator>
#include <QThread>

Q_LOGGING_CATEGORY(lcApi, "pelora.api")

namespace {
const QString enabledKey = QStringLiteral("api/enabled");
const QString addressKey = QStringLiteral("api/address");
const QString portKey = QStringLiteral("api/port");
const QString tokenKey = QStringLiteral("api/token");

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString freshToken()
{
    quint32 words[4]; // 128 bits
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

bool jinShown()
{
    return AppSettings::instance() && AppSettings::instance()->weightUnit() == 0;
}
} // namespace

ApiServer::ApiServer(RecordStore *store, SettingsStore *settings, QObject *parent)
    : QObject(parent), m_store(store), m_settings(settings)
{
    if (settings) {
        m_enabled = settings->value(enabledKey, false).toBool();
        m_address = settings->value(addressKey, QStringLiteral("127.0.0.1")).toString().trimmed();
        m_port = settings->value(portKey, defaultPort).toInt();
        m_token = settings->value(tokenKey).toString();
    }
    if (QHostAddress(m_address).isNull())
        m_address = QStringLiteral("127.0.0.1");
    if (m_port < 1 || m_port > 65535)
        m_port = defaultPort;

    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("pelora-api"));
    m_hub = new ApiHub;
    m_hub->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_hub, &QObject::deleteLater);
    connect(m_hub, &ApiHub::stateChanged, this,
            [this](bool listening, int clients, const QString &error) {
                m_listening = listening;
                m_clients = clients;
                m_error = error;
                Q_EMIT stateChanged();
            });
    connect(m_hub, &ApiHub::requested, this, &ApiServer::onRequested);
    m_thread->start();

    if (store) {
        connect(store, &RecordStore::recordWritten, this, [this](const QVariantMap &record) {
            const qint64 id = record.value(QStringLiteral("id")).toLongLong();
            const auto it = m_records.find(id);
            if (it != m_records.end()) {
                const Waiting w = it->second;
                m_records.erase(it);
                answer(w, true, {}, {}, {{QStringLiteral("record"), recordMessage(record)}});
            }
            if (m_hub->clientCount() == 0)
                return;
            const QString json = compact(recordMessage(record));
            QMetaObject::invokeMethod(
                    m_hub, [hub = m_hub, json] { hub->broadcast(json); }, Qt::QueuedConnection);
        });
        connect(store, &RecordStore::recordSaved, this, [this](qint64 ticket, qint64 id) {
            const auto it = m_tickets.find(ticket);
            if (it == m_tickets.end())
                return;
            m_records.emplace(id, it->second);
            m_tickets.erase(it);
        });
        connect(store, &RecordStore::stationChanged, this, &ApiServer::greet);
    }
    m_readingTimer.setSingleShot(true);
    connect(&m_readingTimer, &QTimer::timeout, this, &ApiServer::sendReading);
    greet();
    start();
}

ApiServer::~ApiServer()
{
    QMetaObject::invokeMethod(m_hub, &ApiHub::stop, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

ApiServer *ApiServer::create(QQmlEngine *engine, QJSEngine *)
{
    const char *key = "_peloraApiServer";
    if (auto *server = engine->property(key).value<ApiServer *>())
        return server;
    auto *server = new ApiServer(RecordStore::create(engine, nullptr),
                                 SettingsStore::create(engine, nullptr), engine);
    QQmlEngine::setObjectOwnership(server, QQmlEngine::CppOwnership);
    engine->setProperty(key, QVariant::fromValue(server));
    return server;
}

QString ApiServer::url() const
{
    const QHostAddress host(m_address);
    QString shown = m_address;
    if (host == QHostAddress::AnyIPv4 || host == QHostAddress::AnyIPv6 || host == QHostAddress::Any)
        shown = QStringLiteral("127.0.0.1");
    else if (host.protocol() == QAbstractSocket::IPv6Protocol)
        shown = QStringLiteral("[%1]").arg(m_address);
    return QStringLiteral("ws://%1:%2/?token=%3").arg(shown).arg(m_port).arg(m_token);
}

QString ApiServer::statusText() const
{
    if (!m_enabled)
        return tr("未开启");
    if (!m_error.isEmpty())
        return m_error;
    if (!m_listening)
        return tr("正在启动");
    return tr("正在 %1:%2 上服务 · %3 个程序已连接").arg(m_address).arg(m_port).arg(m_clients);
}

QString ApiServer::apply(bool enabled, const QString &address, int port)
{
    const QString host = address.trimmed();
    if (QHostAddress(host).isNull())
        return tr("地址应是本机的一个 IP 地址，例如 127.0.0.1");
    if (port < 1 || port > 65535)
        return tr("端口应在 1 到 65535 之间");
    const bool changed = enabled != m_enabled || host != m_address || port != m_port
            || (enabled && m_token.isEmpty());
    m_enabled = enabled;
    m_address = host;
    m_port = port;
    if (enabled && m_token.isEmpty())
        m_token = freshToken();
    if (m_settings) {
        m_settings->setValue(enabledKey, m_enabled);
        m_settings->setValue(addressKey, m_address);
        m_settings->setValue(portKey, m_port);
        m_settings->setValue(tokenKey, m_token);
    }
    if (changed)
        Q_EMIT configChanged();
    // Saved again after the port was taken by another program: try again.
    if (changed || (enabled && !m_listening))
        start();
    return {};
}

void ApiServer::newToken()
{
    m_token = freshToken();
    if (m_settings)
        m_settings->setValue(tokenKey, m_token);
    Q_EMIT configChanged();
    start();
}

void ApiServer::start()
{
    if (!m_enabled || m_token.isEmpty()) {
        QMetaObject::invokeMethod(m_hub, &ApiHub::stop, Qt::QueuedConnection);
        return;
    }
    const QHostAddress address(m_address);
    const quint16 port = quint16(m_port);
    const QString token = m_token;
    QMetaObject::invokeMethod(
            m_hub,
            [hub = m_hub, address, port, token] {
                const QString error = hub->listen(address, port, token);
                if (error.isEmpty())
                    qCInfo(lcApi, "listening on %s:%u", qPrintable(address.toString()), port);
                else
                    qCWarning(lcApi, "%s", qPrintable(error));
            },
            Qt::QueuedConnection);
    m_readingTimer.start(0);
}

void ApiServer::greet()
{
    const QJsonObject hello{
            {QStringLiteral("type"), QStringLiteral("hello")},
            {QStringLiteral("api"), 1},
            {QStringLiteral("station"), m_store ? m_store->stationId() : QString()},
            {QStringLiteral("name"), m_store ? m_store->stationName() : QString()},
    };
    QMetaObject::invokeMethod(
            m_hub, [hub = m_hub, json = compact(hello)] { hub->setGreeting(json); },
            Qt::QueuedConnection);
}

void ApiServer::follow(WeightReading *reading)
{
    if (m_reading == reading)
        return;
    if (m_reading)
        m_reading->disconnect(this);
    m_reading = reading;
    if (!reading)
        return;
    // However many of its signals one frame sets off, it goes out once.
    const auto changed = [this] {
        if (!m_readingTimer.isActive())
            m_readingTimer.start(0);
    };
    connect(reading, &WeightReading::lastFrameChanged, this, changed);
    connect(reading, &WeightReading::stateChanged, this, changed);
    connect(reading, &WeightReading::netChanged, this, changed);
    changed();
}

void ApiServer::followRecorder(WeighRecorder *recorder)
{
    m_recorder = recorder;
}

QJsonObject ApiServer::readingMessage(const WeightReading *reading, bool jin, qint64 timeMs)
{
    static const char *const states[] = {"disconnected", "waiting", "live", "stale"};
    QJsonObject m{{QStringLiteral("type"), QStringLiteral("reading")},
                  {QStringLiteral("unit"), jin ? QStringLiteral("jin") : QStringLiteral("kg")},
                  {QStringLiteral("live"), reading->live()},
                  {QStringLiteral("state"), QLatin1String(states[reading->state()])},
                  {QStringLiteral("stable"), reading->stable()},
                  {QStringLiteral("overload"), reading->overload()},
                  {QStringLiteral("net"),
                   reading->netKnown() ? QJsonValue(reading->net()) : QJsonValue()},
                  {QStringLiteral("timeMs"), double(timeMs)}};
    if (reading->hasFrame()) {
        const double kg = reading->weightKg();
        m.insert(QStringLiteral("weightKg"), kg);
        const QString shown = QString::number(jin ? kg * 2 : kg, 'f', 3);
        m.insert(QStringLiteral("shown"),
                 shown.startsWith(u'-') && shown.mid(1).toDouble() == 0 ? shown.mid(1) : shown);
    } else {
        m.insert(QStringLiteral("weightKg"), QJsonValue());
        m.insert(QStringLiteral("shown"), QJsonValue());
    }
    return m;
}

QJsonObject ApiServer::recordMessage(const QVariantMap &record)
{
    QJsonObject m{{QStringLiteral("type"), QStringLiteral("record")}};
    for (const char *key : {"id", "number", "seq", "timeMs", "weightKg", "unit", "mode", "port",
                            "manual", "station", "stationName", "tareKg", "hash"}) {
        const QString k = QLatin1String(key);
        if (record.contains(k))
            m.insert(k, QJsonValue::fromVariant(record.value(k)));
    }
    return m;
}

void ApiServer::sendReading()
{
    if (!m_reading || !m_enabled)
        return;
    const QString json
            = compact(readingMessage(m_reading, jinShown(), QDateTime::currentMSecsSinceEpoch()));
    QMetaObject::invokeMethod(
            m_hub, [hub = m_hub, json] { hub->broadcastReading(json); }, Qt::QueuedConnection);
}

int ApiServer::waitingFor(quint64 client) const
{
    int n = 0;
    for (const auto *map : {&m_tickets, &m_records})
        for (const auto &[key, w] : *map)
            n += w.client == client;
    for (const auto &[key, w] : m_commands)
        n += w.client == client;
    return n;
}

void ApiServer::onRequested(quint64 client, const QJsonValue &id, const QString &request)
{
    const Waiting w{client, id, request};
    const bool action = request == QLatin1String("zero") || request == QLatin1String("tare");
    if (!action && request != QLatin1String("record")) {
        answer(w, false, QStringLiteral("unknown-request"),
               tr("不认识的请求：%1（可用 reading、zero、tare、record）").arg(request));
        return;
    }
    if (waitingFor(client) >= maxWaitingPerClient) {
        answer(w, false, QStringLiteral("busy"),
               tr("已有 %1 个请求在等结果，请等它们回复后再发").arg(maxWaitingPerClient));
        return;
    }
    if (!action) {
        if (!m_recorder) {
            answer(w, false, QStringLiteral("refused"), tr("这里不记录"));
            return;
        }
        const QString why = m_recorder->refusal();
        const qint64 ticket = why.isEmpty() ? m_recorder->recordNow() : -1;
        if (ticket < 0) {
            answer(w, false, QStringLiteral("refused"),
                   why.isEmpty() ? (m_store ? m_store->errorText() : tr("无法记录")) : why);
            return;
        }
        m_tickets.emplace(ticket, w); // answered once the record is in the file
        return;
    }
    auto *manager = m_reading ? qobject_cast<SerialPortManager *>(m_reading->port()) : nullptr;
    if (!manager || !manager->isConnected()) {
        answer(w, false, QStringLiteral("not-connected"), tr("传感器未连接"));
        return;
    }
    SensorChannel *channel = manager->session()->channel();
    if (m_channel != channel) {
        if (m_channel)
            m_channel->disconnect(this);
        m_channel = channel;
        m_commands.clear();
        connect(channel, &SensorChannel::commandSettled, this, &ApiServer::onCommandSettled);
    }
    const int rid
            = channel->request(request == QLatin1String("zero") ? QStringLiteral("AT+ZERO\r")
                                                                : QStringLiteral("AT+TARE\r"));
    if (rid < 0) {
        answer(w, false, QStringLiteral("not-sent"), tr("命令没有发出：传感器未连接"));
        return;
    }
    m_commands.emplace(rid, w);
}

void ApiServer::onCommandSettled(int id, const QString &, const QString &outcome,
                                 const QString &reply)
{
    const auto it = m_commands.find(id);
    if (id <= 0 || it == m_commands.end())
        return;
    const Waiting w = it->second;
    m_commands.erase(it);
    const QJsonObject extra{{QStringLiteral("reply"), reply}};
    if (outcome == QLatin1String("ok"))
        answer(w, true, {}, {}, extra);
    else if (outcome == QLatin1String("refused"))
        answer(w, false, QStringLiteral("refused"), tr("传感器拒绝了命令：%1").arg(reply), extra);
    else if (outcome == QLatin1String("timeout"))
        answer(w, false, QStringLiteral("no-answer"), tr("传感器没有回应：不知道它是否执行了"),
               extra);
    else if (outcome == QLatin1String("closed"))
        answer(w, false, QStringLiteral("link-closed"),
               tr("回应之前连接断开了：传感器可能已经执行"), extra);
    else
        answer(w, false, QStringLiteral("not-sent"), tr("连接断开，命令没有发出"), extra);
}

void ApiServer::answer(const Waiting &w, bool ok, const QString &error, const QString &message,
                       const QJsonObject &extra)
{
    QJsonObject m{{QStringLiteral("type"), QStringLiteral("reply")},
                  {QStringLiteral("id"), w.id},
                  {QStringLiteral("request"), w.request},
                  {QStringLiteral("ok"), ok}};
    if (!ok) {
        m.insert(QStringLiteral("error"), error);
        m.insert(QStringLiteral("message"), message);
    }
    for (auto it = extra.begin(); it != extra.end(); ++it)
        m.insert(it.key(), it.value());
    QMetaObject::invokeMethod(
            m_hub, [hub = m_hub, c = w.client, json = compact(m)] { hub->reply(c, json); },
            Qt::QueuedConnection);
}

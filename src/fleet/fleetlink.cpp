#include "fleetlink.h"

#include "appsettings.h"
#include "recordstore.h"
#include "settingsstore.h"
#include "weightreading.h"

#include <QDateTime>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QThread>

FleetLink::FleetLink(RecordStore *store, SettingsStore *settings, QObject *parent)
    : QObject(parent), m_store(store), m_settings(settings)
{
    m_config = ServerConfig::read(settings);
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("pelora-server"));
    m_replicator = new Replicator(store ? store->databasePath() : QString());
    m_replicator->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_replicator, &QObject::deleteLater);
    connect(m_replicator, &Replicator::progress, this,
            [this](Replicator::State state, qint64 confirmed, qint64 head, const QString &error,
                   const QString &chain) {
                const bool moved = confirmed != m_confirmed;
                m_state = state;
                m_confirmed = confirmed;
                m_head = head;
                m_error = error;
                m_chainText = chain;
                Q_EMIT progressChanged();
                if (moved)
                    Q_EMIT confirmedChanged(confirmed);
            });
    m_thread->start();
    if (store) {
        // A new entry is sent at once rather than at the next look.
        const auto nudge = [this] {
            QMetaObject::invokeMethod(m_replicator, &Replicator::nudge, Qt::QueuedConnection);
        };
        connect(store, &RecordStore::recordWritten, this, nudge);
        connect(store, &RecordStore::recordsRemoved, this, nudge);
        connect(store, &RecordStore::chainChanged, this, nudge);
        connect(store, &RecordStore::stationChanged, this, nudge);
    }
    m_readingTimer.setSingleShot(true);
    connect(&m_readingTimer, &QTimer::timeout, this, &FleetLink::sendReading);
    start();
}

FleetLink::~FleetLink()
{
    // The server is told the station is gone, and the connection closed, after whatever the
    // thread is doing. A network that swallows packets could hold that up for long: past a
    // few seconds the thread is left to the end of the process rather than the window to it.
    QMetaObject::invokeMethod(m_replicator, &Replicator::stop, Qt::QueuedConnection);
    m_thread->quit();
    if (!m_thread->wait(stopWaitMs)) {
        m_thread->setParent(nullptr);
        disconnect(m_replicator, nullptr, this, nullptr);
    }
}

FleetLink *FleetLink::create(QQmlEngine *engine, QJSEngine *)
{
    const char *key = "_peloraFleetLink";
    if (auto *link = engine->property(key).value<FleetLink *>())
        return link;
    auto *link = new FleetLink(RecordStore::create(engine, nullptr),
                               SettingsStore::create(engine, nullptr), engine);
    QQmlEngine::setObjectOwnership(link, QQmlEngine::CppOwnership);
    engine->setProperty(key, QVariant::fromValue(link));
    return link;
}

void FleetLink::start()
{
    const ServerConfig config = m_config;
    QMetaObject::invokeMethod(
            m_replicator, [r = m_replicator, config] { r->configure(config); },
            Qt::QueuedConnection);
}

void FleetLink::setSchemaTarget(int version)
{
    QMetaObject::invokeMethod(
            m_replicator, [r = m_replicator, version] { r->setSchemaTarget(version); },
            Qt::QueuedConnection);
}

QString FleetLink::statusText() const
{
    if (!m_config.enabled)
        return tr("未连接服务器");
    switch (m_state) {
    case Replicator::Synced:
        if (pendingCount() == 0)
            return tr("已同步");
        break;
    case Replicator::Connecting:
        return pendingCount() > 0 ? tr("正在连接服务器 · 待同步 %1 条").arg(pendingCount())
                                  : tr("正在连接服务器");
    default:
        break;
    }
    if (pendingCount() == 0 && m_error.isEmpty())
        return tr("已同步");
    return tr("待同步 %1 条").arg(pendingCount());
}

QString FleetLink::passwordHint() const
{
#ifdef Q_OS_WIN
    const QString file = QStringLiteral("%APPDATA%\\postgresql\\pgpass.conf");
#else
    const QString file = QStringLiteral("~/.pgpass");
#endif
    return tr("Pelora 不保存密码：请把密码写在 %1（仅本人可读，每行"
              " 主机:端口:数据库:用户:密码），或用 PostgreSQL 的连接服务文件")
            .arg(file);
}

QString FleetLink::apply(bool enabled, const QString &host, int port, const QString &database,
                         const QString &user, const QString &sslMode, const QString &service)
{
    ServerConfig c;
    c.enabled = enabled;
    c.host = host.trimmed();
    c.port = port;
    c.database = database.trimmed();
    c.user = user.trimmed();
    c.sslMode = sslMode;
    c.service = service.trimmed();
    if (port < 1 || port > 65535)
        return tr("端口应在 1 到 65535 之间");
    if (!ServerConfig::sslModes().contains(sslMode))
        return tr("未知的加密方式：%1").arg(sslMode);
    if (enabled && c.host.isEmpty() && c.service.isEmpty())
        return tr("请填写服务器地址");
    if (enabled && c.service.isEmpty() && (c.database.isEmpty() || c.user.isEmpty()))
        return tr("请填写数据库和用户名");
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._-]*$"));
    if (!plain.match(c.service).hasMatch())
        return tr("服务名只能含字母、数字和 . _ -");
    const bool changed = c != m_config;
    m_config = c;
    c.write(m_settings);
    if (changed)
        Q_EMIT configChanged();
    Q_EMIT progressChanged();
    start();
    return QString();
}

void FleetLink::follow(WeightReading *reading)
{
    if (m_reading == reading)
        return;
    if (m_reading)
        m_reading->disconnect(this);
    m_reading = reading;
    if (!reading)
        return;
    const auto changed = [this] {
        if (!m_readingTimer.isActive())
            m_readingTimer.start(0);
    };
    connect(reading, &WeightReading::lastFrameChanged, this, changed);
    connect(reading, &WeightReading::liveChanged, this, changed);
    connect(reading, &WeightReading::connectedChanged, this, changed);
    connect(reading, &WeightReading::stableChanged, this, changed);
    connect(reading, &WeightReading::overloadChanged, this, changed);
    changed();
}

void FleetLink::sendReading()
{
    if (!m_reading)
        return;
    const bool jin = AppSettings::instance() && AppSettings::instance()->weightUnit() == 0;
    QVariantMap status{
            {QStringLiteral("online"), true},
            {QStringLiteral("live"), m_reading->live()},
            {QStringLiteral("unit"), jin ? tr("斤") : tr("公斤")},
            {QStringLiteral("stable"), m_reading->stable()},
            {QStringLiteral("overload"), m_reading->overload()},
            {QStringLiteral("net"), m_reading->net()},
    };
    if (m_reading->hasFrame())
        status.insert(QStringLiteral("weight"), m_reading->weightKg());
    publish(status);
}

void FleetLink::publish(QVariantMap status)
{
    status.insert(QStringLiteral("online"), true);
    status.insert(QStringLiteral("read"), QDateTime::currentMSecsSinceEpoch());
    QMetaObject::invokeMethod(
            m_replicator, [r = m_replicator, status] { r->publish(status); }, Qt::QueuedConnection);
}

void FleetLink::checkServer()
{
    QMetaObject::invokeMethod(m_replicator, &Replicator::checkServer, Qt::QueuedConnection);
}

void FleetLink::retry()
{
    start();
}

#include "replicator.h"

#include "chainverifier.h"
#include "serverschema.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QUuid>

namespace {

Q_LOGGING_CATEGORY(lcServer, "pelora.server", QtInfoMsg)

QString serverChainText(qint64 entries, qint64 breakSeq, const QString &problem, qint64 number)
{
    if (breakSeq <= 0)
        return ChainVerifier::intactText(entries);
    QString what;
    if (problem == QLatin1String("missing"))
        what = Replicator::tr("缺少第 %1 条").arg(breakSeq);
    else if (problem == QLatin1String("link"))
        what = Replicator::tr("没有接上前一条");
    else if (problem == QLatin1String("record"))
        what = Replicator::tr("记录编号 %1 与其条目不符，被改动").arg(number);
    else
        what = Replicator::tr("内容与校验值不符，被改动");
    return Replicator::tr("服务器上的记录链在第 %1 条处断开：%2").arg(breakSeq).arg(what);
}

} // namespace

Replicator::Replicator(const QString &recordsPath, QObject *parent)
    : QObject(parent)
    , m_path(recordsPath)
    , m_local(QStringLiteral("pelora-outbox-") + QUuid::createUuid().toString(QUuid::Id128))
    , m_remote(QStringLiteral("pelora-server-") + QUuid::createUuid().toString(QUuid::Id128))
{ }

Replicator::~Replicator()
{
    m_file = QSqlDatabase();
    m_server = QSqlDatabase();
    if (QSqlDatabase::contains(m_local))
        QSqlDatabase::removeDatabase(m_local);
    if (QSqlDatabase::contains(m_remote))
        QSqlDatabase::removeDatabase(m_remote);
}

void Replicator::configure(const ServerConfig &config)
{
    if (!m_timer) {
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, &Replicator::step);
        m_statusTimer = new QTimer(this);
        m_statusTimer->setSingleShot(true);
        connect(m_statusTimer, &QTimer::timeout, this, &Replicator::sendStatus);
    }
    if (config != m_config || !m_connected) {
        if (m_connected)
            stop();
        m_config = config;
        m_refused = false;
        m_error.clear();
        m_chainText.clear();
        m_backoffMs = 1000;
    }
    schedule(0);
}

void Replicator::schedule(int ms)
{
    if (m_timer)
        m_timer->start(ms);
}

void Replicator::nudge()
{
    if (m_timer && m_config.usable() && !m_refused)
        schedule(0);
}

void Replicator::publish(const QVariantMap &status)
{
    m_status = status;
    m_statusDirty = true;
    if (!m_statusTimer || !m_connected || !m_statusTable)
        return;
    const qint64 since = m_sinceStatus.isValid() ? m_sinceStatus.elapsed() : publishGapMs;
    const int wait = int(qMax<qint64>(0, publishGapMs - since));
    if (!m_statusTimer->isActive() || m_statusTimer->remainingTime() > wait)
        m_statusTimer->start(wait);
}

void Replicator::stop()
{
    if (m_connected && m_statusTable) {
        QVariantMap gone = m_status;
        gone.insert(QStringLiteral("online"), false);
        gone.insert(QStringLiteral("live"), false);
        m_status = gone;
        sendStatus();
    }
    if (m_timer)
        m_timer->stop();
    if (m_statusTimer)
        m_statusTimer->stop();
    m_server.close();
    m_connected = false;
}

void Replicator::report()
{
    qCDebug(lcServer) << m_state << "confirmed" << m_confirmed << "head" << m_head << m_error;
    qint64 confirmed = m_confirmed >= 0 ? m_confirmed : qMax<qint64>(0, m_savedConfirmed);
    Q_EMIT progress(m_state, confirmed, m_head, m_error, m_chainText);
}

void Replicator::lost(const QString &why)
{
    m_server.close();
    m_connected = false;
    m_error = why;
    m_state = Failing;
    report();
    schedule(m_backoffMs);
    m_backoffMs = qMin(m_backoffMs * 2, 10000);
}

bool Replicator::openLocal(QString *why)
{
    if (!QFileInfo::exists(m_path)) {
        *why = tr("记录文件还没有建立");
        return false;
    }
    m_file = QSqlDatabase::contains(m_local)
            ? QSqlDatabase::database(m_local, false)
            : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_local);
    m_file.setDatabaseName(m_path);
    m_file.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
    if (!m_file.open()) {
        *why = m_file.lastError().text();
        return false;
    }
    QSqlQuery q(m_file);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next() || q.value(0).toInt() < 3) {
        *why = tr("记录文件还未就绪");
        q.finish();
        m_file.close();
        return false;
    }
    if (q.exec(QStringLiteral("SELECT key, value FROM state WHERE key IN ('station/id', '%1')")
                       .arg(confirmedKey()))) {
        while (q.next()) {
            if (q.value(0).toString() == confirmedKey())
                m_savedConfirmed = q.value(1).toLongLong();
            else
                m_station = q.value(1).toString();
        }
    }
    if (m_station.isEmpty()) {
        *why = tr("记录文件还未就绪");
        m_file.close();
        return false;
    }
    return true;
}

QString Replicator::localName()
{
    QSqlQuery q(m_file);
    if (q.exec(QStringLiteral("SELECT value FROM state WHERE key = 'station/name'")) && q.next())
        return q.value(0).toString();
    return m_registeredName;
}

void Replicator::saveConfirmed()
{
    if (m_confirmed < 0 || m_confirmed == m_savedConfirmed)
        return;
    QSqlQuery q(m_file);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO state (key, value) VALUES (?, ?)"));
    q.addBindValue(confirmedKey());
    q.addBindValue(m_confirmed);
    // Held by the writer just now: the next batch writes it, and the server knows anyway.
    if (q.exec())
        m_savedConfirmed = m_confirmed;
}

bool Replicator::connectServer(QString *why)
{
    *why = m_config.open(m_remote);
    if (!why->isEmpty())
        return false;
    m_server = QSqlDatabase::database(m_remote, false);
    QSqlQuery q(m_server);
    q.exec(QStringLiteral("SET statement_timeout = 60000"));
    return true;
}

bool Replicator::handshake(QString *why)
{
    const int target = m_schemaTarget > 0 ? m_schemaTarget : ServerSchema::version;
    QString upgrade;
    if (!ServerSchema::ensure(m_server, &upgrade, target)) {
        // An older server this role may not upgrade still takes the records; only the live
        // status waits for the upgrade.
        QString ignored;
        const int have = ServerSchema::found(m_server, &ignored);
        if (have < 1 || have > ServerSchema::version) {
            *why = upgrade;
            if (have > ServerSchema::version)
                m_refused = true;
            return false;
        }
    }
    QString ignored;
    const int have = ServerSchema::found(m_server, &ignored);
    m_statusTable = have >= 2;
    if (!registerStation(why)) {
        *why = tr("服务器不接受本站：%1").arg(*why);
        return false;
    }
    QSqlQuery q(m_server);
    q.prepare(QStringLiteral("SELECT seq, hash FROM pelora.head(?)"));
    q.addBindValue(m_station);
    if (!q.exec() || !q.next()) {
        *why = ServerSchema::reason(q.lastError());
        return false;
    }
    const qint64 serverSeq = q.value(0).toLongLong();
    const QByteArray serverHash = q.value(1).toByteArray();
    q.finish();
    if (serverSeq > 0) {
        QSqlQuery local(m_file);
        local.prepare(QStringLiteral("SELECT hash FROM entries WHERE seq = ?"));
        local.addBindValue(serverSeq);
        if (!local.exec()) {
            *why = local.lastError().text();
            return false;
        }
        if (!local.next()) {
            m_refused = true;
            *why = tr("服务器上本站的记录（到第 %1 条）比本机记录文件多：本机文件可能是从旧备份"
                      "恢复的，不再上传，请联系管理员")
                           .arg(serverSeq);
            return false;
        }
        if (local.value(0).toByteArray() != serverHash) {
            m_refused = true;
            *why = tr("服务器上本站第 %1 条与本机记录文件不同，不再上传，请联系管理员")
                           .arg(serverSeq);
            return false;
        }
    }
    m_confirmed = serverSeq;
    saveConfirmed();
    m_upgradeText = upgrade;
    m_checked = 0;
    checkServerChain(why);
    return true;
}

// Registers the station under the name its file gives it (the first time, or renamed).
bool Replicator::registerStation(QString *why)
{
    const QString name = localName();
    QSqlQuery q(m_server);
    q.prepare(QStringLiteral("SELECT pelora.register(?, ?)"));
    q.addBindValue(m_station);
    q.addBindValue(name);
    if (!q.exec()) {
        *why = ServerSchema::reason(q.lastError());
        return false;
    }
    m_registeredName = name;
    return true;
}

bool Replicator::checkServerChain(QString *why, bool incremental)
{
    const qint64 after = incremental ? m_checked : 0;
    QSqlQuery q(m_server);
    q.prepare(QStringLiteral("SELECT entries, break_seq, problem, record_number"
                             " FROM pelora.check(?, ?)"));
    q.addBindValue(m_station);
    q.addBindValue(after);
    if (!q.exec() || !q.next()) {
        *why = ServerSchema::reason(q.lastError());
        return false;
    }
    const qint64 breakSeq = q.value(1).toLongLong();
    m_checked = breakSeq > 0 ? -1 : q.value(0).toLongLong();
    m_chainText = serverChainText(q.value(0).toLongLong(), breakSeq, q.value(2).toString(),
                                  q.value(3).toLongLong());
    if (!m_upgradeText.isEmpty())
        m_chainText = m_upgradeText + QStringLiteral("；") + m_chainText;
    return true;
}

bool Replicator::sendBatch(QString *why, bool *more)
{
    *more = false;
    QSqlQuery read(m_file);
    read.setForwardOnly(true);
    read.prepare(QStringLiteral("SELECT seq, kind, time_ms, body, prev_hash, hash FROM entries"
                                " WHERE seq > ? ORDER BY seq LIMIT ?"));
    read.addBindValue(m_confirmed);
    read.addBindValue(batchSize);
    if (!read.exec()) {
        *why = read.lastError().text();
        return true; // the file is busy: tried again with the next step
    }
    QJsonArray batch;
    qint64 last = m_confirmed;
    while (read.next()) {
        last = read.value(0).toLongLong();
        batch.append(QJsonObject{
                {QStringLiteral("seq"), last},
                {QStringLiteral("kind"), read.value(1).toString()},
                {QStringLiteral("time"), read.value(2).toLongLong()},
                {QStringLiteral("body"), read.value(3).toString()},
                {QStringLiteral("prev"), QString::fromLatin1(read.value(4).toByteArray().toHex())},
                {QStringLiteral("hash"), QString::fromLatin1(read.value(5).toByteArray().toHex())},
        });
    }
    read.finish();
    if (batch.isEmpty())
        return true;
    QSqlQuery q(m_server);
    q.prepare(QStringLiteral("SELECT pelora.append(?, ?::jsonb)"));
    q.addBindValue(m_station);
    q.addBindValue(QString::fromUtf8(QJsonDocument(batch).toJson(QJsonDocument::Compact)));
    if (!q.exec() || !q.next()) {
        const QString text = ServerSchema::reason(q.lastError());
        if (text.contains(QLatin1String("pelora-"))) {
            m_refused = true;
            *why = tr("服务器拒绝了本站的记录（%1），不再上传，请联系管理员").arg(text);
        } else {
            *why = text;
        }
        return false;
    }
    m_confirmed = q.value(0).toLongLong();
    saveConfirmed();
    *more = m_confirmed < m_head;
    return true;
}

void Replicator::checkServer()
{
    if (!m_connected) {
        m_refused = false;
        schedule(0);
        return;
    }
    QString why;
    if (!checkServerChain(&why)) {
        lost(why);
        return;
    }
    report();
}

bool Replicator::serverAlive()
{
    QSqlQuery q(m_server);
    return q.exec(QStringLiteral("SELECT 1")) && q.next();
}

void Replicator::step()
{
    if (!m_config.usable()) {
        m_state = Off;
        m_error.clear();
        report();
        return;
    }
    QString why;
    if (!m_file.isOpen() && !openLocal(&why)) {
        m_state = Failing;
        m_error = why;
        report();
        schedule(pollMs);
        return;
    }
    {
        QSqlQuery q(m_file);
        if (q.exec(QStringLiteral("SELECT MAX(seq) FROM entries")) && q.next())
            m_head = q.value(0).toLongLong();
    }
    if (m_refused) {
        m_state = Failing;
        report();
        return;
    }
    if (!m_connected) {
        m_state = Connecting;
        report();
        if (!connectServer(&why) || !handshake(&why)) {
            if (m_refused) {
                m_server.close();
                m_state = Failing;
                m_error = why;
                report();
                return;
            }
            lost(why);
            return;
        }
        m_connected = true;
        m_backoffMs = 1000;
        m_sinceStatus.invalidate();
        if (!m_status.isEmpty())
            publish(m_status);
    }
    if (m_confirmed < m_head) {
        m_state = Sending;
        report();
        bool more = false;
        if (!sendBatch(&why, &more)) {
            if (m_refused) {
                m_state = Failing;
                m_error = why;
                report();
                return;
            }
            if (!serverAlive()) {
                lost(why);
                return;
            }
            // The server answered but not the batch (a timeout): the next try sends it again.
            m_error = why;
            m_state = Failing;
            report();
            schedule(m_backoffMs);
            return;
        }
        m_error.clear();
        report();
        schedule(more ? 0 : pollMs);
        return;
    }
    if (!serverAlive()) {
        lost(tr("与服务器的连接断开了"));
        return;
    }
    // A station renamed on its records page is renamed on the server too.
    if (localName() != m_registeredName && !registerStation(&why)) {
        lost(why);
        return;
    }
    // What was sent since the last look is checked on the server, after the part known
    // whole (a broken copy stays reported until checked again from its start).
    if (m_checked >= 0 && m_checked < m_confirmed && !checkServerChain(&why, true)) {
        lost(why);
        return;
    }
    m_state = Synced;
    m_error.clear();
    report();
    schedule(pollMs);
}

void Replicator::sendStatus()
{
    if (!m_connected || !m_statusTable)
        return;
    QJsonObject state = QJsonObject::fromVariantMap(m_status);
    if (!state.contains(QStringLiteral("online")))
        state.insert(QStringLiteral("online"), true);
    state.insert(QStringLiteral("sent"), QDateTime::currentMSecsSinceEpoch());
    QSqlQuery q(m_server);
    q.prepare(QStringLiteral("SELECT pelora.publish(?, ?::jsonb)"));
    q.addBindValue(m_station);
    q.addBindValue(QString::fromUtf8(QJsonDocument(state).toJson(QJsonDocument::Compact)));
    m_sinceStatus.start();
    m_statusDirty = false;
    if (!q.exec()) {
        lost(ServerSchema::reason(q.lastError()));
        return;
    }
    Q_EMIT published(state.value(QStringLiteral("sent")).toInteger());
    if (m_status.value(QStringLiteral("online"), true).toBool())
        m_statusTimer->start(heartbeatMs);
}

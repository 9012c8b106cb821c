#include "fleetview.h"

#include "csvformat.h"
#include "serverschema.h"
#include "settingsstore.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlEngine>
#include <QSaveFile>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <cmath>
#include <limits>
#include <utility>

using namespace std::chrono_literals;

namespace {

// A station that was never given a name, by the start of its id.
QString shownName(const QString &name, const QString &id)
{
    return name.isEmpty() ? FleetView::tr("未命名站点 %1").arg(id.left(8)) : name;
}

// Status columns, as the channel's JSON and the query name them, and the roles they fill.
const char *const statusKeys[][2]
        = {{"online", "online"}, {"live", "live"},     {"weight_kg", "weightKg"},
           {"unit", "unit"},     {"stable", "stable"}, {"overload", "overload"},
           {"net", "net"}};

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

bool jin(const QString &unit)
{
    return unit == QStringLiteral("斤");
}

// A weight in the unit the station shows it in.
QString weightText(double kg, const QString &unit)
{
    return QString::number(jin(unit) ? kg * 2 : kg, 'f', 3);
}

QString unitText(const QString &unit)
{
    return jin(unit) ? FleetView::tr("斤") : FleetView::tr("公斤");
}

} // namespace

// ---------------------------------------------------------------------------------------------

FleetStationModel::FleetStationModel(QObject *parent) : QAbstractListModel(parent) { }

int FleetStationModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QHash<int, QByteArray> FleetStationModel::roleNames() const
{
    return {{StationIdRole, "stationId"},
            {NameRole, "name"},
            {OnlineRole, "online"},
            {LiveRole, "live"},
            {WeightKgRole, "weightKg"},
            {UnitRole, "unit"},
            {StableRole, "stable"},
            {OverloadRole, "overload"},
            {NetRole, "net"},
            {AgeMsRole, "ageMs"},
            {StaleRole, "stale"},
            {LastRecordTimeMsRole, "lastRecordTimeMs"},
            {LastRecordWeightKgRole, "lastRecordWeightKg"},
            {TodayCountRole, "todayCount"},
            {TodayTotalKgRole, "todayTotalKg"},
            {ChainTextRole, "chainText"},
            {ChainBrokenRole, "chainBroken"},
            {StateTextRole, "stateText"},
            {WeightTextRole, "weightText"},
            {UnitTextRole, "unitText"},
            {BadgeTextRole, "badgeText"},
            {LastRecordTextRole, "lastRecordText"},
            {TodayTextRole, "todayText"}};
}

QVariant FleetStationModel::value(const Station &s, int role) const
{
    const qint64 age = s.hasStatus ? qMax<qint64>(0, m_nowMs - s.statusAtMs) : -1;
    const bool stale = !s.hasStatus || age > staleMs;
    const bool shown = !stale && s.values.value(QStringLiteral("online")).toBool()
            && s.values.value(QStringLiteral("live")).toBool()
            && !s.values.value(QStringLiteral("weightKg")).isNull();
    const QString unit = s.values.value(QStringLiteral("unit")).toString();
    switch (role) {
    case AgeMsRole:
        return age;
    case StaleRole:
        return stale;
    case ChainTextRole:
        return s.chainText;
    case ChainBrokenRole:
        return s.chainBroken;
    case StateTextRole:
        return !stale && s.values.value(QStringLiteral("online")).toBool() ? FleetView::tr("在线")
                                                                           : FleetView::tr("离线");
    case WeightTextRole:
        return shown ? weightText(s.values.value(QStringLiteral("weightKg")).toDouble(), unit)
                     : QStringLiteral("—");
    case UnitTextRole:
        return unitText(unit);
    case BadgeTextRole:
        if (!shown)
            return QString();
        if (s.values.value(QStringLiteral("overload")).toBool())
            return FleetView::tr("超载");
        return s.values.value(QStringLiteral("stable")).toBool() ? FleetView::tr("稳定")
                                                                 : FleetView::tr("不稳定");
    case LastRecordTextRole: {
        const QVariant time = s.values.value(QStringLiteral("lastRecordTimeMs"));
        if (time.isNull())
            return FleetView::tr("尚无记录");
        const QString lastUnit = s.values.value(QStringLiteral("lastRecordUnit")).toString();
        return FleetView::tr("最近 %1　%2 %3")
                .arg(QDateTime::fromMSecsSinceEpoch(time.toLongLong())
                             .toString(QStringLiteral("MM-dd hh:mm:ss")),
                     weightText(s.values.value(QStringLiteral("lastRecordWeightKg")).toDouble(),
                                lastUnit),
                     unitText(lastUnit));
    }
    case TodayTextRole:
        return FleetView::tr("今日 %1 条 · %2 公斤")
                .arg(s.values.value(QStringLiteral("todayCount")).toLongLong())
                .arg(s.values.value(QStringLiteral("todayTotalKg")).toDouble(), 0, 'f', 3);
    default:
        break;
    }
    const QByteArray name = roleNames().value(role);
    return name.isEmpty() ? QVariant() : s.values.value(QString::fromLatin1(name));
}

QVariant FleetStationModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    return value(m_rows.at(index.row()), role);
}

QVariantMap FleetStationModel::get(int row) const
{
    QVariantMap map;
    if (row < 0 || row >= m_rows.size())
        return map;
    const auto names = roleNames();
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        map.insert(QString::fromLatin1(it.value()), value(m_rows.at(row), it.key()));
    return map;
}

int FleetStationModel::indexOf(const QString &station) const
{
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows.at(i).values.value(QStringLiteral("stationId")).toString() == station)
            return i;
    }
    return -1;
}

void FleetStationModel::setStatus(Station *s, const QVariantMap &status, qint64 ageMs, qint64 now)
{
    for (const auto &key : statusKeys)
        s->values.insert(QLatin1String(key[1]), status.value(QLatin1String(key[0])));
    s->hasStatus = true;
    s->statusAtMs = now - qMax<qint64>(0, ageMs);
}

void FleetStationModel::take(const QVariantList &stations, bool whole, qint64 now)
{
    m_nowMs = now;
    QList<Station> fresh;
    for (const QVariant &v : stations) {
        const QVariantMap map = v.toMap();
        Station s;
        const int at = indexOf(map.value(QStringLiteral("stationId")).toString());
        if (at >= 0) // the chain's words stay until it is checked again
            s = m_rows.at(at);
        s.values = map;
        s.hasStatus = false;
        if (map.value(QStringLiteral("hasStatus")).toBool())
            setStatus(&s, map, map.value(QStringLiteral("ageMs")).toLongLong(), now);
        s.wasStale = value(s, StaleRole).toBool();
        if (!whole && at >= 0) {
            m_rows[at] = s;
            Q_EMIT dataChanged(index(at), index(at));
        } else {
            fresh.append(s);
        }
    }
    if (whole) {
        beginResetModel();
        m_rows = fresh;
        endResetModel();
    } else if (!fresh.isEmpty()) {
        beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + fresh.size() - 1));
        m_rows.append(fresh);
        endInsertRows();
    }
}

bool FleetStationModel::applyStatus(const QVariantMap &status, qint64 now)
{
    const int at = indexOf(status.value(QStringLiteral("station")).toString());
    if (at < 0)
        return false;
    m_nowMs = qMax(m_nowMs, now);
    Station &s = m_rows[at];
    setStatus(&s, status, 0, now);
    s.wasStale = value(s, StaleRole).toBool();
    Q_EMIT dataChanged(index(at), index(at));
    return true;
}

void FleetStationModel::setChain(const QString &station, const QString &text, bool broken)
{
    const int at = indexOf(station);
    if (at < 0)
        return;
    m_rows[at].chainText = text;
    m_rows[at].chainBroken = broken;
    Q_EMIT dataChanged(index(at), index(at), {ChainTextRole, ChainBrokenRole});
}

void FleetStationModel::tick(qint64 now)
{
    m_nowMs = now;
    for (int i = 0; i < m_rows.size(); ++i) {
        Station &s = m_rows[i];
        const bool stale = value(s, StaleRole).toBool();
        QList<int> roles{AgeMsRole};
        if (stale != s.wasStale)
            roles << StaleRole << StateTextRole << WeightTextRole << BadgeTextRole;
        s.wasStale = stale;
        if (s.hasStatus)
            Q_EMIT dataChanged(index(i), index(i), roles);
    }
}

void FleetStationModel::clear()
{
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

// ---------------------------------------------------------------------------------------------

FleetRecordModel::FleetRecordModel(QObject *parent) : QAbstractListModel(parent) { }

int FleetRecordModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QHash<int, QByteArray> FleetRecordModel::roleNames() const
{
    return {{StationIdRole, "stationId"},   {StationNameRole, "stationName"},
            {NumberRole, "number"},         {TimeMsRole, "timeMs"},
            {TimeTextRole, "timeText"},     {WeightKgRole, "weightKg"},
            {WeightTextRole, "weightText"}, {UnitTextRole, "unitText"},
            {TareKgRole, "tareKg"},         {ModeRole, "mode"},
            {ManualRole, "manual"},         {VoidedRole, "voided"}};
}

QVariant FleetRecordModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const QVariantMap row = m_rows.at(index.row()).toMap();
    const QString unit = row.value(QStringLiteral("unit")).toString();
    switch (role) {
    case TimeTextRole:
        return QDateTime::fromMSecsSinceEpoch(row.value(QStringLiteral("timeMs")).toLongLong())
                .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    case WeightTextRole:
        return weightText(row.value(QStringLiteral("weightKg")).toDouble(), unit);
    case UnitTextRole:
        return unitText(unit);
    default:
        return row.value(QString::fromLatin1(roleNames().value(role)));
    }
}

QVariantMap FleetRecordModel::get(int row) const
{
    QVariantMap map;
    const auto names = roleNames();
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        map.insert(QString::fromLatin1(it.value()), data(index(row), it.key()));
    return map;
}

void FleetRecordModel::take(const QVariantList &rows)
{
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

// ---------------------------------------------------------------------------------------------

FleetWorker::FleetWorker(QObject *parent)
    : QObject(parent)
    , m_name(QStringLiteral("pelora-fleet-") + QUuid::createUuid().toString(QUuid::Id128))
{ }

FleetWorker::~FleetWorker()
{
    stop();
}

void FleetWorker::stop()
{
    if (m_retry) {
        m_retry->stop();
        m_ping->stop();
        m_pending->stop();
    }
    m_connected = false;
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::removeDatabase(m_name);
}

void FleetWorker::configure(const ServerConfig &config)
{
    if (!m_retry) { // made here, on the worker's own thread
        m_retry = new QTimer(this);
        m_retry->setSingleShot(true);
        connect(m_retry, &QTimer::timeout, this, &FleetWorker::connectNow);
        m_ping = new QTimer(this);
        m_ping->setInterval(2s);
        connect(m_ping, &QTimer::timeout, this, &FleetWorker::ping);
        m_pending = new QTimer(this);
        m_pending->setSingleShot(true);
        m_pending->setInterval(300ms);
        connect(m_pending, &QTimer::timeout, this, &FleetWorker::catchUp);
    }
    if (config == m_config && m_connected) {
        reload();
        return;
    }
    stop();
    m_config = config;
    m_backoffMs = 1000;
    m_known.clear();
    m_dirty.clear();
    Q_EMIT stationsLoaded({}, true);
    Q_EMIT recordsLoaded({}, 0);
    if (!config.usable()) {
        Q_EMIT linkChanged(false, tr("未设置服务器"));
        return;
    }
    Q_EMIT linkChanged(false, tr("正在连接 %1…").arg(config.describe()));
    connectNow();
}

void FleetWorker::connectNow()
{
    stop();
    Q_EMIT loadingChanged(true);
    const QString why = m_config.open(m_name);
    if (!why.isEmpty()) {
        Q_EMIT loadingChanged(false);
        lost(why);
        return;
    }
    m_db = QSqlDatabase::database(m_name, false);
    QSqlDriver *driver = m_db.driver();
    connect(driver, &QSqlDriver::notification, this,
            [this](const QString &name, QSqlDriver::NotificationSource, const QVariant &payload) {
                onNotification(name, payload);
            });
    if (!driver->subscribeToNotification(ServerSchema::statusChannel())
        || !driver->subscribeToNotification(ServerSchema::recordsChannel())) {
        Q_EMIT loadingChanged(false);
        lost(ServerSchema::reason(driver->lastError()));
        return;
    }
    m_connected = true;
    m_backoffMs = 1000;
    m_ping->start();
    Q_EMIT linkChanged(true, tr("已连接 %1").arg(m_config.describe()));
    reload();
}

void FleetWorker::lost(const QString &why)
{
    stop();
    m_retry->start(m_backoffMs);
    Q_EMIT linkChanged(false,
                       tr("无法连接服务器：%1（%2 秒后重试）").arg(why).arg(m_backoffMs / 1000));
    m_backoffMs = qMin(m_backoffMs * 2, 8000);
}

bool FleetWorker::fail(const QSqlQuery &query)
{
    Q_EMIT loadingChanged(false);
    // A connection the driver found dead says nothing more of it.
    const QString why = ServerSchema::reason(query.lastError());
    lost(why.isEmpty() || !m_db.isOpen() ? tr("与服务器的连接已断开") : why);
    return false;
}

void FleetWorker::ping()
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT 1")))
        fail(q);
}

void FleetWorker::reload()
{
    if (!m_connected)
        return;
    Q_EMIT loadingChanged(true);
    if (!loadStations(QString()) || !loadRecords())
        return;
    for (const QString &station : std::as_const(m_known)) {
        if (!check(station))
            return;
    }
    Q_EMIT loadingChanged(false);
}

void FleetWorker::setFilter(const Filter &filter)
{
    m_filter = filter;
    if (m_connected && loadRecords())
        Q_EMIT loadingChanged(false);
}

void FleetWorker::onNotification(const QString &name, const QVariant &payload)
{
    if (name == ServerSchema::statusChannel()) {
        const QJsonObject object = QJsonDocument::fromJson(payload.toString().toUtf8()).object();
        const QVariantMap status = object.toVariantMap();
        const QString station = status.value(QStringLiteral("station")).toString();
        if (m_known.contains(station)) {
            Q_EMIT statusArrived(status);
        } else { // a station new to the server: its row first
            m_dirty.insert(station);
            m_pending->start();
        }
    } else if (name == ServerSchema::recordsChannel()) {
        // A burst of batches makes one look, a moment later.
        m_dirty.insert(payload.toString());
        if (!m_pending->isActive())
            m_pending->start();
    }
}

void FleetWorker::catchUp()
{
    if (!m_connected)
        return;
    const QSet<QString> dirty = std::exchange(m_dirty, {});
    for (const QString &station : dirty) {
        if (!loadStations(station) || !check(station))
            return;
    }
    if (loadRecords())
        Q_EMIT loadingChanged(false);
}

bool FleetWorker::loadStations(const QString &only)
{
    const QDate today = QDate::currentDate();
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral(
            "SELECT s.id, s.name, st.station IS NOT NULL, st.online, st.live, st.weight_kg,"
            " st.unit, st.stable, st.overload, st.net,"
            " (extract(epoch FROM now() - st.updated) * 1000)::bigint,"
            " lr.time_ms, lr.weight_kg, lr.unit, td.n, td.kg"
            " FROM pelora.stations s LEFT JOIN pelora.status st ON st.station = s.id"
            " LEFT JOIN LATERAL (SELECT r.time_ms, r.weight_kg, r.unit FROM pelora.records r"
            "   WHERE r.station = s.id AND r.voided_seq IS NULL ORDER BY r.seq DESC LIMIT 1)"
            "   lr ON true"
            " LEFT JOIN LATERAL (SELECT count(*) AS n, coalesce(sum(r.weight_kg), 0) AS kg"
            "   FROM pelora.records r WHERE r.station = s.id AND r.voided_seq IS NULL"
            "   AND r.time_ms >= ? AND r.time_ms < ?) td ON true"
            " WHERE coalesce(?, '') = '' OR s.id = ? ORDER BY s.name, s.id"));
    q.addBindValue(today.startOfDay().toMSecsSinceEpoch());
    q.addBindValue(today.addDays(1).startOfDay().toMSecsSinceEpoch());
    q.addBindValue(only);
    q.addBindValue(only);
    if (!q.exec())
        return fail(q);
    if (only.isEmpty())
        m_known.clear();
    QVariantList rows;
    while (q.next()) {
        const QString id = q.value(0).toString();
        m_known.insert(id);
        rows.append(QVariantMap{
                {QStringLiteral("stationId"), id},
                {QStringLiteral("name"), shownName(q.value(1).toString(), id)},
                {QStringLiteral("hasStatus"), q.value(2).toBool()},
                {QStringLiteral("online"), q.value(3).toBool()},
                {QStringLiteral("live"), q.value(4).toBool()},
                {QStringLiteral("weight_kg"), q.value(5).isNull() ? QVariant() : q.value(5)},
                {QStringLiteral("unit"), q.value(6).toString()},
                {QStringLiteral("stable"), q.value(7).toBool()},
                {QStringLiteral("overload"), q.value(8).toBool()},
                {QStringLiteral("net"), q.value(9).toBool()},
                {QStringLiteral("ageMs"), q.value(10).toLongLong()},
                {QStringLiteral("lastRecordTimeMs"),
                 q.value(11).isNull() ? QVariant() : q.value(11).toLongLong()},
                {QStringLiteral("lastRecordWeightKg"),
                 q.value(12).isNull() ? QVariant() : q.value(12).toDouble()},
                {QStringLiteral("lastRecordUnit"), q.value(13).toString()},
                {QStringLiteral("todayCount"), q.value(14).toLongLong()},
                {QStringLiteral("todayTotalKg"), q.value(15).toDouble()}});
    }
    Q_EMIT stationsLoaded(rows, only.isEmpty());
    return true;
}

bool FleetWorker::loadRecords()
{
    QSqlQuery q(m_db);
    q.prepare(
            QStringLiteral(
                    "SELECT r.station, s.name, r.number, r.time_ms, r.weight_kg, r.tare_kg, r.unit,"
                    " r.mode, r.manual, r.voided_seq IS NOT NULL, count(*) OVER ()"
                    " FROM pelora.records r JOIN pelora.stations s ON s.id = r.station"
                    " WHERE (coalesce(?, '') = '' OR r.station = ?) AND r.time_ms >= ? AND "
                    "r.time_ms < ?"
                    " ORDER BY r.time_ms DESC, r.station, r.number DESC LIMIT %1")
                    .arg(pageRows));
    q.addBindValue(m_filter.station);
    q.addBindValue(m_filter.station);
    q.addBindValue(m_filter.fromMs);
    q.addBindValue(m_filter.toMs > 0 ? m_filter.toMs : std::numeric_limits<qint64>::max());
    if (!q.exec())
        return fail(q);
    QVariantList rows;
    qint64 total = 0;
    while (q.next()) {
        total = q.value(10).toLongLong();
        rows.append(QVariantMap{{QStringLiteral("stationId"), q.value(0).toString()},
                                {QStringLiteral("stationName"),
                                 shownName(q.value(1).toString(), q.value(0).toString())},
                                {QStringLiteral("number"), q.value(2).toLongLong()},
                                {QStringLiteral("timeMs"), q.value(3).toLongLong()},
                                {QStringLiteral("weightKg"), q.value(4).toDouble()},
                                {QStringLiteral("tareKg"), q.value(5)},
                                {QStringLiteral("unit"), q.value(6).toString()},
                                {QStringLiteral("mode"), q.value(7).toString()},
                                {QStringLiteral("manual"), q.value(8).toBool()},
                                {QStringLiteral("voided"), q.value(9).toBool()}});
    }
    Q_EMIT recordsLoaded(rows, total);
    return true;
}

QString FleetWorker::chainText(qint64 entries, qint64 breakSeq, const QString &problem,
                               qint64 recordNumber)
{
    if (breakSeq == 0 && problem.isEmpty())
        return tr("记录链完整 · %1 条").arg(entries);
    QString what;
    if (problem == QLatin1String("missing"))
        what = tr("缺少这一条");
    else if (problem == QLatin1String("link"))
        what = tr("与上一条接不上");
    else if (problem == QLatin1String("changed"))
        what = tr("内容与校验值不符");
    else if (problem == QLatin1String("record"))
        what = tr("记录 №%1 与链中所记不符").arg(recordNumber);
    else
        what = problem;
    return tr("记录链在第 %1 条处断开：%2").arg(breakSeq).arg(what);
}

bool FleetWorker::check(const QString &station)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral(
            "SELECT entries, break_seq, problem, record_number FROM pelora.check(?)"));
    q.addBindValue(station);
    if (!q.exec())
        return fail(q);
    if (!q.next())
        return true;
    const qint64 breakSeq = q.value(1).toLongLong();
    const QString problem = q.value(2).toString();
    Q_EMIT chainChecked(
            station, chainText(q.value(0).toLongLong(), breakSeq, problem, q.value(3).toLongLong()),
            breakSeq != 0 || !problem.isEmpty());
    return true;
}

QStringList FleetWorker::csvColumns()
{
    return tr("站点,站点ID,记录编号,日期,时间,重量,单位,皮重(kg),模式,手动/自动,作废,校验值")
            .split(u',');
}

void FleetWorker::exportCsv(const QString &path, const Filter &filter)
{
    const auto finish = [&](const QString &error) { Q_EMIT exportFinished(path, error); };
    if (!m_connected)
        return finish(tr("未连接服务器"));
    const QString where = QStringLiteral(
            " FROM pelora.records r JOIN pelora.stations s ON s.id = r.station"
            " WHERE (coalesce(?, '') = '' OR r.station = ?) AND r.time_ms >= ? AND r.time_ms < ?");
    const auto bind = [&filter](QSqlQuery &q) {
        q.addBindValue(filter.station);
        q.addBindValue(filter.station);
        q.addBindValue(filter.fromMs);
        q.addBindValue(filter.toMs > 0 ? filter.toMs : std::numeric_limits<qint64>::max());
    };
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT count(*)") + where);
    bind(q);
    if (!q.exec() || !q.next()) {
        finish(ServerSchema::reason(q.lastError()));
        return void(fail(q));
    }
    const qint64 total = q.value(0).toLongLong();
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT s.name, r.station, r.number, r.time_ms, r.weight_kg,"
                             " r.unit, r.tare_kg, r.mode, r.manual, r.voided_seq IS NOT NULL,"
                             " encode(r.hash, 'hex')")
              + where + QStringLiteral(" ORDER BY r.time_ms, r.station, r.number"));
    bind(q);
    if (!q.exec()) {
        finish(ServerSchema::reason(q.lastError()));
        return void(fail(q));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return finish(tr("无法写入 %1：%2").arg(path, file.errorString()));
    QString text = QStringLiteral("\uFEFF") + csvColumns().join(u',') + CsvFormat::lineEnd();
    CsvFormat::LocalTimes times;
    qint64 done = 0;
    while (q.next()) {
        const QString unit = q.value(5).toString();
        const auto [offset, when] = times.at(q.value(3).toLongLong());
        Q_UNUSED(offset)
        const QString cells[] = {
                CsvFormat::textCell(q.value(0).toString()),
                CsvFormat::textCell(q.value(1).toString()),
                QString::number(q.value(2).toLongLong()),
                when.section(u' ', 0, 0),
                when.section(u' ', 1, 1),
                CsvFormat::numberCell(jin(unit) ? q.value(4).toDouble() * 2 : q.value(4).toDouble(),
                                      3),
                CsvFormat::textCell(unitText(unit)),
                q.value(6).isNull() ? QString() : CsvFormat::numberCell(q.value(6).toDouble(), 3),
                CsvFormat::textCell(q.value(7).toString().isEmpty() ? CsvFormat::unknownMode()
                                                                    : q.value(7).toString()),
                q.value(8).toBool() ? tr("手动") : tr("自动"),
                q.value(9).toBool() ? tr("作废") : QString(),
                q.value(10).toString(),
        };
        for (const QString &cell : cells) {
            text += cell;
            text += u',';
        }
        text.chop(1);
        text += CsvFormat::lineEnd();
        if (++done % 2000 == 0) {
            file.write(text.toUtf8());
            text.clear();
            Q_EMIT exportProgress(double(done) / double(qMax<qint64>(1, total)));
        }
    }
    if (q.lastError().isValid()) {
        finish(ServerSchema::reason(q.lastError()));
        return void(fail(q));
    }
    file.write(text.toUtf8());
    // A full disk shows in the last flush, which commit() would not report (Qt 6.4).
    if (!file.flush() || !file.commit())
        return finish(tr("无法写入 %1：%2").arg(path, file.errorString()));
    Q_EMIT exportProgress(1.0);
    finish(QString());
}

// ---------------------------------------------------------------------------------------------

FleetView::FleetView(SettingsStore *settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_stations(new FleetStationModel(this))
    , m_records(new FleetRecordModel(this))
{
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("pelora-fleet"));
    m_worker = new FleetWorker;
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &FleetWorker::linkChanged, this, [this](bool connected, const QString &text) {
        m_connected = connected;
        m_statusText = text;
        Q_EMIT stateChanged();
    });
    connect(m_worker, &FleetWorker::loadingChanged, this, [this](bool loading) {
        m_loading = loading;
        Q_EMIT stateChanged();
    });
    connect(m_worker, &FleetWorker::stationsLoaded, this,
            [this](const QVariantList &rows, bool whole) {
                m_stations->take(rows, whole, nowMs());
                Q_EMIT recordsChanged(); // the station choices follow
            });
    connect(m_worker, &FleetWorker::statusArrived, this,
            [this](const QVariantMap &status) { m_stations->applyStatus(status, nowMs()); });
    connect(m_worker, &FleetWorker::chainChecked, m_stations, &FleetStationModel::setChain);
    connect(m_worker, &FleetWorker::recordsLoaded, this,
            [this](const QVariantList &rows, qint64 total) {
                m_records->take(rows);
                m_total = total;
                Q_EMIT recordsChanged();
            });
    connect(m_worker, &FleetWorker::exportProgress, this, [this](double done) {
        m_exportDone = done;
        Q_EMIT exportStateChanged();
    });
    connect(m_worker, &FleetWorker::exportFinished, this,
            [this](const QString &path, const QString &error) {
                m_exporting = false;
                Q_EMIT exportStateChanged();
                Q_EMIT exportFinished(path, error);
            });
    m_thread->start();

    // The settings dialog writes the server's keys one by one: one new start for them all.
    m_configTimer.setSingleShot(true);
    m_configTimer.setInterval(0);
    connect(&m_configTimer, &QTimer::timeout, this, &FleetView::readConfig);
    if (settings) {
        connect(settings, &SettingsStore::valueChanged, this, [this](const QString &key) {
            if (key.startsWith(QLatin1String("server/")) || key.isEmpty())
                m_configTimer.start();
        });
    }
    m_ageTimer.setInterval(500ms);
    connect(&m_ageTimer, &QTimer::timeout, this, [this] { m_stations->tick(nowMs()); });
    m_ageTimer.start();
    m_config = ServerConfig::read(settings);
    m_statusText
            = m_config.usable() ? tr("正在连接 %1…").arg(m_config.describe()) : tr("未设置服务器");
    const ServerConfig config = m_config;
    QMetaObject::invokeMethod(
            m_worker, [w = m_worker, config] { w->configure(config); }, Qt::QueuedConnection);
}

FleetView::~FleetView()
{
    QMetaObject::invokeMethod(m_worker, &FleetWorker::stop, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

FleetView *FleetView::create(QQmlEngine *engine, QJSEngine *)
{
    const char *key = "_peloraFleetView";
    if (auto *view = engine->property(key).value<FleetView *>())
        return view;
    auto *view = new FleetView(SettingsStore::create(engine, nullptr), engine);
    QQmlEngine::setObjectOwnership(view, QQmlEngine::CppOwnership);
    engine->setProperty(key, QVariant::fromValue(view));
    return view;
}

void FleetView::readConfig()
{
    const ServerConfig config = ServerConfig::read(m_settings);
    if (config == m_config)
        return;
    m_config = config;
    Q_EMIT stateChanged();
    QMetaObject::invokeMethod(
            m_worker, [w = m_worker, config] { w->configure(config); }, Qt::QueuedConnection);
}

QVariantList FleetView::stationChoices() const
{
    QVariantList choices{QVariantMap{{QStringLiteral("id"), QString()},
                                     {QStringLiteral("name"), tr("全部站点")}}};
    for (int i = 0; i < m_stations->rowCount(); ++i) {
        const QModelIndex at = m_stations->index(i);
        choices.append(
                QVariantMap{{QStringLiteral("id"), at.data(FleetStationModel::StationIdRole)},
                            {QStringLiteral("name"), at.data(FleetStationModel::NameRole)}});
    }
    return choices;
}

bool FleetView::dayRange(const QString &from, const QString &to, FleetWorker::Filter *filter,
                         QString *why)
{
    const QString format = QStringLiteral("yyyy-MM-dd");
    const QDate first = QDate::fromString(from.trimmed(), format);
    const QDate last = QDate::fromString(to.trimmed(), format);
    if ((!from.trimmed().isEmpty() && !first.isValid())
        || (!to.trimmed().isEmpty() && !last.isValid())) {
        *why = tr("日期请写成 yyyy-MM-dd，例如 %1").arg(QDate::currentDate().toString(format));
        return false;
    }
    if (first.isValid() && last.isValid() && first > last) {
        *why = tr("开始日期晚于结束日期");
        return false;
    }
    filter->fromMs = first.isValid() ? first.startOfDay().toMSecsSinceEpoch() : 0;
    filter->toMs = last.isValid() ? last.addDays(1).startOfDay().toMSecsSinceEpoch() : 0;
    return true;
}

QString FleetView::setFilter(const QString &stationId, const QString &fromDay, const QString &toDay)
{
    FleetWorker::Filter filter;
    QString why;
    if (!dayRange(fromDay, toDay, &filter, &why))
        return why;
    filter.station = stationId;
    m_filter = filter;
    m_filterStation = stationId;
    m_fromDay = fromDay.trimmed();
    m_toDay = toDay.trimmed();
    Q_EMIT filterChanged();
    QMetaObject::invokeMethod(
            m_worker, [w = m_worker, filter] { w->setFilter(filter); }, Qt::QueuedConnection);
    return QString();
}

void FleetView::refresh()
{
    QMetaObject::invokeMethod(m_worker, &FleetWorker::reload, Qt::QueuedConnection);
}

QString FleetView::exportCsv(const QString &path)
{
    const QString file
            = path.startsWith(QLatin1String("file:")) ? QUrl(path).toLocalFile() : path.trimmed();
    if (file.isEmpty())
        return tr("请填写文件名");
    if (!m_connected)
        return tr("未连接服务器，无法导出");
    if (m_exporting)
        return tr("上一次导出还没有结束");
    m_exporting = true;
    m_exportDone = 0;
    Q_EMIT exportStateChanged();
    const FleetWorker::Filter filter = m_filter;
    QMetaObject::invokeMethod(
            m_worker, [w = m_worker, file, filter] { w->exportCsv(file, filter); },
            Qt::QueuedConnection);
    return QString();
}

QString FleetView::suggestedExportPath() const
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return QDir(folder).filePath(
            tr("站点记录-%1.csv").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
}

#include "recordworker.h"

#include "csvformat.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

namespace {
QString newConnectionName()
{
    static std::atomic<int> next{0};
    return QStringLiteral("pelora-records-%1").arg(next++);
}

// A null QString binds as NULL, which the NOT NULL columns refuse.
QString text(const QString &s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

QString reason(const QSqlError &error)
{
    const QString text = error.driverText().isEmpty() ? error.text() : error.driverText();
    return error.databaseText().isEmpty() ? text : error.databaseText();
}

// SQLITE_BUSY or SQLITE_LOCKED (extended codes keep the primary one in the low byte).
bool isBusy(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok && ((code & 0xff) == 5 || (code & 0xff) == 6);
}

QVariantMap recordFrom(const QSqlQuery &query)
{
    return {{QStringLiteral("id"), query.value(0)},
            {QStringLiteral("timeMs"), query.value(1)},
            {QStringLiteral("weightKg"), query.value(2)},
            {QStringLiteral("unit"), query.value(3)},
            {QStringLiteral("mode"), query.value(4)},
            {QStringLiteral("port"), query.value(5)},
            {QStringLiteral("manual"), query.value(6).toInt() != 0}};
}

const QString columns = QStringLiteral("id, time_ms, weight_kg, unit, mode, port, manual");
} // namespace

RecordWorker::RecordWorker(const QString &path)
    : m_path(path), m_connection(newConnectionName()) { }

RecordWorker::~RecordWorker()
{
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

void RecordWorker::setHealth(Health health, const QString &text)
{
    if (health == m_health && text == m_text)
        return;
    m_health = health;
    m_text = text;
    Q_EMIT healthChanged(health, text);
}

// Another program holds the file: what waits is written once it lets go.
void RecordWorker::setBusy()
{
    setHealth(Busy, tr("记录文件被其他程序占用，关闭该程序后自动继续：%1").arg(m_path));
}

void RecordWorker::open()
{
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(retryMs);
    connect(m_retry, &QTimer::timeout, this, [this] {
        if (!m_open)
            attemptOpen();
        else
            flush();
    });
    attemptOpen();
}

void RecordWorker::attemptOpen()
{
    if (!tryOpen()) {
        if (m_health == Busy || m_health == Opening)
            m_retry->start();
        return;
    }
    m_open = true;
    // The whole file is checked before anything is written to it or read from it (a third
    // of a second for a million records, on this thread: the window goes on meanwhile).
    countAll();
    check();
    sendTotals();
}

bool RecordWorker::tryOpen()
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        setHealth(Unusable, tr("无法打开记录数据库 %1：无法建立文件夹").arg(m_path));
        return false;
    }
    const bool exists = info.exists() && info.size() > 0;
    // A file or folder this account cannot write (a read-only share, a write-protected
    // stick) is opened for reading: its records can be seen and exported.
    const bool readOnly
            = exists && (!info.isWritable() || !QFileInfo(info.absolutePath()).isWritable());
    if (!m_db.isValid()) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        m_db.setDatabaseName(m_path);
    }
    m_db.close();
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs)
                           + (readOnly ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
    if (!exists && !QFileInfo(info.absolutePath()).isWritable()) {
        setHealth(ReadOnly, tr("记录文件夹 %1 不可写，记录不会保存").arg(info.absolutePath()));
        return false;
    }
    if (!m_db.open()) {
        setHealth(Unusable, tr("无法打开记录数据库 %1：%2").arg(m_path, reason(m_db.lastError())));
        return false;
    }
    // Reading the version is the first touch of the file: a foreign or damaged file fails
    // here, before anything could be written to it.
    QSqlQuery version(m_db);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
        if (isBusy(version.lastError())) {
            setBusy();
        } else {
            setHealth(Unusable,
                      tr("记录数据库 %1 已损坏或不是记录数据库（%2），文件未作改动，记录不会保存")
                              .arg(m_path, reason(version.lastError())));
        }
        m_db.close();
        return false;
    }
    const int found = version.value(0).toInt();
    version.finish();
    // A file cut short (a copy that did not finish, a full disk) can still pass a quick check:
    // its length must be whole pages, as many as it says it has.
    if (exists) {
        QSqlQuery pages(m_db);
        qint64 count = -1, size = -1;
        if (pages.exec(QStringLiteral("PRAGMA page_count")) && pages.next())
            count = pages.value(0).toLongLong();
        if (pages.exec(QStringLiteral("PRAGMA page_size")) && pages.next())
            size = pages.value(0).toLongLong();
        if (count * size != QFileInfo(m_path).size()) {
            setHealth(Unusable,
                      tr("记录数据库 %1 已损坏（文件长度不对），文件未作改动，记录不会保存")
                              .arg(m_path));
            m_db.close();
            return false;
        }
    }
    if (found > schemaVersion) {
        setHealth(ReadOnly, tr("记录数据库 %1 来自更新的版本，只能查看，记录不会保存").arg(m_path));
    } else if (readOnly) {
        setHealth(ReadOnly, tr("记录数据库 %1 只读，只能查看，记录不会保存").arg(m_path));
        if (found < schemaVersion)
            return false; // no table to read yet
    } else if (found < schemaVersion) {
        QSqlQuery q(m_db);
        QString why;
        const auto run = [&](const QString &sql) {
            if (q.exec(sql))
                return true;
            why = reason(q.lastError());
            return false;
        };
        const bool made = run(QStringLiteral("BEGIN IMMEDIATE"))
                && run(QStringLiteral("CREATE TABLE IF NOT EXISTS records ("
                                      " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                      " time_ms INTEGER NOT NULL,"
                                      " weight_kg REAL NOT NULL,"
                                      " unit TEXT NOT NULL DEFAULT '',"
                                      " mode TEXT NOT NULL DEFAULT '',"
                                      " port TEXT NOT NULL DEFAULT '',"
                                      " manual INTEGER NOT NULL DEFAULT 0)"))
                && run(QStringLiteral(
                        "CREATE INDEX IF NOT EXISTS records_time ON records(time_ms)"))
                && run(QStringLiteral("CREATE TABLE IF NOT EXISTS state ("
                                      " key TEXT PRIMARY KEY, value NOT NULL)"))
                && run(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion))
                && run(QStringLiteral("COMMIT"));
        if (!made) {
            const bool busy = isBusy(q.lastError());
            q.exec(QStringLiteral("ROLLBACK"));
            m_db.close();
            if (busy) {
                setBusy();
            } else {
                setHealth(ReadOnly, tr("无法写入记录数据库 %1：%2，记录不会保存").arg(m_path, why));
            }
            return false;
        }
    }
    QSqlQuery sync(m_db);
    if (m_health != ReadOnly)
        sync.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    QVariantMap state;
    QSqlQuery read(m_db);
    if (read.exec(QStringLiteral("SELECT key, value FROM state"))) {
        while (read.next())
            state.insert(read.value(0).toString(), read.value(1));
    }
    Q_EMIT stateLoaded(state);
    return true;
}

// The whole file, every page and index, once per start; queued changes wait for it.
void RecordWorker::check()
{
    QSqlQuery check(m_db);
    if (!check.exec(QStringLiteral("PRAGMA integrity_check(1)")) || !check.next()
        || check.value(0).toString() != QStringLiteral("ok")) {
        if (isBusy(check.lastError())) {
            setBusy();
            QTimer::singleShot(retryMs, this, &RecordWorker::check);
            return;
        }
        setHealth(Unusable, tr("记录数据库 %1 已损坏，文件未作改动，记录不会保存").arg(m_path));
        return;
    }
    m_checked = true;
    if (m_health != ReadOnly)
        setHealth(Ok, QString());
    flush();
}

// A change the file cannot take (it turned out damaged, or read-only) stays here too: the
// store counts it as waiting and says so, rather than dropping it.
void RecordWorker::queue(Change change)
{
    m_changes.push_back(std::move(change));
    flush();
}

void RecordWorker::add(qint64 ticket, const QVariantMap &record)
{
    queue({Change::Add, ticket, record, {}, {}});
}

void RecordWorker::remove(qint64 id)
{
    queue({Change::Remove, id, {}, {}, {}});
}

void RecordWorker::clear()
{
    queue({Change::Clear, 0, {}, {}, {}});
}

void RecordWorker::setState(const QString &key, const QVariant &value)
{
    queue({Change::State, 0, {}, key, value});
}

void RecordWorker::flush()
{
    if (!m_open || !m_checked || m_health == ReadOnly || m_health == Unusable)
        return;
    bool wrote = false;
    while (!m_changes.empty()) {
        QString why;
        bool busy = false;
        if (!write(m_changes.front(), &why, &busy)) {
            if (busy) {
                setBusy();
            } else {
                setHealth(Failing, tr("记录未能保存（%1）：%2").arg(m_path, why));
            }
            m_retry->start();
            break;
        }
        m_changes.pop_front();
        wrote = true;
    }
    if (m_changes.empty())
        setHealth(Ok, QString());
    if (wrote)
        sendTotals();
}

bool RecordWorker::write(Change &change, QString *why, bool *busy)
{
    QSqlQuery query(m_db);
    switch (change.kind) {
    case Change::Add: {
        QVariantMap &r = change.record;
        query.prepare(QStringLiteral("INSERT INTO records (time_ms, weight_kg, unit, mode, port,"
                                     " manual) VALUES (?, ?, ?, ?, ?, ?)"));
        query.addBindValue(r.value(QStringLiteral("timeMs")).toLongLong());
        query.addBindValue(r.value(QStringLiteral("weightKg")).toDouble());
        query.addBindValue(text(r.value(QStringLiteral("unit")).toString()));
        query.addBindValue(text(r.value(QStringLiteral("mode")).toString()));
        query.addBindValue(text(r.value(QStringLiteral("port")).toString()));
        query.addBindValue(r.value(QStringLiteral("manual")).toBool() ? 1 : 0);
        break;
    }
    case Change::Remove:
        query.prepare(QStringLiteral("DELETE FROM records WHERE id = ?"));
        query.addBindValue(change.ticket);
        break;
    case Change::Clear:
        query.prepare(QStringLiteral("DELETE FROM records"));
        break;
    case Change::State:
        query.prepare(QStringLiteral("INSERT OR REPLACE INTO state (key, value) VALUES (?, ?)"));
        query.addBindValue(change.key);
        query.addBindValue(change.value);
        break;
    }
    // One statement is one transaction: it is in the file whole, or not at all.
    if (!query.exec()) {
        *why = reason(query.lastError());
        *busy = isBusy(query.lastError());
        return false;
    }
    switch (change.kind) {
    case Change::Add:
        change.record.insert(QStringLiteral("id"), query.lastInsertId());
        if (m_count >= 0)
            ++m_count;
        Q_EMIT saved(change.ticket, change.record);
        break;
    case Change::Remove:
        if (query.numRowsAffected() > 0) {
            if (m_count >= 0)
                m_count -= query.numRowsAffected();
            Q_EMIT removed(change.ticket);
        }
        break;
    case Change::Clear:
        m_count = 0;
        Q_EMIT cleared();
        break;
    case Change::State:
        break;
    }
    return true;
}

void RecordWorker::countAll()
{
    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("SELECT COUNT(*) FROM records")) && query.next())
        m_count = query.value(0).toInt();
}

void RecordWorker::setDay(qint64 startMs, qint64 endMs)
{
    m_dayStart = startMs;
    m_dayEnd = endMs;
    if (m_open)
        sendTotals();
}

// The day's records through the time index: as quick with a million records as with ten.
void RecordWorker::sendTotals()
{
    if (m_count < 0)
        countAll();
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT COUNT(*), TOTAL(weight_kg) FROM records"
                                 " WHERE time_ms >= ? AND time_ms < ?"));
    query.addBindValue(m_dayStart);
    query.addBindValue(m_dayEnd);
    if (query.exec() && query.next())
        Q_EMIT totals(qMax(0, m_count), query.value(0).toInt(), query.value(1).toDouble());
}

void RecordWorker::fetchPage(int generation, qint64 beforeTimeMs, qint64 beforeId, int limit)
{
    QVariantList rows;
    if (!m_checked) {
        Q_EMIT page(generation, rows, false, true);
        return;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (beforeTimeMs < 0) {
        query.prepare(QStringLiteral("SELECT %1 FROM records ORDER BY time_ms DESC, id DESC"
                                     " LIMIT ?")
                              .arg(columns));
    } else {
        query.prepare(QStringLiteral("SELECT %1 FROM records WHERE (time_ms, id) < (?, ?)"
                                     " ORDER BY time_ms DESC, id DESC LIMIT ?")
                              .arg(columns));
        query.addBindValue(beforeTimeMs);
        query.addBindValue(beforeId);
    }
    query.addBindValue(limit);
    if (!query.exec()) {
        Q_EMIT page(generation, rows, false, true);
        return;
    }
    while (query.next())
        rows.append(recordFrom(query));
    Q_EMIT page(generation, rows, rows.size() < limit, false);
}

void RecordWorker::fetchBetween(int request, qint64 fromMs, qint64 toMs)
{
    QVariantList rows;
    if (!m_checked) {
        Q_EMIT between(request, rows);
        return;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM records WHERE (? < 0 OR time_ms >= ?)"
                                 " AND (? < 0 OR time_ms <= ?) ORDER BY time_ms, id")
                          .arg(columns));
    for (qint64 bound : {fromMs, fromMs, toMs, toMs})
        query.addBindValue(bound);
    if (query.exec()) {
        while (query.next())
            rows.append(recordFrom(query));
    }
    Q_EMIT between(request, rows);
}

void RecordWorker::exportCsv(const QString &path, qint64 fromMs, qint64 toMs,
                             const std::shared_ptr<std::atomic_bool> &cancel)
{
    Q_EMIT exportDone(path, exportTo(path, fromMs, toMs, *cancel));
}

QString RecordWorker::exportTo(const QString &path, qint64 fromMs, qint64 toMs,
                               const std::atomic_bool &cancel)
{
    if (!m_checked)
        return tr("记录数据库无法读取，无法导出");
    // A fresh account may have no documents folder yet.
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return tr("无法导出到 %1：无法建立文件夹 %2").arg(path, QDir::toNativeSeparators(folder));
    const QString where = QStringLiteral(" FROM records WHERE (? < 0 OR time_ms >= ?)"
                                         " AND (? < 0 OR time_ms <= ?)");
    const auto bind = [&](QSqlQuery &q) {
        for (qint64 bound : {fromMs, fromMs, toMs, toMs})
            q.addBindValue(bound);
    };
    QSqlQuery count(m_db);
    count.prepare(QStringLiteral("SELECT COUNT(*)") + where);
    bind(count);
    if (!count.exec() || !count.next())
        return tr("无法导出：%1").arg(reason(count.lastError()));
    const qint64 total = count.value(0).toLongLong();
    count.finish();

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return tr("无法导出到 %1：%2").arg(path, out.errorString());
    QSqlQuery rows(m_db);
    rows.setForwardOnly(true);
    rows.prepare(QStringLiteral("SELECT ") + columns + where
                 + QStringLiteral(" ORDER BY time_ms, id"));
    bind(rows);
    if (!rows.exec()) {
        out.cancelWriting();
        return tr("无法导出：%1").arg(reason(rows.lastError()));
    }
    // Row by row, a block at a time: memory stays the same for ten records or ten million.
    QString text = CsvFormat::head();
    QByteArray block;
    CsvFormat::LocalTimes times;
    qint64 done = 0;
    Q_EMIT exportProgress(0, total);
    while (rows.next()) {
        if (cancel.load()) {
            out.cancelWriting();
            return tr("导出已取消");
        }
        CsvFormat::appendRow(&text, &times, rows.value(1).toLongLong(), rows.value(2).toDouble(),
                             rows.value(3).toString(), rows.value(4).toString(),
                             rows.value(5).toString(), rows.value(6).toInt() != 0);
        if (text.size() >= 1 << 15) {
            block = text.toUtf8();
            text.clear();
            if (out.write(block) != block.size())
                break;
        }
        if (++done % 10000 == 0)
            Q_EMIT exportProgress(done, total);
    }
    block = text.toUtf8();
    // The final flush can fail (full disk) while commit() still answers true on Qt 6.4.
    if (out.write(block) != block.size() || !out.flush()) {
        const QString why = out.errorString();
        out.cancelWriting();
        return tr("无法导出到 %1：%2").arg(path, why);
    }
    if (!out.commit())
        return tr("无法导出到 %1：%2").arg(path, out.errorString());
    Q_EMIT exportProgress(done, done);
    return QString();
}

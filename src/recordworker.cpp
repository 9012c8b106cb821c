#include "recordworker.h"

#include "csvformat.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QUuid>

#include <cmath>

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

QVariantMap recordFrom(const QSqlQuery &query, const QString &station)
{
    QVariantMap record{
            {QStringLiteral("id"), query.value(0)},
            {QStringLiteral("timeMs"), query.value(1)},
            {QStringLiteral("weightKg"), query.value(2)},
            {QStringLiteral("unit"), query.value(3)},
            {QStringLiteral("mode"), query.value(4)},
            {QStringLiteral("port"), query.value(5)},
            {QStringLiteral("manual"), query.value(6).toInt() != 0},
            {QStringLiteral("seq"), query.value(7)},
            {QStringLiteral("number"), query.value(8)},
            {QStringLiteral("station"), station},
            {QStringLiteral("hash"), QString::fromLatin1(query.value(11).toByteArray().toHex())}};
    if (!query.value(9).isNull())
        record.insert(QStringLiteral("tareKg"), query.value(9).toDouble());
    if (!query.value(10).isNull()) {
        ChainEntry::Fields fields;
        ChainEntry::parseBody(query.value(12).toString(), &fields);
        record.insert(QStringLiteral("voidedSeq"), query.value(10));
        record.insert(QStringLiteral("voidReason"),
                      ChainEntry::value(fields, QStringLiteral("reason")));
    }
    return record;
}

// A record with its place in the chain, its hash and, when void, the void's entry.
const QString columns = QStringLiteral(
        "r.id, r.time_ms, r.weight_kg, r.unit, r.mode, r.port, r.manual, r.seq, r.number,"
        " r.tare_kg, r.voided_seq, e.hash, v.body FROM records r"
        " LEFT JOIN entries e ON e.seq = r.seq LEFT JOIN entries v ON v.seq = r.voided_seq");

const QString stationKey = QStringLiteral("station/id");
} // namespace

RecordWorker::RecordWorker(const QString &path)
    : m_path(path), m_connection(newConnectionName()) { }

RecordWorker::~RecordWorker()
{
    m_verifier.reset(); // its look-ups hold the connection
    m_source.reset();
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
    } else if (readOnly && found < schemaVersion) {
        // An older file is read through the chain's tables, which it has yet to get.
        setHealth(ReadOnly,
                  tr("记录数据库 %1 只读，且是旧版本，无法升级，记录不会保存；"
                     "复制到可写的位置后用 Pelora 打开一次即可升级并查看")
                          .arg(m_path));
        return false;
    } else if (readOnly) {
        setHealth(ReadOnly, tr("记录数据库 %1 只读，只能查看，记录不会保存").arg(m_path));
    } else if (found < schemaVersion) {
        QString why;
        bool busy = false;
        if (!migrate(found, &why, &busy)) {
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
    m_station = state.value(stationKey).toString();
    Q_EMIT stationKnown(m_station);
    Q_EMIT stateLoaded(state);
    return true;
}

// Brings a file of an older version (or a new, empty one) to this one in one transaction:
// all of it or, killed or failed half-way, none of it. Records already there join the chain
// in the order the list shows them, each marked as migrated.
bool RecordWorker::migrate(int found, QString *why, bool *busy)
{
    QSqlQuery q(m_db);
    const auto run = [&](const QString &sql) {
        if (q.exec(sql))
            return true;
        *why = reason(q.lastError());
        *busy = isBusy(q.lastError());
        return false;
    };
    const auto fail = [&] {
        QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!run(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    const bool tables = run(QStringLiteral("CREATE TABLE IF NOT EXISTS records ("
                                           " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                           " time_ms INTEGER NOT NULL,"
                                           " weight_kg REAL NOT NULL,"
                                           " unit TEXT NOT NULL DEFAULT '',"
                                           " mode TEXT NOT NULL DEFAULT '',"
                                           " port TEXT NOT NULL DEFAULT '',"
                                           " manual INTEGER NOT NULL DEFAULT 0)"))
            && run(QStringLiteral("CREATE INDEX IF NOT EXISTS records_time ON records(time_ms)"))
            && run(QStringLiteral("CREATE TABLE IF NOT EXISTS state ("
                                  " key TEXT PRIMARY KEY, value NOT NULL)"))
            && run(QStringLiteral("ALTER TABLE records ADD COLUMN seq INTEGER"))
            && run(QStringLiteral("ALTER TABLE records ADD COLUMN number INTEGER"))
            && run(QStringLiteral("ALTER TABLE records ADD COLUMN tare_kg REAL"))
            && run(QStringLiteral("ALTER TABLE records ADD COLUMN voided_seq INTEGER"))
            && run(QStringLiteral("CREATE TABLE entries (seq INTEGER PRIMARY KEY,"
                                  " station TEXT NOT NULL, kind TEXT NOT NULL,"
                                  " time_ms INTEGER NOT NULL, body TEXT NOT NULL,"
                                  " prev_hash BLOB NOT NULL, hash BLOB NOT NULL)"));
    if (!tables)
        return fail();
    QString station;
    if (q.exec(QStringLiteral("SELECT value FROM state WHERE key = 'station/id'")) && q.next())
        station = q.value(0).toString();
    // Starting with a letter, a spreadsheet never takes the id for a number.
    while (station.isEmpty() || station.front().isDigit())
        station = QUuid::createUuid().toString(QUuid::Id128);
    {
        q.prepare(QStringLiteral("INSERT OR REPLACE INTO state (key, value) VALUES (?, ?)"));
        q.addBindValue(stationKey);
        q.addBindValue(station);
        if (!q.exec()) {
            *why = reason(q.lastError());
            return fail();
        }
    }
    qint64 records = 0;
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM records")) && q.next())
        records = q.value(0).toLongLong();
    q.finish();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    ChainEntry entry;
    entry.seq = 1;
    entry.station = station;
    entry.kind = ChainEntry::startKind();
    entry.timeMs = now;
    entry.body = ChainEntry::makeBody({{QStringLiteral("schema"), QString::number(schemaVersion)},
                                       {QStringLiteral("from"), QString::number(found)},
                                       {QStringLiteral("migrated"), QString::number(records)}});
    entry.prevHash = ChainEntry::zeroHash();
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO entries (seq, station, kind, time_ms, body,"
                                  " prev_hash, hash) VALUES (?, ?, ?, ?, ?, ?, ?)"));
    const auto put = [&](ChainEntry &e) {
        e.hash = e.computeHash();
        insert.addBindValue(e.seq);
        insert.addBindValue(e.station);
        insert.addBindValue(e.kind);
        insert.addBindValue(e.timeMs);
        insert.addBindValue(e.body);
        insert.addBindValue(e.prevHash);
        insert.addBindValue(e.hash);
        if (insert.exec())
            return true;
        *why = reason(insert.lastError());
        *busy = isBusy(insert.lastError());
        return false;
    };
    if (!put(entry))
        return fail();
    // The numbers in one statement, in the order the list shows the records; then the
    // entries, each hashed over the one before.
    if (!run(QStringLiteral("UPDATE records SET number = o.n, seq = o.n + 1 FROM (SELECT id,"
                            " ROW_NUMBER() OVER (ORDER BY time_ms, id) AS n FROM records) AS o"
                            " WHERE records.id = o.id")))
        return fail();
    QSqlQuery rows(m_db);
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT number, time_ms, weight_kg, unit, mode, port, manual"
                                  " FROM records ORDER BY number"))) {
        *why = reason(rows.lastError());
        return fail();
    }
    entry.kind = ChainEntry::recordKind();
    while (rows.next()) {
        entry.prevHash = entry.hash;
        ++entry.seq;
        entry.timeMs = rows.value(1).toLongLong();
        entry.body = ChainEntry::recordBody(rows.value(0).toLongLong(), rows.value(2).toDouble(),
                                            std::nan(""), rows.value(3).toString(),
                                            rows.value(4).toString(), rows.value(5).toString(),
                                            rows.value(6).toInt() != 0, true);
        if (!put(entry))
            return fail();
    }
    rows.finish();
    const bool done = run(QStringLiteral("CREATE UNIQUE INDEX records_seq ON records(seq)"))
            && run(QStringLiteral("CREATE UNIQUE INDEX records_number ON records(number)"))
            && run(QStringLiteral("CREATE INDEX records_valid ON records(time_ms)"
                                  " WHERE voided_seq IS NULL"))
            && run(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion))
            && run(QStringLiteral("COMMIT"));
    return done || fail();
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
    verify();
}

void RecordWorker::verify()
{
    if (!m_checked)
        return;
    m_verifier = std::make_unique<ChainVerifier>();
    m_source = std::make_unique<SqlChainSource>(m_db);
    m_source->attach(m_verifier.get());
    m_chainTotal = 0;
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("SELECT MAX(seq) FROM entries")) && q.next())
        m_chainTotal = q.value(0).toLongLong();
    if (!m_verifying) {
        m_verifying = true;
        QMetaObject::invokeMethod(this, &RecordWorker::verifyNext, Qt::QueuedConnection);
    }
    reportChain();
}

// A batch at a time, each after whatever was asked for meanwhile: a long history is checked
// while records go on being written.
void RecordWorker::verifyNext()
{
    if (!m_verifier) {
        m_verifying = false;
        return;
    }
    const int read = m_source->readBatch(m_verifier.get(), verifyBatch);
    if (read < 0 && m_source->busy()) {
        // Another program holds the file: the check goes on once it lets go.
        QTimer::singleShot(retryMs, this, &RecordWorker::verifyNext);
        return;
    }
    if (read == verifyBatch && !m_verifier->broken()) {
        reportChain();
        QMetaObject::invokeMethod(this, &RecordWorker::verifyNext, Qt::QueuedConnection);
        return;
    }
    m_verifying = false;
    if (read >= 0) {
        m_source->finish(m_verifier.get());
    } else {
        // A chain that cannot be read is no whole chain.
        m_verifier->fail(m_verifier->headSeq() + 1,
                         tr("记录链无法读取（%1）").arg(m_source->errorText()));
    }
    reportChain();
}

void RecordWorker::reportChain()
{
    if (!m_verifier) {
        Q_EMIT chainChanged(ChainUnknown, 0, QString(), 0);
        return;
    }
    if (m_verifier->broken()) {
        Q_EMIT chainChanged(ChainBroken, m_verifier->count(), m_verifier->summary(), 1);
    } else if (m_verifying) {
        const double done = m_chainTotal > 0 ? double(m_verifier->headSeq()) / m_chainTotal : 0;
        Q_EMIT chainChanged(ChainChecking, m_verifier->count(),
                            tr("正在检查记录链… %1%").arg(int(done * 100)), done);
    } else {
        Q_EMIT chainChanged(ChainIntact, m_verifier->count(), m_verifier->summary(), 1);
    }
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

void RecordWorker::voidRecord(qint64 id, const QString &reason)
{
    queue({Change::Void, id, {}, reason, {}});
}

void RecordWorker::voidAll(const QString &reason)
{
    queue({Change::VoidAll, 0, {}, reason, {}});
}

void RecordWorker::addEvent(qint64 timeMs, const QString &type, const QVariantMap &fields)
{
    queue({Change::Event, timeMs, {}, type, fields});
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

bool RecordWorker::append(ChainEntry *entry,
                          const std::function<bool(QSqlQuery &, ChainEntry *)> &fill, QString *why,
                          bool *busy, QString *refused)
{
    QSqlQuery q(m_db);
    const auto failed = [&](const QSqlQuery &query) {
        *why = reason(query.lastError());
        *busy = isBusy(query.lastError());
        QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *why = reason(q.lastError());
        *busy = isBusy(q.lastError());
        return false;
    }
    // The head is read under the lock: a second program on the same file cannot fork it.
    if (!q.exec(QStringLiteral("SELECT seq, hash FROM entries ORDER BY seq DESC LIMIT 1")))
        return failed(q);
    entry->seq = 1;
    entry->prevHash = ChainEntry::zeroHash();
    if (q.next()) {
        entry->seq = q.value(0).toLongLong() + 1;
        entry->prevHash = q.value(1).toByteArray();
    }
    q.finish();
    entry->station = m_station;
    if (!fill(q, entry)) {
        if (!refused->isEmpty()) {
            QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
            return true;
        }
        return failed(q);
    }
    entry->hash = entry->computeHash();
    q.prepare(QStringLiteral("INSERT INTO entries (seq, station, kind, time_ms, body,"
                             " prev_hash, hash) VALUES (?, ?, ?, ?, ?, ?, ?)"));
    q.addBindValue(entry->seq);
    q.addBindValue(entry->station);
    q.addBindValue(entry->kind);
    q.addBindValue(entry->timeMs);
    q.addBindValue(entry->body);
    q.addBindValue(entry->prevHash);
    q.addBindValue(entry->hash);
    if (!q.exec() || !q.exec(QStringLiteral("COMMIT")))
        return failed(q);
    return true;
}

bool RecordWorker::write(Change &change, QString *why, bool *busy)
{
    if (change.kind == Change::State) {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral("INSERT OR REPLACE INTO state (key, value) VALUES (?, ?)"));
        query.addBindValue(change.key);
        query.addBindValue(change.value);
        if (!query.exec()) {
            *why = reason(query.lastError());
            *busy = isBusy(query.lastError());
            return false;
        }
        return true;
    }
    ChainEntry entry;
    QString refused;
    std::function<bool(QSqlQuery &, ChainEntry *)> fill;
    qint64 affected = 0;
    switch (change.kind) {
    case Change::Add:
        fill = [&](QSqlQuery &q, ChainEntry *e) {
            QVariantMap &r = change.record;
            if (!q.exec(QStringLiteral("SELECT COALESCE(MAX(number), 0) + 1 FROM records"))
                || !q.next())
                return false;
            const qint64 number = q.value(0).toLongLong();
            q.finish();
            const QVariant tare = r.value(QStringLiteral("tareKg"));
            const double tareKg = tare.isValid() && !tare.isNull() ? tare.toDouble() : std::nan("");
            e->kind = ChainEntry::recordKind();
            e->timeMs = r.value(QStringLiteral("timeMs")).toLongLong();
            e->body = ChainEntry::recordBody(number, r.value(QStringLiteral("weightKg")).toDouble(),
                                             tareKg,
                                             text(r.value(QStringLiteral("unit")).toString()),
                                             text(r.value(QStringLiteral("mode")).toString()),
                                             text(r.value(QStringLiteral("port")).toString()),
                                             r.value(QStringLiteral("manual")).toBool(), false);
            q.prepare(QStringLiteral("INSERT INTO records (time_ms, weight_kg, unit, mode, port,"
                                     " manual, seq, number, tare_kg)"
                                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
            q.addBindValue(e->timeMs);
            q.addBindValue(r.value(QStringLiteral("weightKg")).toDouble());
            q.addBindValue(text(r.value(QStringLiteral("unit")).toString()));
            q.addBindValue(text(r.value(QStringLiteral("mode")).toString()));
            q.addBindValue(text(r.value(QStringLiteral("port")).toString()));
            q.addBindValue(r.value(QStringLiteral("manual")).toBool() ? 1 : 0);
            q.addBindValue(e->seq);
            q.addBindValue(number);
            q.addBindValue(std::isfinite(tareKg) ? QVariant(tareKg) : QVariant());
            if (!q.exec())
                return false;
            r.insert(QStringLiteral("id"), q.lastInsertId());
            r.insert(QStringLiteral("number"), number);
            r.insert(QStringLiteral("seq"), e->seq);
            r.insert(QStringLiteral("station"), m_station);
            return true;
        };
        break;
    case Change::Void:
    case Change::VoidAll:
        fill = [&](QSqlQuery &q, ChainEntry *e) {
            e->timeMs = QDateTime::currentMSecsSinceEpoch();
            if (change.kind == Change::Void) {
                q.prepare(QStringLiteral("SELECT seq, number FROM records"
                                         " WHERE id = ? AND voided_seq IS NULL"));
                q.addBindValue(change.ticket);
                if (!q.exec())
                    return false;
                if (!q.next()) {
                    refused = tr("这条记录已作废或不存在");
                    return false;
                }
                e->kind = ChainEntry::voidKind();
                e->body = ChainEntry::makeBody({{QStringLiteral("target"), q.value(0).toString()},
                                                {QStringLiteral("number"), q.value(1).toString()},
                                                {QStringLiteral("reason"), change.key}});
                q.finish();
                q.prepare(QStringLiteral("UPDATE records SET voided_seq = ? WHERE id = ?"));
                q.addBindValue(e->seq);
                q.addBindValue(change.ticket);
            } else {
                if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM records"
                                           " WHERE voided_seq IS NULL"))
                    || !q.next())
                    return false;
                const qint64 count = q.value(0).toLongLong();
                if (count == 0) {
                    refused = tr("没有可作废的记录");
                    return false;
                }
                e->kind = ChainEntry::voidAllKind();
                e->body = ChainEntry::makeBody({{QStringLiteral("count"), QString::number(count)},
                                                {QStringLiteral("reason"), change.key}});
                q.finish();
                q.prepare(QStringLiteral("UPDATE records SET voided_seq = ?"
                                         " WHERE voided_seq IS NULL"));
                q.addBindValue(e->seq);
            }
            if (!q.exec())
                return false;
            affected = q.numRowsAffected();
            return true;
        };
        break;
    case Change::Event:
        fill = [&](QSqlQuery &, ChainEntry *e) {
            e->kind = ChainEntry::eventKind();
            e->timeMs = change.ticket;
            ChainEntry::Fields fields{{QStringLiteral("type"), change.key}};
            const QVariantMap map = change.value.toMap();
            for (auto it = map.cbegin(); it != map.cend(); ++it) // sorted by name
                fields.append({it.key(), it.value().toString()});
            e->body = ChainEntry::makeBody(fields);
            return true;
        };
        break;
    case Change::State:
        break;
    }
    if (!append(&entry, fill, why, busy, &refused))
        return false;
    if (!refused.isEmpty()) {
        Q_EMIT voidRefused(refused);
        return true;
    }
    switch (change.kind) {
    case Change::Add:
        change.record.insert(QStringLiteral("hash"), QString::fromLatin1(entry.hash.toHex()));
        if (m_count >= 0)
            ++m_count;
        Q_EMIT saved(change.ticket, change.record);
        break;
    case Change::Void:
        if (m_count >= 0)
            m_count -= affected;
        Q_EMIT voided(change.ticket);
        break;
    case Change::VoidAll:
        m_count = 0;
        Q_EMIT allVoided();
        break;
    default:
        break;
    }
    // The check follows the chain as it grows, once it has caught up with it.
    if (m_verifier && !m_verifying && !m_verifier->broken()) {
        m_source->readBatch(m_verifier.get(), verifyBatch);
        reportChain();
    }
    return true;
}

void RecordWorker::countAll()
{
    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("SELECT COUNT(*) FROM records WHERE voided_seq IS NULL"))
        && query.next())
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
                                 " WHERE time_ms >= ? AND time_ms < ? AND voided_seq IS NULL"));
    query.addBindValue(m_dayStart);
    query.addBindValue(m_dayEnd);
    if (query.exec() && query.next())
        Q_EMIT totals(qMax(0, m_count), query.value(0).toInt(), query.value(1).toDouble());
}

void RecordWorker::fetchPage(int generation, qint64 beforeTimeMs, qint64 beforeId, int limit,
                             bool withVoided)
{
    QVariantList rows;
    if (!m_checked) {
        Q_EMIT page(generation, rows, false, true);
        return;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    // "voided_seq IS NULL" spelled as the partial index says, so that a file of voided
    // records pages as quickly as one without.
    const QString valid = withVoided ? QStringLiteral("1") : QStringLiteral("r.voided_seq IS NULL");
    if (beforeTimeMs < 0) {
        query.prepare(QStringLiteral("SELECT %1 WHERE %2 ORDER BY r.time_ms DESC, r.id DESC"
                                     " LIMIT ?")
                              .arg(columns, valid));
    } else {
        query.prepare(QStringLiteral("SELECT %1 WHERE %2 AND (r.time_ms, r.id) < (?, ?)"
                                     " ORDER BY r.time_ms DESC, r.id DESC LIMIT ?")
                              .arg(columns, valid));
        query.addBindValue(beforeTimeMs);
        query.addBindValue(beforeId);
    }
    query.addBindValue(limit);
    if (!query.exec()) {
        Q_EMIT page(generation, rows, false, true);
        return;
    }
    while (query.next())
        rows.append(recordFrom(query, m_station));
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
    query.prepare(QStringLiteral("SELECT %1 WHERE r.voided_seq IS NULL"
                                 " AND (? < 0 OR r.time_ms >= ?) AND (? < 0 OR r.time_ms <= ?)"
                                 " ORDER BY r.time_ms, r.id")
                          .arg(columns));
    for (qint64 bound : {fromMs, fromMs, toMs, toMs})
        query.addBindValue(bound);
    if (query.exec()) {
        while (query.next())
            rows.append(recordFrom(query, m_station));
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
    // The entries from the first of the period to its last, in the chain's order, with
    // every void and event between them: a part that can be checked on its own.
    qint64 first = 0, last = -1;
    QSqlQuery bounds(m_db);
    bounds.prepare(QStringLiteral("SELECT MIN(seq), MAX(seq) FROM entries"
                                  " WHERE (? < 0 OR time_ms >= ?) AND (? < 0 OR time_ms <= ?)"));
    for (qint64 bound : {fromMs, fromMs, toMs, toMs})
        bounds.addBindValue(bound);
    if (!bounds.exec() || !bounds.next())
        return tr("无法导出：%1").arg(reason(bounds.lastError()));
    if (!bounds.value(0).isNull()) {
        first = bounds.value(0).toLongLong();
        last = bounds.value(1).toLongLong();
    }
    bounds.finish();
    const qint64 total = last - first + 1;

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return tr("无法导出到 %1：%2").arg(path, out.errorString());
    QSqlQuery rows(m_db);
    rows.setForwardOnly(true);
    rows.prepare(QStringLiteral(
            "SELECT e.seq, e.station, e.kind, e.time_ms, e.body, e.prev_hash, e.hash,"
            " r.weight_kg, r.unit, r.mode, r.port, r.manual, r.number, r.tare_kg, r.voided_seq,"
            " v.body FROM entries e LEFT JOIN records r ON r.seq = e.seq AND e.kind = 'record'"
            " LEFT JOIN entries v ON v.seq = r.voided_seq"
            " WHERE e.seq BETWEEN ? AND ? ORDER BY e.seq"));
    rows.addBindValue(first);
    rows.addBindValue(last);
    if (!rows.exec()) {
        out.cancelWriting();
        return tr("无法导出：%1").arg(reason(rows.lastError()));
    }
    // Row by row, a block at a time: memory stays the same for ten records or ten million.
    QString text = CsvFormat::head();
    QByteArray block;
    CsvFormat::LocalTimes times;
    qint64 done = 0;
    ChainEntry entry;
    CsvFormat::Extra extra;
    Q_EMIT exportProgress(0, total);
    while (rows.next()) {
        if (cancel.load()) {
            out.cancelWriting();
            return tr("导出已取消");
        }
        SqlChainSource::readEntry(rows, &entry);
        bool record = !rows.value(7).isNull();
        if ((fromMs >= 0 && entry.timeMs < fromMs) || (toMs >= 0 && entry.timeMs > toMs)) {
            // Written between the days asked for, dated outside them (a clock set back, a
            // record dated by hand): its place is kept, its content left out.
            entry.kind = ChainEntry::outsideKind();
            entry.body.clear();
            record = false;
        }
        if (record) {
            extra.number = rows.value(12).toLongLong();
            extra.tareKg = rows.value(13).isNull() ? std::nan("") : rows.value(13).toDouble();
            extra.voided.clear();
            if (!rows.value(14).isNull()) {
                ChainEntry::Fields fields;
                ChainEntry::parseBody(rows.value(15).toString(), &fields);
                extra.voided = tr("第 %1 条：%2")
                                       .arg(rows.value(14).toLongLong())
                                       .arg(ChainEntry::value(fields, QStringLiteral("reason")));
            }
        }
        CsvFormat::appendEntry(&text, &times, entry, rows.value(8).toString(),
                               rows.value(9).toString(), rows.value(10).toString(),
                               rows.value(7).toDouble(), rows.value(11).toInt() != 0,
                               record ? &extra : nullptr);
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

#include "recordstore.h"

#include "csvformat.h"
#include "tools.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUrl>

#include <atomic>

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

// A day runs from its first local millisecond to the next day's, whatever its length.
qint64 dayStart(QDate day)
{
    return day.startOfDay().toMSecsSinceEpoch();
}

QString reason(const QSqlError &error)
{
    const QString text = error.driverText().isEmpty() ? error.text() : error.driverText();
    return error.databaseText().isEmpty() ? text : error.databaseText();
}
} // namespace

RecordStore::RecordStore(const QString &path, QObject *parent)
    : QObject(parent), m_path(path), m_connection(newConnectionName())
{
    open();
    reload();
}

RecordStore::~RecordStore()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

RecordStore *RecordStore::create(QQmlEngine *engine, QJSEngine *)
{
    // The page and the recorder share one store per engine.
    const char *key = "_peloraRecordStore";
    if (auto *store = engine->property(key).value<RecordStore *>())
        return store;
    auto *store = new RecordStore(defaultPath(), engine);
    QQmlEngine::setObjectOwnership(store, QQmlEngine::CppOwnership);
    engine->setProperty(key, QVariant::fromValue(store));
    return store;
}

QString RecordStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
            + QStringLiteral("/records.sqlite");
}

void RecordStore::setError(const QString &text, bool writable)
{
    if (m_error == text && m_writable == writable)
        return;
    m_error = text;
    m_writable = writable;
    Q_EMIT errorTextChanged();
}

bool RecordStore::exec(const QString &sql, QString *why)
{
    QSqlQuery query(m_db);
    if (query.exec(sql))
        return true;
    if (why)
        *why = reason(query.lastError());
    return false;
}

void RecordStore::open()
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        setError(tr("无法打开记录数据库 %1：无法建立文件夹").arg(m_path), false);
        return;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(m_path);
    if (!m_db.open()) {
        setError(tr("无法打开记录数据库 %1：%2").arg(m_path, reason(m_db.lastError())), false);
        return;
    }
    // Reading the version is the first touch of the file: a foreign or damaged file fails
    // here, before anything could be written to it.
    QSqlQuery version(m_db);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
        setError(tr("记录数据库 %1 已损坏或不是记录数据库（%2），文件未作改动，记录不会保存")
                         .arg(m_path, reason(version.lastError())),
                 false);
        m_db.close();
        return;
    }
    const int found = version.value(0).toInt();
    version.finish();
    QSqlQuery check(m_db);
    if (!check.exec(QStringLiteral("PRAGMA quick_check")) || !check.next()
        || check.value(0).toString() != QStringLiteral("ok")) {
        setError(tr("记录数据库 %1 已损坏，文件未作改动，记录不会保存").arg(m_path), false);
        m_db.close();
        return;
    }
    check.finish();
    if (found > schemaVersion) {
        setError(tr("记录数据库 %1 来自更新的版本，只能查看，记录不会保存").arg(m_path), false);
        m_ok = true;
        return;
    }
    m_ok = true;
    QString why;
    const bool prepared = exec(QStringLiteral("PRAGMA synchronous=FULL"), &why)
            && (found == schemaVersion
                || (exec(QStringLiteral("BEGIN IMMEDIATE"), &why)
                    && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS records ("
                                           " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                           " time_ms INTEGER NOT NULL,"
                                           " weight_kg REAL NOT NULL,"
                                           " unit TEXT NOT NULL DEFAULT '',"
                                           " mode TEXT NOT NULL DEFAULT '',"
                                           " port TEXT NOT NULL DEFAULT '',"
                                           " manual INTEGER NOT NULL DEFAULT 0)"),
                            &why)
                    && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS records_time"
                                           " ON records(time_ms)"),
                            &why)
                    && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS state ("
                                           " key TEXT PRIMARY KEY, value NOT NULL)"),
                            &why)
                    && exec(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion), &why)
                    && exec(QStringLiteral("COMMIT"), &why)));
    if (!prepared) {
        exec(QStringLiteral("ROLLBACK"));
        setError(tr("无法写入记录数据库 %1：%2，记录不会保存").arg(m_path, why), false);
        return;
    }
    setError(QString(), true);
}

qint64 RecordStore::addRecord(double weightKg, const QString &unit, const QString &mode,
                              const QString &port, bool manual, qint64 timeMs)
{
    if (!m_ok || !m_writable)
        return -1;
    if (timeMs < 0)
        timeMs = QDateTime::currentMSecsSinceEpoch();
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT INTO records (time_ms, weight_kg, unit, mode, port,"
                                 " manual) VALUES (?, ?, ?, ?, ?, ?)"));
    query.addBindValue(timeMs);
    query.addBindValue(weightKg);
    query.addBindValue(text(unit));
    query.addBindValue(text(mode));
    query.addBindValue(text(port));
    query.addBindValue(manual ? 1 : 0);
    if (!query.exec()) {
        // Still writable next time, once the disk has room again.
        setError(tr("记录未能保存（%1）：%2").arg(m_path, reason(query.lastError())), true);
        return -1;
    }
    setError(QString(), true);
    const qint64 id = query.lastInsertId().toLongLong();
    reload();
    return id;
}

bool RecordStore::removeRecord(qint64 id)
{
    if (!m_ok || !m_writable)
        return false;
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM records WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec()) {
        setError(tr("记录未能删除：%1").arg(reason(query.lastError())), true);
        return false;
    }
    if (query.numRowsAffected() <= 0)
        return false;
    reload();
    Q_EMIT recordsRemoved();
    return true;
}

bool RecordStore::clearAll()
{
    if (!m_ok || !m_writable)
        return false;
    QString why;
    if (!exec(QStringLiteral("DELETE FROM records"), &why)) {
        setError(tr("记录未能清空：%1").arg(why), true);
        return false;
    }
    reload();
    Q_EMIT recordsRemoved();
    return true;
}

static QVariantMap recordFrom(const QSqlQuery &query)
{
    return {{QStringLiteral("id"), query.value(0)},
            {QStringLiteral("timeMs"), query.value(1)},
            {QStringLiteral("weightKg"), query.value(2)},
            {QStringLiteral("unit"), query.value(3)},
            {QStringLiteral("mode"), query.value(4)},
            {QStringLiteral("port"), query.value(5)},
            {QStringLiteral("manual"), query.value(6).toInt() != 0}};
}

QVariant RecordStore::stateValue(const QString &key, const QVariant &fallback) const
{
    if (!m_ok)
        return fallback;
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT value FROM state WHERE key = ?"));
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return fallback;
    return query.value(0);
}

bool RecordStore::setStateValue(const QString &key, const QVariant &value)
{
    if (!m_ok || !m_writable)
        return false;
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO state (key, value) VALUES (?, ?)"));
    query.addBindValue(key);
    query.addBindValue(value);
    if (!query.exec()) {
        setError(tr("记录状态未能保存（%1）：%2").arg(m_path, reason(query.lastError())), true);
        return false;
    }
    return true;
}

QVariantList RecordStore::recordsBetween(qint64 fromMs, qint64 toMs) const
{
    QVariantList out;
    if (!m_ok)
        return out;
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT id, time_ms, weight_kg, unit, mode, port, manual"
                                 " FROM records WHERE (? < 0 OR time_ms >= ?)"
                                 " AND (? < 0 OR time_ms <= ?) ORDER BY time_ms, id"));
    for (qint64 bound : {fromMs, fromMs, toMs, toMs})
        query.addBindValue(bound);
    if (!query.exec())
        return out;
    while (query.next())
        out.append(recordFrom(query));
    return out;
}

void RecordStore::reload()
{
    m_records.clear();
    m_count = 0;
    m_todayCount = 0;
    m_todayTotal = 0;
    if (m_ok) {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral("SELECT id, time_ms, weight_kg, unit, mode, port, manual"
                                     " FROM records ORDER BY time_ms DESC, id DESC LIMIT ?"));
        query.addBindValue(listLimit);
        if (query.exec()) {
            while (query.next())
                m_records.append(recordFrom(query));
        }
        const qint64 midnight = QDateTime(QDate::currentDate(), QTime(0, 0)).toMSecsSinceEpoch();
        QSqlQuery totals(m_db);
        totals.prepare(QStringLiteral("SELECT COUNT(*),"
                                      " SUM(CASE WHEN time_ms >= ? THEN 1 ELSE 0 END),"
                                      " TOTAL(CASE WHEN time_ms >= ? THEN weight_kg ELSE 0 END)"
                                      " FROM records"));
        totals.addBindValue(midnight);
        totals.addBindValue(midnight);
        if (totals.exec() && totals.next()) {
            m_count = totals.value(0).toInt();
            m_todayCount = totals.value(1).toInt();
            m_todayTotal = totals.value(2).toDouble();
        }
    }
    Q_EMIT recordsChanged();
}

QString RecordStore::csvField(const QString &text)
{
    return CsvFormat::textCell(text);
}

QString RecordStore::exportCsv(const QUrl &file, qint64 fromMs, qint64 toMs) const
{
    return exportCsvToPath(file.isLocalFile() ? file.toLocalFile() : file.toString(), fromMs, toMs);
}

QString RecordStore::exportCsvToPath(const QString &path, qint64 fromMs, qint64 toMs) const
{
    if (!m_ok)
        return tr("记录数据库无法读取，无法导出");
    QString text = CsvFormat::head();
    const QVariantList rows = recordsBetween(fromMs, toMs);
    for (const QVariant &row : rows)
        text += CsvFormat::row(row.toMap());
    // A fresh account may have no documents folder yet.
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return tr("无法导出到 %1：无法建立文件夹 %2").arg(path, QDir::toNativeSeparators(folder));
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return tr("无法导出到 %1：%2").arg(path, out.errorString());
    const QByteArray bytes = text.toUtf8();
    // The final flush can fail (full disk) while commit() still answers true on Qt 6.4.
    if (out.write(bytes) != bytes.size() || !out.flush()) {
        const QString why = out.errorString();
        out.cancelWriting();
        return tr("无法导出到 %1：%2").arg(path, why);
    }
    if (!out.commit())
        return tr("无法导出到 %1：%2").arg(path, out.errorString());
    return QString();
}

QString RecordStore::suggestedExportPath() const
{
    // The documents folder is made by the export; where it cannot be, the home folder will do.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !Tools::canMakeFolder(folder))
        folder = QDir::homePath();
    return QDir(folder).filePath(QStringLiteral("pelora-records-%1.csv")
                                         .arg(QDate::currentDate().toString(Qt::ISODate)));
}

QVariantMap RecordStore::dayRange(const QString &from, const QString &to) const
{
    QVariantMap range{{QStringLiteral("fromMs"), -1}, {QStringLiteral("toMs"), -1}};
    QDate days[2];
    const QString texts[2] = {from.trimmed(), to.trimmed()};
    for (int i : {0, 1}) {
        if (texts[i].isEmpty())
            continue; // an open bound
        // fromString() also takes a time after the date; the pattern holds it to the day alone.
        static const QRegularExpression form(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
        days[i] = QDate::fromString(texts[i], Qt::ISODate);
        if (!form.match(texts[i]).hasMatch() || !days[i].isValid()) {
            range.insert(QStringLiteral("error"),
                         tr("日期 %1 无效，应为实际存在的日期，如 2026-01-31").arg(texts[i]));
            return range;
        }
    }
    if (days[0].isValid() && days[1].isValid() && days[0] > days[1]) {
        range.insert(QStringLiteral("error"), tr("开始日期晚于结束日期"));
        return range;
    }
    if (days[0].isValid())
        range.insert(QStringLiteral("fromMs"), dayStart(days[0]));
    if (days[1].isValid())
        range.insert(QStringLiteral("toMs"), dayStart(days[1].addDays(1)) - 1);
    return range;
}

QVariantMap RecordStore::exportToday() const
{
    const QDate today = QDate::currentDate();
    const QString path = suggestedExportPath();
    return {{QStringLiteral("path"), path},
            {QStringLiteral("error"),
             exportCsvToPath(path, dayStart(today), dayStart(today.addDays(1)) - 1)}};
}

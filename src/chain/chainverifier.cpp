#include "chainverifier.h"

#include "csvformat.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QSqlError>
#include <QSqlQuery>

#include <QThread>

#include <algorithm>
#include <cmath>
#include <deque>
#include <thread>

QString ChainVerifier::intactText(qint64 count)
{
    return tr("记录链完整 · %1 条").arg(QLocale(QLocale::English).toString(count));
}

QString ChainVerifier::summary() const
{
    if (!m_broken)
        return intactText(m_count);
    return tr("记录链在第 %1 条处断开：%2").arg(m_breakSeq).arg(m_problem);
}

void ChainVerifier::fail(qint64 seq, const QString &problem)
{
    if (m_broken)
        return;
    m_broken = true;
    m_breakSeq = seq;
    m_problem = problem;
}

QString ChainVerifier::difference(const QString &was, const QString &now)
{
    ChainEntry::Fields a, b;
    if (!ChainEntry::parseBody(was, &a) || !ChainEntry::parseBody(now, &b))
        return tr("内容被改动");
    QStringList changes;
    for (const auto &[name, value] : a) {
        const QString other = ChainEntry::value(b, name);
        if (other != value) {
            changes << tr("%1被改动（%2 → %3）")
                               .arg(ChainEntry::fieldName(name), value.isEmpty() ? tr("空") : value,
                                    other.isEmpty() ? tr("空") : other);
        }
    }
    return changes.isEmpty() ? tr("内容被改动") : changes.join(tr("，"));
}

namespace {
// A record's body starts with its number.
qint64 numberOf(const QString &body)
{
    if (!body.startsWith(QLatin1String("number\t")))
        return -1;
    return QStringView(body).mid(7, body.indexOf(u'\n') - 7).toLongLong();
}
} // namespace

bool ChainVerifier::take(const Row &row)
{
    if (m_broken)
        return false;
    const ChainEntry &e = row.entry;
    if (m_anywhere && m_count == 0) {
        // The first entry of a part: its number and link are taken as given.
        m_expected = e.seq;
        m_head = e.prevHash;
    }
    if (e.seq != m_expected) {
        if (e.seq > m_expected && comesLater && comesLater(m_expected)) {
            fail(m_expected,
                 tr("条目顺序被调换（第 %1 条出现在第 %2 条之前）").arg(e.seq).arg(m_expected));
        } else if (e.seq > m_expected) {
            fail(m_expected,
                 e.seq == m_expected + 1 ? tr("缺少第 %1 条").arg(m_expected)
                                         : tr("缺少第 %1–%2 条").arg(m_expected).arg(e.seq - 1));
        } else {
            fail(m_expected, tr("第 %1 条重复或顺序颠倒").arg(e.seq));
        }
        return false;
    }
    if (e.prevHash != m_head) {
        const qint64 at = seqOfHash ? seqOfHash(e.prevHash) : -1;
        if (at > e.seq) {
            fail(e.seq, tr("条目顺序被调换（第 %1 条与第 %2 条）").arg(e.seq).arg(at));
        } else if (at > 0 && at < e.seq - 1) {
            fail(e.seq, tr("第 %1 条之后的条目被删除，后面的编号被改过").arg(at));
        } else {
            fail(e.seq, tr("不接在上一条之后（链接被改动）"));
        }
        return false;
    }
    if (m_anywhere && e.kind == ChainEntry::outsideKind()) {
        m_head = e.hash; // its content is not in the part
        ++m_expected;
        ++m_count;
        return true;
    }
    const bool record = e.kind == ChainEntry::recordKind();
    if (record && !row.recordFound) {
        fail(e.seq, tr("记录被删除（记录编号 %1）").arg(numberOf(e.body)));
        return false;
    }
    if (record && (row.recordBody != e.body || row.recordTimeMs != e.timeMs)) {
        const qint64 other = seqOfRecord ? seqOfRecord(row.recordBody) : -1;
        if (other > 0 && other != e.seq) {
            fail(e.seq, tr("记录顺序被调换（第 %1 条与第 %2 条）").arg(e.seq).arg(other));
        } else if (row.recordBody != e.body) {
            fail(e.seq,
                 tr("记录编号 %1 的").arg(numberOf(e.body)) + difference(e.body, row.recordBody));
        } else {
            fail(e.seq,
                 tr("记录编号 %1 的").arg(numberOf(e.body))
                         + tr("%1被改动（%2 → %3）")
                                   .arg(ChainEntry::fieldName(QStringLiteral("time")),
                                        QDateTime::fromMSecsSinceEpoch(e.timeMs).toString(
                                                Qt::ISODateWithMs),
                                        QDateTime::fromMSecsSinceEpoch(row.recordTimeMs)
                                                .toString(Qt::ISODateWithMs)));
        }
        return false;
    }
    if (!(row.prepared ? row.hashRight : e.computeHash() == e.hash)) {
        fail(e.seq, tr("内容被改动（校验值不符）"));
        return false;
    }
    if (!row.problem.isEmpty()) {
        fail(e.seq, row.problem);
        return false;
    }
    if (record) {
        const qint64 number = numberOf(e.body);
        if (m_lastNumber > 0 && number != m_lastNumber + 1) {
            fail(e.seq, tr("记录编号不连续（%1 之后是 %2）").arg(m_lastNumber).arg(number));
            return false;
        }
        m_lastNumber = number;
    }
    m_head = e.hash;
    ++m_expected;
    ++m_count;
    return true;
}

void ChainVerifier::prepare(std::vector<Row> *rows, const std::function<void(Row &, size_t)> &also)
{
    const auto work = [rows, &also](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            Row &row = (*rows)[i];
            if (also)
                also(row, i);
            if (row.recordFields) {
                row.recordBody = ChainEntry::recordBody(
                        row.number, row.weightKg, row.tareKg, row.unit, row.mode, row.port,
                        row.manual, row.entry.body.endsWith(QStringLiteral("migrated\t1\n")));
            }
            row.hashRight = row.entry.computeHash() == row.entry.hash;
            row.prepared = true;
        }
    };
    const size_t half = rows->size() / 2;
    if (half < 256 || QThread::idealThreadCount() < 2) {
        work(0, rows->size());
        return;
    }
    std::thread other(work, half, rows->size());
    work(0, half);
    other.join();
}

namespace {
double tareOf(const QVariant &value)
{
    return value.isNull() ? std::nan("") : value.toDouble();
}
} // namespace

SqlChainSource::SqlChainSource(const QSqlDatabase &db) : m_db(db) { }

void SqlChainSource::readEntry(const QSqlQuery &query, ChainEntry *entry)
{
    entry->seq = query.value(0).toLongLong();
    entry->station = query.value(1).toString();
    entry->kind = query.value(2).toString();
    entry->timeMs = query.value(3).toLongLong();
    entry->body = query.value(4).toString();
    entry->prevHash = query.value(5).toByteArray();
    entry->hash = query.value(6).toByteArray();
}

void SqlChainSource::attach(ChainVerifier *verifier)
{
    verifier->seqOfHash = [db = m_db](const QByteArray &hash) -> qint64 {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT seq FROM entries WHERE hash = ? LIMIT 1"));
        q.addBindValue(hash);
        return q.exec() && q.next() ? q.value(0).toLongLong() : -1;
    };
    verifier->seqOfRecord = [db = m_db](const QString &body) -> qint64 {
        QSqlQuery q(db);
        q.prepare(QStringLiteral(
                "SELECT seq FROM entries WHERE kind = 'record' AND body = ? LIMIT 1"));
        q.addBindValue(body);
        return q.exec() && q.next() ? q.value(0).toLongLong() : -1;
    };
}

int SqlChainSource::readBatch(ChainVerifier *verifier, int limit)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
            "SELECT e.seq, e.station, e.kind, e.time_ms, e.body, e.prev_hash, e.hash,"
            " r.id, r.time_ms, r.number, r.weight_kg, r.tare_kg, r.unit, r.mode, r.port, r.manual"
            " FROM entries e LEFT JOIN records r ON r.seq = e.seq AND e.kind = 'record'"
            " WHERE e.seq > ? ORDER BY e.seq LIMIT ?"));
    q.addBindValue(m_last);
    q.addBindValue(limit);
    m_busy = false;
    if (!q.exec()) {
        m_error = q.lastError().text();
        // SQLITE_BUSY or SQLITE_LOCKED (extended codes keep the primary one in the low byte).
        bool ok = false;
        const int code = q.lastError().nativeErrorCode().toInt(&ok);
        m_busy = ok && ((code & 0xff) == 5 || (code & 0xff) == 6);
        return -1;
    }
    std::vector<ChainVerifier::Row> rows;
    rows.reserve(size_t(limit));
    while (q.next()) {
        rows.emplace_back();
        ChainVerifier::Row &row = rows.back();
        readEntry(q, &row.entry);
        row.recordFound = !q.value(7).isNull();
        if (row.recordFound) {
            row.recordFields = true;
            row.recordTimeMs = q.value(8).toLongLong();
            row.number = q.value(9).toLongLong();
            row.weightKg = q.value(10).toDouble();
            row.tareKg = tareOf(q.value(11));
            row.unit = q.value(12).toString();
            row.mode = q.value(13).toString();
            row.port = q.value(14).toString();
            row.manual = q.value(15).toInt() != 0;
        }
    }
    q.finish();
    ChainVerifier::prepare(&rows);
    int read = 0;
    for (ChainVerifier::Row &row : rows) {
        ++read;
        const ChainEntry &e = row.entry;
        m_last = e.seq;
        if (e.kind == ChainEntry::voidKind() || e.kind == ChainEntry::voidAllKind()) {
            // What a void did to the records is kept beside them, outside the hash: it
            // must agree with the void entry.
            ChainEntry::Fields fields;
            ChainEntry::parseBody(e.body, &fields);
            QSqlQuery c(m_db);
            c.prepare(QStringLiteral("SELECT COUNT(*) FROM records WHERE voided_seq = ?"));
            c.addBindValue(e.seq);
            const qint64 marked = c.exec() && c.next() ? c.value(0).toLongLong() : -1;
            qint64 expected = 1;
            bool whole = true;
            if (e.kind == ChainEntry::voidKind()) {
                c.prepare(QStringLiteral("SELECT voided_seq FROM records WHERE seq = ?"));
                c.addBindValue(ChainEntry::value(fields, QStringLiteral("target")).toLongLong());
                whole = c.exec() && c.next() && c.value(0).toLongLong() == e.seq;
            } else {
                expected = ChainEntry::value(fields, QStringLiteral("count")).toLongLong();
                c.prepare(QStringLiteral(
                        "SELECT COUNT(*) FROM records WHERE seq < ? AND voided_seq IS NULL"));
                c.addBindValue(e.seq);
                whole = c.exec() && c.next() && c.value(0).toLongLong() == 0;
            }
            if (!whole || marked != expected)
                row.problem = tr("作废标记与作废条目不符（作废标记被改动）");
        }
        if (!verifier->take(row))
            return read;
    }
    return read;
}

bool SqlChainSource::finish(ChainVerifier *verifier)
{
    if (verifier->broken())
        return false;
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("SELECT id, number FROM records WHERE seq IS NULL OR NOT EXISTS"
                              " (SELECT 1 FROM entries e WHERE e.seq = records.seq"
                              " AND e.kind = 'record') LIMIT 1"))
        && q.next()) {
        verifier->fail(verifier->headSeq() + 1,
                       tr("记录 %1 不在记录链中（被添加）").arg(q.value(0).toLongLong()));
        return false;
    }
    if (q.exec(QStringLiteral("SELECT r.seq FROM records r LEFT JOIN entries e"
                              " ON e.seq = r.voided_seq WHERE r.voided_seq IS NOT NULL"
                              " AND (e.seq IS NULL OR e.kind NOT IN ('void', 'void-all')"
                              " OR e.seq < r.seq) LIMIT 1"))
        && q.next()) {
        verifier->fail(q.value(0).toLongLong(), tr("作废标记与作废条目不符（作废标记被改动）"));
        return false;
    }
    return true;
}

namespace {
// One CSV record at a time (RFC 4180: quoted cells, doubled quotes, line breaks in quotes).
class CsvReader
{
public:
    explicit CsvReader(QFile *file) : m_file(file) { }
    bool next(QStringList *cells)
    {
        cells->clear();
        QString cell;
        bool quoted = false, any = false;
        while (true) {
            if (m_pos >= m_text.size() && !refill())
                break;
            any = true;
            // A run of ordinary characters at once.
            qsizetype end = m_pos;
            const qsizetype size = m_text.size();
            const QChar *text = m_text.constData();
            if (quoted) {
                while (end < size && text[end] != u'"')
                    ++end;
            } else {
                while (end < size && text[end] != u'"' && text[end] != u',' && text[end] != u'\n')
                    ++end;
            }
            cell.append(text + m_pos, end - m_pos);
            m_pos = end;
            if (m_pos >= size)
                continue;
            const QChar c = text[m_pos++];
            if (quoted) {
                if (m_pos >= m_text.size())
                    refill();
                if (m_pos < m_text.size() && m_text[m_pos] == u'"') {
                    cell += u'"';
                    ++m_pos;
                } else {
                    quoted = false;
                }
            } else if (c == u'"') {
                quoted = true;
            } else if (c == u',') {
                cells->append(cell);
                cell.clear();
            } else {
                if (cell.endsWith(u'\r'))
                    cell.chop(1);
                cells->append(cell);
                return true;
            }
        }
        if (!any)
            return false;
        cells->append(cell);
        return true;
    }

private:
    bool refill()
    {
        const QByteArray bytes = m_file->read(1 << 16);
        if (bytes.isEmpty())
            return false;
        m_pending += bytes;
        // Cut at the last whole UTF-8 character.
        qsizetype cut = m_pending.size();
        while (cut > 0 && (quint8(m_pending[cut - 1]) & 0xc0) == 0x80)
            --cut;
        if (cut > 0 && (quint8(m_pending[cut - 1]) & 0x80))
            --cut;
        if (m_file->atEnd())
            cut = m_pending.size();
        m_text = QString::fromUtf8(m_pending.left(cut));
        m_pending.remove(0, cut);
        m_pos = 0;
        return !m_text.isEmpty() || refill();
    }

    QFile *m_file;
    QByteArray m_pending;
    QString m_text;
    qsizetype m_pos = 0;
};

// "2026-03-01T08:00:00.000Z" as milliseconds since 1970, quickly; -1 for any other text
// (the check then takes the slow way, which also reads other forms).
qint64 utcMs(const QString &cell)
{
    if (cell.size() != 24 || cell[4] != u'-' || cell[10] != u'T' || cell[23] != u'Z')
        return QDateTime::fromString(cell, Qt::ISODateWithMs).toMSecsSinceEpoch();
    const auto n = [&](int at, int len) { return QStringView(cell).mid(at, len).toInt(); };
    const QDate date(n(0, 4), n(5, 2), n(8, 2));
    if (!date.isValid())
        return QDateTime::fromString(cell, Qt::ISODateWithMs).toMSecsSinceEpoch();
    return (date.toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * 86400000
            + ((n(11, 2) * 60 + n(14, 2)) * 60 + n(17, 2)) * 1000 + n(20, 3);
}

// 64 hex digits as the 32 bytes they stand for (anything else: as many bytes as it makes,
// which no hash equals).
QByteArray hashOf(const QString &cell)
{
    const auto digit = [](char16_t c) {
        return c >= u'0' && c <= u'9'    ? c - u'0'
                : c >= u'a' && c <= u'f' ? c - u'a' + 10
                : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                         : -1;
    };
    if (cell.size() != 64)
        return QByteArray::fromHex(cell.toLatin1());
    QByteArray bytes(32, Qt::Uninitialized);
    for (int i = 0; i < 32; ++i) {
        const int high = digit(cell[2 * i].unicode()), low = digit(cell[2 * i + 1].unicode());
        if (high < 0 || low < 0)
            return QByteArray::fromHex(cell.toLatin1());
        bytes[i] = char(high * 16 + low);
    }
    return bytes;
}

// A text cell as it was before the export kept it from reading as a formula.
QString plain(const QString &cell)
{
    return cell.startsWith(u'\'') ? cell.mid(1) : cell;
}
} // namespace

QString verifyCsv(const QString &path, ChainVerifier *verifier)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ChainVerifier::tr("无法读取 %1：%2").arg(path, file.errorString());
    CsvReader reader(&file);
    QStringList head;
    if (!reader.next(&head) || head.isEmpty())
        return ChainVerifier::tr("%1 是空文件").arg(path);
    if (head[0].startsWith(QChar(0xfeff)))
        head[0].remove(0, 1);
    const QStringList names = CsvFormat::columns();
    QList<int> at;
    for (const QString &name : names) {
        at << head.indexOf(name);
        if (at.last() < 0)
            return ChainVerifier::tr("%1 不是带记录链的导出文件（没有“%2”列）").arg(path, name);
    }
    enum {
        Time,
        Offset,
        Weight,
        Unit,
        Mode,
        Port,
        Manual,
        Station,
        Seq,
        Number,
        Kind,
        Tare,
        Void,
        Utc,
        Body,
        Prev,
        Hash
    };
    // A part of the file is read ahead, so that a row out of its place can be told from a
    // missing one.
    std::deque<QStringList> ahead;
    const auto fill = [&] {
        QStringList cells;
        while (ahead.size() < 64 && reader.next(&cells)) {
            if (cells.size() == 1 && cells[0].isEmpty())
                continue;
            ahead.push_back(cells);
        }
    };
    verifier->startAnywhere();
    // Rows are checked a batch at a time; a row out of its place is looked for in the rest
    // of the batch and in the rows read ahead.
    std::vector<ChainVerifier::Row> batch;
    size_t current = 0;
    verifier->comesLater = [&](qint64 seq) {
        for (size_t i = current + 1; i < batch.size() && i < current + 64; ++i) {
            if (batch[i].entry.seq == seq)
                return true;
        }
        return std::any_of(ahead.cbegin(), ahead.cend(), [&](const QStringList &cells) {
            return cells.value(at[Seq]).toLongLong() == seq;
        });
    };
    fill();
    qsizetype line = 1;
    std::vector<QStringList> shownCells; // a record row's cells, by its place in the batch
    while (!ahead.empty()) {
        batch.clear();
        shownCells.clear();
        while (!ahead.empty() && batch.size() < 4096) {
            const QStringList cells = ahead.front();
            ahead.pop_front();
            ++line;
            const qint64 seqCell = cells.value(at[Seq]).toLongLong();
            fill();
            if (cells.size() < head.size())
                return ChainVerifier::tr("%1 第 %2 行不完整").arg(path).arg(line);
            batch.emplace_back();
            ChainVerifier::Row &row = batch.back();
            ChainEntry &e = row.entry;
            e.seq = seqCell;
            e.station = plain(cells[at[Station]]);
            e.kind = ChainEntry::kindFromName(cells[at[Kind]]);
            e.timeMs = utcMs(cells[at[Utc]]);
            e.body = plain(cells[at[Body]]);
            e.prevHash = hashOf(cells[at[Prev]]);
            e.hash = hashOf(cells[at[Hash]]);
            if (e.kind != ChainEntry::recordKind())
                continue;
            row.recordFound = true;
            row.recordBody = e.body;
            row.recordTimeMs = e.timeMs;
            shownCells.resize(batch.size());
            shownCells.back() = cells;
        }
        // The cells a person reads must say what the entry says: compared on every core,
        // with the hashes.
        const auto compare = [&](ChainVerifier::Row &row, size_t index) {
            if (!row.recordFound)
                return;
            const QStringList &cells = shownCells[index];
            const ChainEntry &e = row.entry;
            ChainEntry::Fields fields;
            ChainEntry::parseBody(e.body, &fields);
            const auto field = [&](const char *name) {
                return ChainEntry::value(fields, QString::fromLatin1(name));
            };
            const QString mode = field("mode");
            // The wall time in the zone it was exported in (this machine's, mostly).
            thread_local CsvFormat::LocalTimes localTimes;
            auto [offset, time] = localTimes.at(e.timeMs);
            if (offset != cells[at[Offset]]) {
                time = CsvFormat::dateTimeCell(CsvFormat::utc(e.timeMs).toOffsetFromUtc(
                        CsvFormat::offsetSeconds(cells[at[Offset]])));
            }
            const QList<std::pair<QString, QString>> shown{
                    {QStringLiteral("time"), time},
                    {QStringLiteral("weight"),
                     CsvFormat::numberCell(field("weight").toDouble(), 3)},
                    {QStringLiteral("unit"), field("unit")},
                    {QStringLiteral("mode"), mode.isEmpty() ? CsvFormat::unknownMode() : mode},
                    {QStringLiteral("port"), field("port")},
                    {QStringLiteral("manual"),
                     field("manual") == QStringLiteral("1") ? CsvFormat::tr("手动")
                                                            : CsvFormat::tr("自动")},
                    {QStringLiteral("number"), field("number")},
                    {QStringLiteral("tare"),
                     field("tare").isEmpty() ? QString()
                                             : CsvFormat::numberCell(field("tare").toDouble(), 3)}};
            const int columns[] = {Time, Weight, Unit, Mode, Port, Manual, Number, Tare};
            for (int i = 0; i < int(shown.size()); ++i) {
                const QString cell = plain(cells[at[columns[i]]]);
                if (cell != shown[i].second && row.problem.isEmpty()) {
                    row.problem = ChainVerifier::tr("表格中的%1与记录不符（%2 → %3）")
                                          .arg(ChainEntry::fieldName(shown[i].first),
                                               shown[i].second, cell);
                }
            }
        };
        ChainVerifier::prepare(&batch, compare);
        for (current = 0; current < batch.size(); ++current) {
            if (!verifier->take(batch[current]))
                return QString();
        }
    }
    return QString();
}

#pragma once

#include "chainentry.h"

#include <QCoreApplication>
#include <QSqlDatabase>

#include <functional>
#include <vector>

// Checks a chain entry by entry, in the order of its numbers, and names the first break: a
// missing entry, one changed (and, for a record, which field), one out of its place. It keeps
// only the last hash, so a chain of any length is checked in the same memory; where a break
// could be a reorder, it asks its source where a hash or a record's fields are found.
class ChainVerifier
{
    Q_DECLARE_TR_FUNCTIONS(ChainVerifier)

public:
    struct Row
    {
        ChainEntry entry;
        // For a record entry: whether its record row was found, and that row written as a
        // body the way the entry's body was made, with its time.
        bool recordFound = false;
        QString recordBody;
        qint64 recordTimeMs = 0;
        // What the source found wrong around the entry that its hash cannot show (a void
        // mark that disagrees with the void entries, a table cell that disagrees).
        QString problem;
        // Filled by prepare(): whether the entry's hash is right.
        bool hashRight = false;
        bool prepared = false;
        // The record row's fields, for prepare() to write as a body (a source that has them
        // sets recordFields and leaves recordBody empty).
        bool recordFields = false;
        qint64 number = 0;
        double weightKg = 0, tareKg = 0;
        QString unit, mode, port;
        bool manual = false;
    };

    // Does for a batch of rows, on every core, what take() would do for each on its own:
    // their hashes and their records' bodies, and first also(row, index) where given.
    static void prepare(std::vector<Row> *rows,
                        const std::function<void(Row &, size_t)> &also = {});

    // Where an entry with this hash (or a record with this body) is, or -1.
    std::function<qint64(const QByteArray &hash)> seqOfHash;
    std::function<qint64(const QString &recordBody)> seqOfRecord;
    // Whether the entry numbered seq comes later in the source.
    std::function<bool(qint64 seq)> comesLater;

    // A part of a chain (an export of some days) starts where its first entry says.
    // Such a part also holds entries of other days by their hashes alone.
    void startAnywhere() { m_anywhere = true; }

    // Takes the next entry; false once the chain is broken (the first break is kept).
    bool take(const Row &row);
    // A break found after the last entry (records outside the chain).
    void fail(qint64 seq, const QString &problem);

    bool broken() const { return m_broken; }
    qint64 breakSeq() const { return m_breakSeq; }
    QString problem() const { return m_problem; }
    qint64 count() const { return m_count; }
    qint64 headSeq() const { return m_expected - 1; }
    QByteArray head() const { return m_head; }
    // "记录链完整 · 1,234 条" or "记录链在第 57 条处断开：…".
    QString summary() const;
    static QString intactText(qint64 count);

    // The differences between two record bodies, "重量被改动（1.25 → 1.26）".
    static QString difference(const QString &was, const QString &now);

private:
    qint64 m_expected = 1;
    QByteArray m_head = ChainEntry::zeroHash();
    qint64 m_count = 0;
    qint64 m_lastNumber = 0;
    bool m_anywhere = false;
    bool m_broken = false;
    qint64 m_breakSeq = 0;
    QString m_problem;
};

class QSqlQuery;

// Reads the chain of a records file, a batch at a time, into a verifier.
class SqlChainSource
{
    Q_DECLARE_TR_FUNCTIONS(SqlChainSource)

public:
    // The entry in a query's first seven columns: seq, station, kind, time_ms, body,
    // prev_hash, hash (the columns of the entries table, in its order).
    static void readEntry(const QSqlQuery &query, ChainEntry *entry);

    explicit SqlChainSource(const QSqlDatabase &db);
    // Hands it its look-ups into the file.
    void attach(ChainVerifier *verifier);
    // Up to limit entries after the last read: how many, or -1 when the file could not be
    // read (errorText()).
    int readBatch(ChainVerifier *verifier, int limit);
    // After the last entry: records the chain does not hold, void marks nothing explains.
    bool finish(ChainVerifier *verifier);
    QString errorText() const { return m_error; }
    // Whether the last read failed because another program held the file: worth trying again.
    bool busy() const { return m_busy; }

private:
    QSqlDatabase m_db;
    qint64 m_last = 0;
    QString m_error;
    bool m_busy = false;
};

// Checks a CSV export of records (all of them, or some days) the same way. "" with the
// verifier's result, or why the file cannot be read as an export.
QString verifyCsv(const QString &path, ChainVerifier *verifier);

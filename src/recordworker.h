#pragma once

#include "chainverifier.h"

#include <QObject>
#include <QSqlDatabase>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

class QSqlQuery;
class QTimer;

// The records file's only connection, on a thread of its own: everything that touches SQLite
// runs here, so that a slow disk, a file another program holds or a history of millions of
// records never holds up the window. Its functions are called on that thread (RecordStore
// posts them); it answers with signals.
//
// Changes are written in the order they were asked for. One that cannot be written now (the
// file is locked, the disk is full) stays queued, and the queue is tried again every
// retryMs until it is empty: nothing is dropped, nothing written twice.
class RecordWorker : public QObject
{
    Q_OBJECT

public:
    // How the file stands, as the store tells it to the window.
    enum Health {
        Opening, // not yet read (or held by another program since the start)
        Ok,
        Busy, // held by another program: changes wait
        Failing, // a write failed (a full disk): changes wait
        ReadOnly, // readable, never writable: nothing is queued
        Unusable, // damaged, foreign or from a newer version: left as it is
    };
    Q_ENUM(Health)

    static constexpr int retryMs = 1000;
    static constexpr int busyTimeoutMs = 100;
    static constexpr int schemaVersion = 3;
    // How the chain of the file stood when last looked at.
    enum ChainState { ChainUnknown, ChainChecking, ChainIntact, ChainBroken };
    Q_ENUM(ChainState)
    static constexpr int verifyBatch = 20000;

    explicit RecordWorker(const QString &path);
    ~RecordWorker() override;

    // Opens the file (again, while another program holds it) and then checks it whole.
    void open();
    void add(qint64 ticket, const QVariantMap &record);
    // Marks a record void (or all valid ones), with the operator's reason, as an entry of
    // the chain; nothing is ever deleted.
    void voidRecord(qint64 id, const QString &reason);
    void voidAll(const QString &reason);
    // Something that changed what the scale reports, as an entry of the chain.
    void addEvent(qint64 timeMs, const QString &type, const QVariantMap &fields);
    // Checks the whole chain again, from its first entry.
    void verify();
    void setState(const QString &key, const QVariant &value);
    // Today's bounds for the day's count and total, [startMs, endMs).
    void setDay(qint64 startMs, qint64 endMs);
    // The page of `limit` records after (older than) the given one, newest first; a negative
    // time starts at the newest.
    void fetchPage(int generation, qint64 beforeTimeMs, qint64 beforeId, int limit,
                   bool withVoided = false);
    // Records between the bounds (inclusive; negative is open), oldest first.
    void fetchBetween(int request, qint64 fromMs, qint64 toMs);
    // Writes the records between the bounds to the file as CSV, row by row.
    void exportCsv(const QString &path, qint64 fromMs, qint64 toMs,
                   const std::shared_ptr<std::atomic_bool> &cancel);

Q_SIGNALS:
    void healthChanged(RecordWorker::Health health, const QString &text);
    void stateLoaded(const QVariantMap &state);
    void saved(qint64 ticket, const QVariantMap &record);
    void voided(qint64 id);
    void allVoided();
    // "" when the void was written, else why it was not (an empty reason, a void record).
    void voidRefused(const QString &why);
    void chainChanged(RecordWorker::ChainState state, qint64 count, const QString &text,
                      double progress);
    void stationKnown(const QString &id);
    void totals(int count, int dayCount, double dayTotalKg);
    void page(int generation, const QVariantList &rows, bool complete, bool failed);
    void between(int request, const QVariantList &rows);
    void exportProgress(qint64 done, qint64 total);
    void exportDone(const QString &path, const QString &error);

private:
    struct Change
    {
        enum Kind { Add, Void, VoidAll, Event, State } kind;
        qint64 ticket = 0;
        QVariantMap record;
        QString key;
        QVariant value;
    };

    void attemptOpen();
    bool tryOpen();
    void check();
    void queue(Change change);
    void flush();
    // Writes one change; false with *why (and *busy) when it must wait.
    bool write(Change &change, QString *why, bool *busy);
    // Appends an entry in one transaction with what fill() writes beside it (fill() makes
    // the body and may refuse: *refused). The number is read inside the transaction, so a
    // retry after a busy or full file takes the same one.
    bool append(ChainEntry *entry, const std::function<bool(QSqlQuery &, ChainEntry *)> &fill,
                QString *why, bool *busy, QString *refused);
    bool migrate(int found, QString *why, bool *busy);
    void verifyNext();
    void reportChain();
    void setHealth(Health health, const QString &text);
    void setBusy();
    void countAll();
    void sendTotals();
    QString exportTo(const QString &path, qint64 fromMs, qint64 toMs,
                     const std::atomic_bool &cancel);

    QString m_path;
    QString m_connection;
    QSqlDatabase m_db;
    QTimer *m_retry = nullptr;
    std::deque<Change> m_changes;
    Health m_health = Opening;
    QString m_text;
    bool m_open = false;
    bool m_checked = false;
    int m_count = -1;
    qint64 m_dayStart = 0;
    qint64 m_dayEnd = 0;
    QString m_station;
    std::unique_ptr<ChainVerifier> m_verifier;
    std::unique_ptr<SqlChainSource> m_source;
    qint64 m_chainTotal = 0;
    bool m_verifying = false;
};

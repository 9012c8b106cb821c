#pragma once

#include "recordworker.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <atomic>
#include <functional>
#include <memory>

class QQmlEngine;
class QJSEngine;
class QThread;
class RecordListModel;

// The weighing records, kept in an SQLite file that only a worker thread touches: the window
// never waits for the disk, a lock or a long history. Every record is committed on its own
// with synchronous=FULL, so a killed process or a power cut loses none that was written.
// A record is taken at once and written as soon as the file lets it; until then it waits, in
// order, and pendingCount and errorText say so. The recorder's own state lives in the same
// file, in a key/value table. A file that cannot be opened or written is left exactly as it
// is; the problem is told in errorText.
class RecordStore : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(QString databasePath READ databasePath CONSTANT)
    Q_PROPERTY(QString errorText READ errorText NOTIFY errorTextChanged)
    Q_PROPERTY(bool writable READ writable NOTIFY errorTextChanged)
    Q_PROPERTY(int count READ count NOTIFY recordsChanged)
    Q_PROPERTY(int todayCount READ todayCount NOTIFY recordsChanged)
    Q_PROPERTY(double todayTotalKg READ todayTotalKg NOTIFY recordsChanged)
    Q_PROPERTY(RecordListModel *list READ list CONSTANT)
    Q_PROPERTY(int pendingCount READ pendingCount NOTIFY pendingChanged)
    Q_PROPERTY(bool exporting READ exporting NOTIFY exportChanged)
    Q_PROPERTY(double exportProgress READ exportProgress NOTIFY exportChanged)
    Q_PROPERTY(int chainState READ chainState NOTIFY chainChanged)
    Q_PROPERTY(QString chainText READ chainText NOTIFY chainChanged)
    Q_PROPERTY(bool chainBroken READ chainBroken NOTIFY chainChanged)
    Q_PROPERTY(QString stationId READ stationId NOTIFY stationChanged)
    Q_PROPERTY(QString stationName READ stationName WRITE setStationName NOTIFY stationChanged)
    Q_PROPERTY(bool checkingCsv READ checkingCsv NOTIFY csvChecked)

public:
    static constexpr int schemaVersion = RecordWorker::schemaVersion; // 2: the state table

    // No default constructor: documents get the one store of their engine from create().
    explicit RecordStore(const QString &path, QObject *parent = nullptr);
    ~RecordStore() override;

    static RecordStore *create(QQmlEngine *engine, QJSEngine *);
    static QString defaultPath();

    QString databasePath() const { return m_path; }
    QString errorText() const { return m_error; }
    // Whether records can be taken: false for a read-only, damaged or newer file. A file
    // another program holds is still writable; records wait for it.
    bool writable() const;
    int count() const { return m_count; }
    int todayCount() const { return m_todayCount; }
    double todayTotalKg() const { return m_todayTotal; }
    RecordListModel *list() const { return m_list; }
    int pendingCount() const { return m_pending; }
    bool exporting() const { return m_exporting; }
    double exportProgress() const { return m_progress; }
    RecordWorker::Health health() const { return m_health; }
    int chainState() const { return m_chainState; }
    QString chainText() const { return m_chainText; }
    bool chainBroken() const { return m_chainState == RecordWorker::ChainBroken; }
    QString stationId() const { return m_stationId; }
    QString stationName() const { return m_state.value(stationNameKey()).toString(); }
    void setStationName(const QString &name);
    bool checkingCsv() const { return m_checkingCsv; }
    static QString stationNameKey() { return QStringLiteral("station/name"); }

    // Takes a record to be written; returns its ticket (recordSaved() gives its id once it is
    // in the file), or -1 when the file takes no records (errorText says why).
    // tareKg is the tare the sensor held, NaN when unknown.
    Q_INVOKABLE qint64 addRecord(double weightKg, const QString &unit, const QString &mode,
                                 const QString &port, bool manual, qint64 timeMs = -1,
                                 double tareKg = qQNaN());
    // Voiding one record or every valid one, with the operator's reason: the records stay in
    // the file and its exports, marked void by an entry of the chain, and leave the list and
    // the day's totals. "" when it was taken (recordsRemoved() follows once written), else
    // why not (no reason, a file that takes no changes).
    Q_INVOKABLE QString voidRecord(qint64 id, const QString &reason);
    Q_INVOKABLE QString voidAll(const QString &reason);
    // Something that changed what the scale reports, written into the chain in turn with
    // the records.
    Q_INVOKABLE void addEvent(const QString &type, const QVariantMap &fields);
    // Checks the chain again from its start.
    Q_INVOKABLE void verifyChain();
    // Checks an exported CSV file in the background; csvChecked() tells the result.
    Q_INVOKABLE void verifyCsv(const QUrl &file);
    // Writes the records between the bounds (inclusive; negative is open) as CSV for Excel,
    // in the background: "" when it has started (exportFinished() tells how it went), else
    // why it cannot.
    Q_INVOKABLE QString exportCsv(const QUrl &file, qint64 fromMs = -1, qint64 toMs = -1);
    Q_INVOKABLE QString exportCsvToPath(const QString &path, qint64 fromMs = -1, qint64 toMs = -1);
    Q_INVOKABLE void cancelExport();
    // The file name an export of today is offered, in the documents folder (made when the
    // export is written) where it can be, else in the home folder.
    Q_INVOKABLE QString suggestedExportPath() const;

    // A text cell of the export, quoted and neutralised as CsvFormat::textCell() does.
    static QString csvField(const QString &text);

    // The local calendar days "yyyy-MM-dd" from and to (either may be empty for an open
    // bound) as {fromMs, toMs} for exportCsv(), or {error} when one is no real date.
    Q_INVOKABLE QVariantMap dayRange(const QString &from, const QString &to) const;
    // Starts the export of today's records, local midnight to midnight, to
    // suggestedExportPath(): {path, error}.
    Q_INVOKABLE QVariantMap exportToday();

    // What the recorder keeps across runs (its arm state, the last record, the minimum load),
    // by key in the same file; fallback while the key was never written or cannot be read.
    // stateKnown() is false until the file has been read (stateLoaded()).
    QVariant stateValue(const QString &key, const QVariant &fallback = QVariant()) const;
    bool setStateValue(const QString &key, const QVariant &value);
    bool stateKnown() const { return m_stateKnown; }

    // Records between the bounds, oldest first, in recordsFetched(request, rows).
    int requestRecords(qint64 fromMs, qint64 toMs);
    void requestPage(int generation, qint64 beforeTimeMs, qint64 beforeId, int limit,
                     bool withVoided = false);

    // The clock that says which day "today" is (the system's unless a test sets another).
    void setClock(std::function<QDateTime()> clock);
    QDate today() const { return m_clock().date(); }

Q_SIGNALS:
    void errorTextChanged();
    void recordsChanged();
    // Records were deleted (one, or all): whatever shows them must let them go.
    void recordsRemoved();
    void pendingChanged();
    void exportChanged();
    void exportFinished(const QString &path, const QString &error);
    void recordSaved(qint64 ticket, qint64 id);
    void stateLoaded();
    void recordsFetched(int request, const QVariantList &rows);
    void chainChanged();
    void stationChanged();
    void voidFailed(const QString &why);
    void csvChecked(const QString &path, bool intact, const QString &text);
    // A record is in the file: all of it, with its number, station and hash.
    void recordWritten(const QVariantMap &record);

private:
    // Runs f on the worker's thread, after everything asked for before it.
    template<typename F>
    void post(F &&f);
    void setHealth(RecordWorker::Health health, const QString &text);
    void updateError();
    void followDay();

    QString m_path;
    QThread *m_thread = nullptr;
    RecordWorker *m_worker = nullptr;
    RecordListModel *m_list = nullptr;
    RecordWorker::Health m_health = RecordWorker::Opening;
    QString m_healthText;
    QString m_error;
    int m_count = 0;
    int m_todayCount = 0;
    double m_todayTotal = 0;
    int m_pending = 0;
    qint64 m_tickets = 0;
    int m_requests = 0;
    QVariantMap m_state;
    QVariantMap m_stateWritten;
    bool m_stateKnown = false;
    bool m_exporting = false;
    double m_progress = 0;
    std::shared_ptr<std::atomic_bool> m_cancel;
    std::function<QDateTime()> m_clock;
    QTimer m_midnight;
    int m_chainState = RecordWorker::ChainUnknown;
    QString m_chainText;
    QString m_stationId;
    bool m_checkingCsv = false;
};

#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

// The weighing records, kept in an SQLite file. Every record is committed on its own with
// synchronous=FULL, so a killed process or a power cut loses none that was made. The
// recorder's own state lives in the same file, in a key/value table. A file that
// cannot be opened or written is left exactly as it is; the problem is told in errorText.
class RecordStore : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(QString databasePath READ databasePath CONSTANT)
    Q_PROPERTY(QString errorText READ errorText NOTIFY errorTextChanged)
    Q_PROPERTY(bool writable READ writable NOTIFY errorTextChanged)
    Q_PROPERTY(QVariantList records READ records NOTIFY recordsChanged)
    Q_PROPERTY(int count READ count NOTIFY recordsChanged)
    Q_PROPERTY(int todayCount READ todayCount NOTIFY recordsChanged)
    Q_PROPERTY(double todayTotalKg READ todayTotalKg NOTIFY recordsChanged)

public:
    static constexpr int schemaVersion = 2; // 2: the state table
    static constexpr int listLimit = 1000; // the page shows the newest ones

    // No default constructor: documents get the one store of their engine from create().
    explicit RecordStore(const QString &path, QObject *parent = nullptr);
    ~RecordStore() override;

    static RecordStore *create(QQmlEngine *engine, QJSEngine *);
    static QString defaultPath();

    QString databasePath() const { return m_path; }
    QString errorText() const { return m_error; }
    bool writable() const { return m_writable; }
    QVariantList records() const { return m_records; }
    int count() const { return m_count; }
    int todayCount() const { return m_todayCount; }
    double todayTotalKg() const { return m_todayTotal; }

    // Returns the new record's id, or -1 when it could not be saved (errorText says why).
    Q_INVOKABLE qint64 addRecord(double weightKg, const QString &unit, const QString &mode,
                                 const QString &port, bool manual, qint64 timeMs = -1);
    Q_INVOKABLE bool removeRecord(qint64 id);
    Q_INVOKABLE bool clearAll();
    // Records between fromMs and toMs (inclusive; a negative bound is open), oldest first.
    Q_INVOKABLE QVariantList recordsBetween(qint64 fromMs, qint64 toMs) const;
    // Writes them as CSV for Excel; returns "" or what went wrong.
    Q_INVOKABLE QString exportCsv(const QUrl &file, qint64 fromMs = -1, qint64 toMs = -1) const;
    Q_INVOKABLE QString exportCsvToPath(const QString &path, qint64 fromMs = -1,
                                        qint64 toMs = -1) const;
    // The file name an export of today is offered, in the documents folder (made when the
    // export is written) where it can be, else in the home folder.
    Q_INVOKABLE QString suggestedExportPath() const;

    // A text cell of the export, quoted and neutralised as CsvFormat::textCell() does.
    static QString csvField(const QString &text);

    // The local calendar days "yyyy-MM-dd" from and to (either may be empty for an open
    // bound) as {fromMs, toMs} for exportCsv(), or {error} when one is no real date.
    Q_INVOKABLE QVariantMap dayRange(const QString &from, const QString &to) const;
    // Today's records, local midnight to midnight, to suggestedExportPath(): {path, error}.
    Q_INVOKABLE QVariantMap exportToday() const;

    // What the recorder keeps across runs (its arm state, the last record, the minimum load),
    // by key in the same file; fallback while the key was never written or cannot be read.
    QVariant stateValue(const QString &key, const QVariant &fallback = QVariant()) const;
    bool setStateValue(const QString &key, const QVariant &value);

Q_SIGNALS:
    void errorTextChanged();
    void recordsChanged();
    // Records were deleted (one, or all): whatever shows them must let them go.
    void recordsRemoved();

private:
    void open();
    void setError(const QString &text, bool writable);
    bool exec(const QString &sql, QString *why = nullptr);
    void reload();

    QString m_path;
    QString m_connection;
    QSqlDatabase m_db;
    bool m_ok = false;
    bool m_writable = false;
    QString m_error;
    QVariantList m_records;
    int m_count = 0;
    int m_todayCount = 0;
    double m_todayTotal = 0;
};

#pragma once

#include "serverconfig.h"

#include <QAbstractListModel>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSqlDatabase>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;
class QSqlQuery;
class QThread;
class SettingsStore;

// What the fleet page shows of each station: its live reading as the station last published
// it, its records of today and whether its chain on the server is whole.
class FleetStationModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        StationIdRole = Qt::UserRole + 1,
        NameRole,
        OnlineRole,
        LiveRole,
        WeightKgRole,
        UnitRole,
        StableRole,
        OverloadRole,
        NetRole,
        AgeMsRole,
        StaleRole,
        LastRecordTimeMsRole,
        LastRecordWeightKgRole,
        TodayCountRole,
        TodayTotalKgRole,
        ChainTextRole,
        ChainBrokenRole,
        StateTextRole,
        WeightTextRole,
        UnitTextRole,
        BadgeTextRole,
        LastRecordTextRole,
        TodayTextRole,
    };

    // A station is offline once its last status is older than this.
    static constexpr qint64 staleMs = 3000;

    explicit FleetStationModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The whole list (whole) or some stations' rows, as the server holds them.
    void take(const QVariantList &stations, bool whole, qint64 nowMs);
    // A status as announced on "pelora_status"; false when the station is not listed.
    bool applyStatus(const QVariantMap &status, qint64 nowMs);
    void setChain(const QString &station, const QString &text, bool broken);
    // The ages move on; the rows whose state that changes are announced.
    void tick(qint64 nowMs);
    void clear();
    int indexOf(const QString &station) const;
    // The station's values by role name, for tests and the page.
    Q_INVOKABLE QVariantMap get(int row) const;

private:
    struct Station
    {
        QVariantMap values; // the server's columns, by role name
        bool hasStatus = false;
        qint64 statusAtMs = 0; // when the status was sent, on this clock
        bool wasStale = true;
        QString chainText;
        bool chainBroken = false;
    };
    void setStatus(Station *s, const QVariantMap &status, qint64 ageMs, qint64 nowMs);
    QVariant value(const Station &s, int role) const;

    QList<Station> m_rows;
    qint64 m_nowMs = 0;
};

// The records of every station on the server, newest first, one page of them at a time.
class FleetRecordModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        StationIdRole = Qt::UserRole + 1,
        StationNameRole,
        NumberRole,
        TimeMsRole,
        TimeTextRole,
        WeightKgRole,
        WeightTextRole,
        UnitTextRole,
        TareKgRole,
        ModeRole,
        ManualRole,
        VoidedRole,
    };

    explicit FleetRecordModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    void take(const QVariantList &rows);
    Q_INVOKABLE QVariantMap get(int row) const;

private:
    QVariantList m_rows;
};

// The fleet's database work, on a thread of its own: one connection, LISTEN on the status and
// records channels, a look every few seconds that notices a dropped connection, and a new
// try after a pause that grows while the server stays away.
class FleetWorker : public QObject
{
    Q_OBJECT

public:
    struct Filter
    {
        QString station;
        qint64 fromMs = 0;
        qint64 toMs = 0; // 0: no bound
    };
    // Rows shown at most; the rest are counted.
    static constexpr int pageRows = 500;

    explicit FleetWorker(QObject *parent = nullptr);
    ~FleetWorker() override;

    void configure(const ServerConfig &config);
    void setFilter(const Filter &filter);
    void reload();
    void exportCsv(const QString &path, const Filter &filter);
    void stop();

    // The column names of an export.
    static QStringList csvColumns();
    // The chain's state in words, from pelora.check.
    static QString chainText(qint64 entries, qint64 breakSeq, const QString &problem,
                             qint64 recordNumber);

Q_SIGNALS:
    void linkChanged(bool connected, const QString &text);
    void loadingChanged(bool loading);
    void stationsLoaded(const QVariantList &stations, bool whole);
    void statusArrived(const QVariantMap &status);
    void chainChecked(const QString &station, const QString &text, bool broken);
    void recordsLoaded(const QVariantList &rows, qint64 total);
    void exportProgress(double done);
    void exportFinished(const QString &path, const QString &error);

private:
    void connectNow();
    void lost(const QString &why);
    void ping();
    void onNotification(const QString &name, const QVariant &payload);
    void catchUp();
    bool loadStations(const QString &only);
    bool loadRecords();
    bool check(const QString &station);
    bool fail(const QSqlQuery &query);

    QString m_name;
    QSqlDatabase m_db;
    ServerConfig m_config;
    bool m_connected = false;
    Filter m_filter;
    QTimer *m_retry = nullptr;
    QTimer *m_ping = nullptr;
    QTimer *m_pending = nullptr;
    int m_backoffMs = 1000;
    QSet<QString> m_dirty;
    QSet<QString> m_known;
};

// The fleet page's view of every station on the shared server, read-only: their live
// readings, their records and whether their chains are whole. Nothing here ever waits on the
// server; the FleetWorker does, on its own thread.
class FleetView : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(QAbstractListModel *stations READ stations CONSTANT)
    Q_PROPERTY(QAbstractListModel *records READ records CONSTANT)
    Q_PROPERTY(bool configured READ configured NOTIFY stateChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY stateChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY stateChanged)
    Q_PROPERTY(bool loading READ loading NOTIFY stateChanged)
    Q_PROPERTY(double recordTotal READ recordTotalCount NOTIFY recordsChanged)
    Q_PROPERTY(double moreCount READ moreCountValue NOTIFY recordsChanged)
    Q_PROPERTY(QVariantList stationChoices READ stationChoices NOTIFY recordsChanged)
    Q_PROPERTY(QString filterStation READ filterStation NOTIFY filterChanged)
    Q_PROPERTY(QString fromDay READ fromDay NOTIFY filterChanged)
    Q_PROPERTY(QString toDay READ toDay NOTIFY filterChanged)
    Q_PROPERTY(bool exporting READ exporting NOTIFY exportStateChanged)
    Q_PROPERTY(double exportDone READ exportDone NOTIFY exportStateChanged)

public:
    FleetView(SettingsStore *settings, QObject *parent = nullptr);
    ~FleetView() override;
    static FleetView *create(QQmlEngine *engine, QJSEngine *);

    QAbstractListModel *stations() const { return m_stations; }
    QAbstractListModel *records() const { return m_records; }
    FleetStationModel *stationModel() const { return m_stations; }
    FleetRecordModel *recordModel() const { return m_records; }
    bool configured() const { return m_config.usable(); }
    bool connected() const { return m_connected; }
    QString statusText() const { return m_statusText; }
    bool loading() const { return m_loading; }
    qint64 recordTotal() const { return m_total; }
    qint64 moreCount() const { return qMax<qint64>(0, m_total - m_records->rowCount()); }
    // The same counts for documents, which know no 64-bit integers.
    double recordTotalCount() const { return double(recordTotal()); }
    double moreCountValue() const { return double(moreCount()); }
    QVariantList stationChoices() const;
    QString filterStation() const { return m_filterStation; }
    QString fromDay() const { return m_fromDay; }
    QString toDay() const { return m_toDay; }
    bool exporting() const { return m_exporting; }
    double exportDone() const { return m_exportDone; }

    // Shows the records of one station ("" for all) between two local days ("yyyy-MM-dd",
    // both included, "" for no bound): "" or why the days were not taken.
    Q_INVOKABLE QString setFilter(const QString &stationId, const QString &fromDay,
                                  const QString &toDay);
    Q_INVOKABLE void refresh();
    // Writes the filtered records (all of them, not only the page) to a CSV file on the
    // worker's thread: "" when started (exportFinished tells the end) or why not.
    Q_INVOKABLE QString exportCsv(const QString &path);
    Q_INVOKABLE QString suggestedExportPath() const;

Q_SIGNALS:
    void stateChanged();
    void recordsChanged();
    void filterChanged();
    void exportStateChanged();
    void exportFinished(const QString &path, const QString &error);

private:
    void readConfig();
    static bool dayRange(const QString &from, const QString &to, FleetWorker::Filter *filter,
                         QString *why);

    QPointer<SettingsStore> m_settings;
    ServerConfig m_config;
    QThread *m_thread = nullptr;
    FleetWorker *m_worker = nullptr;
    FleetStationModel *m_stations = nullptr;
    FleetRecordModel *m_records = nullptr;
    bool m_connected = false;
    QString m_statusText;
    bool m_loading = false;
    qint64 m_total = 0;
    QString m_filterStation;
    QString m_fromDay;
    QString m_toDay;
    FleetWorker::Filter m_filter;
    bool m_exporting = false;
    double m_exportDone = 0;
    QTimer m_configTimer;
    QTimer m_ageTimer;
};

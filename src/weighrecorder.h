#pragma once

#include "weightreading.h"

#include <QList>
#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

#include <deque>

class RecordStore;
class QQmlEngine;
class QJSEngine;

// Makes one record for each load put on the platform, and keeps the recent readings for the
// trend chart.
//
// The rule, as scale indicators print automatically: a reading is recorded when it is live,
// not overloaded, at least the minimum load (minDivisions divisions; so never negative),
// settled, and the recorder is armed. Settled: the reading has stayed within one division of
// where its run began for settleMs, and the sensor says stable where its format can say it
// (the ASCII format always says stable, so there the run alone decides). A record disarms the
// recorder; only a live reading below the minimum load (the platform emptied) arms it again,
// so a load that drifts or is added to while it stands is still the same weighing. A lost
// connection neither arms nor records: the arm state and the last record are kept in the
// records file, so a load left standing across a restart or a reconnect is not recorded
// again, and one taken off meanwhile arms the recorder with the first reading.
class WeighRecorder : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(RecordStore *store READ store WRITE setStore NOTIFY changed)
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY changed)
    Q_PROPERTY(double division READ division WRITE setDivision NOTIFY changed)
    Q_PROPERTY(bool canRecordNow READ canRecordNow NOTIFY changed)
    Q_PROPERTY(double currentKg READ currentKg NOTIFY changed)
    Q_PROPERTY(int trendRevision READ trendRevision NOTIFY trendChanged)
    Q_PROPERTY(int minDivisions READ minDivisions WRITE setMinDivisions NOTIFY changed)
    Q_PROPERTY(double minLoadKg READ minLoadKg NOTIFY changed)
    Q_PROPERTY(int settleMs READ settleMs WRITE setSettleMs NOTIFY changed)
    Q_PROPERTY(bool armed READ armed NOTIFY changed)
    Q_PROPERTY(double lastRecordKg READ lastRecordKg NOTIFY changed)
    Q_PROPERTY(QString refusal READ refusal NOTIFY changed)

public:
    static constexpr qint64 trendSpanMs = 15 * 60 * 1000;
    static constexpr qint64 trendResolutionMs = 25;

    // No default constructor: documents get theirs from create(), with the engine's store.
    explicit WeighRecorder(RecordStore *store, QObject *parent = nullptr);
    static WeighRecorder *create(QQmlEngine *engine, QJSEngine *js);

    RecordStore *store() const { return m_store; }
    void setStore(RecordStore *store);
    bool enabled() const { return m_enabled; }
    void setEnabled(bool on);
    double division() const { return m_division; }
    void setDivision(double division);
    bool canRecordNow() const { return refusal().isEmpty(); }
    double currentKg() const { return m_weight; }
    int trendRevision() const { return m_revision; }

    // One reading as the display shows it; returns the new record's id or -1.
    Q_INVOKABLE qint64 offer(double weightKg, bool stable, bool live, bool overload,
                             const QString &unit, const QString &mode, const QString &port,
                             qint64 timeMs = -1);
    // The display stopped or started being live (stale, disconnected).
    Q_INVOKABLE void setLive(bool live);
    Q_INVOKABLE qint64 recordNow();

    // The trend of the last windowMs scaled into a width x height box (weight min..max,
    // time now-windowMs..now), and the records in it as points of the same box.
    Q_INVOKABLE QList<QPointF> trendPoints(qint64 windowMs, double width, double height) const;
    Q_INVOKABLE QList<QPointF> recordPoints(qint64 windowMs, double width, double height) const;
    Q_INVOKABLE QVariantList trendRange(qint64 windowMs) const; // [minKg, maxKg]
    int trendSize() const { return int(m_trend.size()); }

    // Offers every frame the reading takes (each change of its lastFrame), and follows its
    // liveness: a reset sets it not live. The port recorded is the manager the reading
    // follows, or for another port the one setFollowedPort names.
    Q_INVOKABLE void follow(WeightReading *reading);
    Q_INVOKABLE void setFollowedPort(const QString &port) { m_followedPort = port; }
    // What follow() connects the reading's lastFrame changes to.
    Q_INVOKABLE void takeFollowedFrame();

    int minDivisions() const { return m_minDivisions; }
    void setMinDivisions(int divisions); // 1 to 100000, stored with the records
    double minLoadKg() const { return m_minDivisions * m_division; }
    int settleMs() const { return m_settleMs; }
    void setSettleMs(int ms);
    bool armed() const { return m_armed; }
    double lastRecordKg() const { return m_last; } // NaN before the first record
    // Why recordNow() would record nothing, in the operator's words; empty when it can.
    QString refusal() const;

Q_SIGNALS:
    void changed();
    void trendChanged();
    void recorded(qint64 id, double weightKg);
    // The operator changed the minimum load (setMinDivisions), in divisions.
    void minLoadChanged(int oldDivisions, int divisions);

public:
    struct Sample
    {
        qint64 timeMs;
        double kg;
    };

private:
    void followRemovals();
    void reloadMarks();
    QMetaObject::Connection m_removals;
    QMetaObject::Connection m_fetched;
    QMetaObject::Connection m_loaded;
    int m_marksRequest = 0;
    qint64 save(bool manual);
    void scale(qint64 windowMs, double *lo, double *hi) const;
    qint64 now() const;
    void loadState();
    void setArmed(bool armed);
    bool formatHasStableFlag() const;

    QPointer<RecordStore> m_store;
    bool m_enabled = true;
    double m_division = 0.01;
    bool m_armed = true;
    double m_last = qQNaN();
    bool m_live = false, m_stable = false, m_overload = false;
    double m_weight = 0;
    QString m_unit, m_mode, m_port;
    double m_tareKg = qQNaN(); // the tare the sensor held, NaN while unknown
    qint64 m_lastTime = 0;
    std::deque<Sample> m_trend;
    qint64 m_slotStart = 0; // when the newest trend sample's slot began
    std::deque<Sample> m_marks;
    int m_revision = 0;
    QPointer<WeightReading> m_followed;
    QMetaObject::Connection m_following, m_followingLive;
    QString m_followedPort;
    int m_minDivisions = 20;
    int m_settleMs = 1000;
    bool m_settled = false;
    bool m_inRun = false; // a settle run has begun: m_runKg at m_runStart
    double m_runKg = 0;
    qint64 m_runStart = 0;
};

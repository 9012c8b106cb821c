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

// Makes one record each time a new load settles, and keeps the recent readings for the
// trend chart.
//
// The rule: a reading is recorded when it is live, stable, not overloaded, at least one
// division away from zero, more than one division away from the last record's weight, and
// the reading was unstable or near zero (within one division) since that record. Near zero
// also forgets the last weight, so the same load put on again is recorded again. A load left
// standing, noise within a division, overload, a lost connection and stale readings never
// make a record. After a lost connection or a stale reading the next stable reading counts
// again if it differs from the last record, so a reconnect under the same load records
// nothing and a load changed meanwhile is recorded once.
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
    bool canRecordNow() const { return m_live && m_stable && !m_overload; }
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

Q_SIGNALS:
    void changed();
    void trendChanged();
    void recorded(qint64 id, double weightKg);

public:
    struct Sample
    {
        qint64 timeMs;
        double kg;
    };

private:
    qint64 save(bool manual);
    void scale(qint64 windowMs, double *lo, double *hi) const;
    qint64 now() const;

    QPointer<RecordStore> m_store;
    bool m_enabled = true;
    double m_division = 0.01;
    bool m_armed = true;
    bool m_hasLast = false;
    double m_last = 0;
    bool m_live = false, m_stable = false, m_overload = false;
    double m_weight = 0;
    QString m_unit, m_mode, m_port;
    qint64 m_lastTime = 0;
    std::deque<Sample> m_trend;
    qint64 m_slotStart = 0; // when the newest trend sample's slot began
    std::deque<Sample> m_marks;
    int m_revision = 0;
    QPointer<WeightReading> m_followed;
    QMetaObject::Connection m_following, m_followingLive;
    QString m_followedPort;
};

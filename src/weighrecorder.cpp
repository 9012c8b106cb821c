#include "weighrecorder.h"

#include "appsettings.h"
#include "recordstore.h"
#include "sensorparameters.h"
#include "sensorsession.h"
#include "serialportmanager.h"
#include "weightreading.h"

#include <QDateTime>
#include <QJSValue>
#include <QQmlEngine>

#include <algorithm>
#include <cmath>
#include <utility>

WeighRecorder::WeighRecorder(RecordStore *store, QObject *parent) : QObject(parent), m_store(store)
{
    loadState();
    followRemovals();
}

WeighRecorder *WeighRecorder::create(QQmlEngine *engine, QJSEngine *js)
{
    return new WeighRecorder(RecordStore::create(engine, js));
}

void WeighRecorder::setStore(RecordStore *store)
{
    if (m_store == store)
        return;
    m_store = store;
    loadState();
    followRemovals();
    Q_EMIT changed();
}

// The chart's record marks are the records still in the store: a deleted record's mark goes.
// The store answers from its own thread; the marks are rebuilt when the answer comes.
void WeighRecorder::followRemovals()
{
    disconnect(m_removals);
    disconnect(m_fetched);
    disconnect(m_loaded);
    if (!m_store)
        return;
    m_removals = connect(m_store, &RecordStore::recordsRemoved, this, &WeighRecorder::reloadMarks);
    m_fetched = connect(m_store, &RecordStore::recordsFetched, this,
                        [this](int request, const QVariantList &rows) {
                            if (request != m_marksRequest)
                                return;
                            m_marks.clear();
                            for (const QVariant &v : rows) {
                                const QVariantMap record = v.toMap();
                                m_marks.push_back(
                                        {record.value(QStringLiteral("timeMs")).toLongLong(),
                                         record.value(QStringLiteral("weightKg")).toDouble()});
                            }
                            Q_EMIT trendChanged();
                        });
    m_loaded = connect(m_store, &RecordStore::stateLoaded, this, [this] {
        loadState();
        Q_EMIT changed();
    });
}

void WeighRecorder::reloadMarks()
{
    if (!m_store) {
        m_marks.clear();
        Q_EMIT trendChanged();
        return;
    }
    const qint64 end = now();
    m_marksRequest = m_store->requestRecords(end - trendSpanMs, end + 1);
}

namespace {
const QString armedKey = QStringLiteral("recorder/armed");
const QString lastKey = QStringLiteral("recorder/lastKg");
const QString minKey = QStringLiteral("recorder/minDivisions");
} // namespace

// A store that never held them (a new or an older file) gives the defaults. Until the file
// has been read, nothing is recorded by itself: a load left standing may have been recorded.
void WeighRecorder::loadState()
{
    m_armed = true;
    m_last = qQNaN();
    m_minDivisions = 20;
    if (!m_store)
        return;
    if (!m_store->stateKnown()) {
        m_armed = false;
        return;
    }
    m_armed = m_store->stateValue(armedKey, true).toBool();
    bool ok = false;
    const double last = m_store->stateValue(lastKey).toDouble(&ok);
    if (ok)
        m_last = last;
    m_minDivisions = qBound(1, m_store->stateValue(minKey, 20).toInt(), 100000);
}

void WeighRecorder::setArmed(bool armed)
{
    if (m_armed == armed)
        return;
    m_armed = armed;
    if (m_store)
        m_store->setStateValue(armedKey, armed);
    Q_EMIT changed();
}

void WeighRecorder::setMinDivisions(int divisions)
{
    divisions = qBound(1, divisions, 100000);
    if (divisions == m_minDivisions)
        return;
    const int old = std::exchange(m_minDivisions, divisions);
    if (m_store)
        m_store->setStateValue(minKey, divisions);
    Q_EMIT changed();
    Q_EMIT minLoadChanged(old, divisions);
}

void WeighRecorder::setSettleMs(int ms)
{
    ms = qMax(0, ms);
    if (ms == m_settleMs)
        return;
    m_settleMs = ms;
    Q_EMIT changed();
}

// Without a followed reading (a recorder fed by hand) the flag is taken to be there.
bool WeighRecorder::formatHasStableFlag() const
{
    return !m_followed || m_followed->format() != WeighGrammar::Ascii;
}

QString WeighRecorder::refusal() const
{
    if (!m_live)
        return tr("读数不是当前的");
    if (m_overload)
        return tr("读数超载");
    if (!m_settled)
        return tr("读数未稳定");
    if (m_weight < minLoadKg() - m_division * 1e-3)
        return tr("低于最小称量 %1 kg").arg(WeightReading::formatWeight(minLoadKg(), 3));
    return QString();
}

void WeighRecorder::setEnabled(bool on)
{
    if (m_enabled == on)
        return;
    m_enabled = on;
    Q_EMIT changed();
}

void WeighRecorder::setDivision(double division)
{
    if (!(division > 0) || division == m_division)
        return;
    m_division = division;
    Q_EMIT changed();
}

qint64 WeighRecorder::now() const
{
    return m_lastTime > 0 ? m_lastTime : QDateTime::currentMSecsSinceEpoch();
}

void WeighRecorder::setLive(bool live)
{
    if (!live)
        m_inRun = m_settled = false; // what comes back settles afresh
    if (live == m_live)
        return;
    m_live = live;
    Q_EMIT changed();
}

qint64 WeighRecorder::offer(double weightKg, bool stable, bool live, bool overload,
                            const QString &unit, const QString &mode, const QString &port,
                            qint64 timeMs)
{
    const QString refusedBefore = refusal();
    m_live = live;
    m_stable = stable && !overload;
    m_overload = overload;
    m_weight = weightKg;
    m_unit = unit;
    m_mode = mode;
    m_port = port;
    m_lastTime = timeMs >= 0 ? timeMs : QDateTime::currentMSecsSinceEpoch();
    if (!live || !std::isfinite(weightKg)) {
        // Neither arms nor records: the load may still stand when the readings come back.
        m_inRun = m_settled = false;
        if (refusal() != refusedBefore)
            Q_EMIT changed();
        return -1;
    }

    // A run: readings within one division (and a rounding's worth) of the one that began it.
    if (!m_inRun || m_lastTime < m_runStart
        || std::abs(weightKg - m_runKg) > m_division * (1 + 1e-3)) {
        m_inRun = true;
        m_runKg = weightKg;
        m_runStart = m_lastTime;
    }
    m_settled = !overload && (stable || !formatHasStableFlag())
            && m_lastTime - m_runStart >= m_settleMs;
    if (refusal() != refusedBefore)
        Q_EMIT changed();

    // A full-speed stream brings hundreds of readings a second, far more than a chart can
    // show: within trendResolutionMs of the reading that began the newest slot, each reading
    // replaces the one before, so the window holds a bounded number and ends with the newest.
    if (!m_trend.empty() && m_lastTime >= m_slotStart
        && m_lastTime - m_slotStart < trendResolutionMs) {
        m_trend.back() = {m_lastTime, weightKg};
    } else {
        m_trend.push_back({m_lastTime, weightKg});
        m_slotStart = m_lastTime;
    }
    while (!m_trend.empty() && m_trend.front().timeMs < m_lastTime - trendSpanMs)
        m_trend.pop_front();
    while (!m_marks.empty() && m_marks.front().timeMs < m_lastTime - trendSpanMs)
        m_marks.pop_front();
    ++m_revision;
    Q_EMIT trendChanged();

    if (overload)
        return -1;
    if (weightKg < minLoadKg() - m_division * 1e-3) {
        setArmed(true); // the platform is empty: the next load is a new weighing
        return -1;
    }
    if (!m_enabled || !m_armed || !m_settled)
        return -1;
    return save(false);
}

qint64 WeighRecorder::recordNow()
{
    if (!canRecordNow())
        return -1;
    return save(true);
}

qint64 WeighRecorder::save(bool manual)
{
    if (!m_store)
        return -1;
    const qint64 id = m_store->addRecord(m_weight, m_unit, m_mode, m_port, manual, now(), m_tareKg);
    if (id < 0)
        return -1; // not saved: stay armed, the next stable reading tries again
    m_last = m_weight;
    m_store->setStateValue(lastKey, m_weight);
    setArmed(false);
    m_marks.push_back({now(), m_weight});
    Q_EMIT recorded(id, m_weight);
    Q_EMIT trendChanged();
    return id;
}

void WeighRecorder::scale(qint64 windowMs, double *lo, double *hi) const
{
    const qint64 from = now() - windowMs;
    *lo = 0;
    *hi = 0;
    for (auto it = m_trend.rbegin(); it != m_trend.rend() && it->timeMs >= from; ++it) {
        *lo = std::min(*lo, it->kg);
        *hi = std::max(*hi, it->kg);
    }
    if (*hi - *lo < m_division * 10)
        *hi = *lo + m_division * 10;
}

QVariantList WeighRecorder::trendRange(qint64 windowMs) const
{
    double lo, hi;
    scale(windowMs, &lo, &hi);
    return {lo, hi};
}

static QList<QPointF> place(const std::deque<WeighRecorder::Sample> &samples, qint64 end,
                            qint64 windowMs, double lo, double hi, double width, double height,
                            int maxPoints)
{
    QList<QPointF> out;
    if (samples.empty() || windowMs <= 0 || width <= 0 || height <= 0)
        return out;
    const qint64 from = end - windowMs;
    auto first = std::lower_bound(samples.begin(), samples.end(), from,
                                  [](const auto &s, qint64 t) { return s.timeMs < t; });
    const auto n = std::distance(first, samples.end());
    // One point per pixel column is all a line can show.
    const qint64 step = std::max<qint64>(1, n / std::max(1, maxPoints));
    out.reserve(int(n / step) + 2);
    auto at = [&](const WeighRecorder::Sample &s) {
        out.append({width * double(s.timeMs - from) / double(windowMs),
                    height - height * (s.kg - lo) / (hi - lo)});
    };
    qint64 i = 0;
    for (; i < n; i += step)
        at(first[i]);
    if (i - step != n - 1)
        at(samples.back()); // the newest reading always shows
    return out;
}

QList<QPointF> WeighRecorder::trendPoints(qint64 windowMs, double width, double height) const
{
    double lo, hi;
    scale(windowMs, &lo, &hi);
    return place(m_trend, now(), windowMs, lo, hi, width, height, int(width));
}

QList<QPointF> WeighRecorder::recordPoints(qint64 windowMs, double width, double height) const
{
    double lo, hi;
    scale(windowMs, &lo, &hi);
    return place(m_marks, now(), windowMs, lo, hi, width, height, 1 << 20);
}

void WeighRecorder::follow(WeightReading *reading)
{
    disconnect(m_following);
    disconnect(m_followingLive);
    m_followed = reading;
    if (!reading)
        return;
    m_following = connect(reading, &WeightReading::lastFrameChanged, this,
                          &WeighRecorder::takeFollowedFrame);
    m_followingLive = connect(reading, &WeightReading::liveChanged, this,
                              [this] { setLive(m_followed && m_followed->live()); });
}

// The tare the sensor holds, as last read in this connection; NaN while unknown.
static double tareOf(const SerialPortManager *manager)
{
    const SensorParameters *parameters
            = manager && manager->session() ? manager->session()->parameters() : nullptr;
    if (!parameters)
        return qQNaN();
    bool ok = false;
    const double tare = parameters->rows()
                                .value(QStringLiteral("QTAR"))
                                .toMap()
                                .value(QStringLiteral("value"))
                                .toString()
                                .toDouble(&ok);
    return ok && tare >= 0 ? tare : qQNaN();
}

// A frame that does not say net or gross (the native format) shows net while the sensor
// holds a tare: the tare tells, and nothing while unknown.
static QString modeFromTare(double tare)
{
    if (!(tare >= 0))
        return QString();
    return tare > 0 ? WeighRecorder::tr("净重") : WeighRecorder::tr("毛重");
}

void WeighRecorder::takeFollowedFrame()
{
    if (!m_followed)
        return;
    if (!m_followed->hasFrame()) {
        setLive(false);
        return;
    }
    const auto *manager = qobject_cast<SerialPortManager *>(m_followed->port());
    m_tareKg = tareOf(manager);
    const QString mode = !m_followed->netKnown() ? modeFromTare(m_tareKg)
            : m_followed->net()                  ? tr("净重")
                                                 : tr("毛重");
    const QString port = manager ? manager->portName() : m_followedPort;
    offer(m_followed->weightKg(), m_followed->stable(), m_followed->live(), m_followed->overload(),
          // the unit the operator reads the weight in
          AppSettings::instance()->weightUnit() == 0 ? tr("斤") : tr("公斤"), mode, port);
}

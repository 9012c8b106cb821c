#include "weightreading.h"

#include "sensorchannel.h"
#include "sensorsession.h"
#include "serialportmanager.h"

#include <QJSValue>
#include <QLocale>

#include <cmath>

WeightReading::WeightReading(QObject *parent) : QObject(parent)
{
    m_staleTimer.setSingleShot(true);
    connect(&m_staleTimer, &QTimer::timeout, this, &WeightReading::onStaleTimer);
    m_clock.start();
}

WeightReading::State WeightReading::state() const
{
    if (!m_connected)
        return NotConnected;
    if (!m_hasFrame)
        return Waiting;
    return m_stale ? Stale : Live;
}

void WeightReading::setPort(QObject *port)
{
    if (port == m_port)
        return;
    disconnect(m_chunks);
    disconnect(m_connection);
    m_port = port;
    m_manager = qobject_cast<SerialPortManager *>(port);
    if (m_manager) {
        m_chunks = connect(m_manager, &SerialPortManager::receivedDataChanged, this,
                           &WeightReading::onChunk);
        m_connection = connect(m_manager, &SerialPortManager::connectionChanged, this,
                               &WeightReading::onConnection);
    }
    reset(m_manager && m_manager->isConnected());
    Q_EMIT portChanged();
    update();
}

void WeightReading::setFormat(int format)
{
    if (format == m_format)
        return;
    m_format = format;
    Q_EMIT formatChanged();
    // The text received so far is read again with the new format's parser; with no line of
    // it there, the last reading stays.
    update();
}

void WeightReading::setStaleTimeoutMs(int ms)
{
    if (ms == m_staleTimeoutMs)
        return;
    m_staleTimeoutMs = ms;
    Q_EMIT staleTimeoutMsChanged();
}

QVariant WeightReading::lastFrame() const
{
    if (!m_hasLastFrame)
        return QVariant::fromValue(nullptr);
    return m_appliedFrame.isValid() ? m_appliedFrame : WeighGrammar::frameValue(m_frame);
}

QString WeightReading::formatWeight(double value, int fractionDigits)
{
    const int digits = qBound(0, fractionDigits, 12);
    const double half = 0.5 / std::pow(10.0, digits);
    return QLocale().toString(std::abs(value) < half ? 0.0 : value, 'f', digits);
}

void WeightReading::update()
{
    if (!m_manager)
        return;
    if (!m_manager->isConnected())
        reset(false);
    else
        scanManager();
}

void WeightReading::onConnection()
{
    // A new connection: nothing received before it is the current reading.
    reset(m_manager->isConnected());
    update();
}

void WeightReading::onChunk()
{
    if (!m_manager->isConnected()) {
        reset(false);
        return;
    }
    scanManager();
}

// Only what this connection brought counts. The newest frame is nearly always in the last
// few lines, so a short end is read first and the parsers' whole tail only when it holds
// none; one character more than is scanned tells whether the piece starts mid-line.
void WeightReading::scanManager()
{
    const WeighGrammar::Format format = WeighGrammar::formatOf(m_format);
    QString text = m_manager->receivedTail(65);
    WeighGrammar::Frame frame;
    bool found = WeighGrammar::latest(format, text, 64, frame);
    if (!found && text.size() > 64) {
        text = m_manager->receivedTail(2049);
        found = WeighGrammar::latest(format, text, WeighGrammar::DefaultTailLength, frame);
    }
    if (!found)
        return;
    // A serial number of bare digits reads as a weight of the ASCII format: it is none.
    if (format != WeighGrammar::Native) {
        const SensorSession *session = m_manager->session();
        if (session && session->channel()->isAnswerLine(frame.raw))
            return;
    }
    take(frame, m_manager->receivedTextEnd() - double(text.size()) + double(frame.end));
}

void WeightReading::takeText(const QString &text, double textEnd)
{
    const Snapshot before = snapshot();
    setConnected(true);
    announce(before);
    WeighGrammar::Frame frame;
    if (!WeighGrammar::latest(WeighGrammar::formatOf(m_format), text,
                              WeighGrammar::DefaultTailLength, frame))
        return;
    take(frame, textEnd < 0 ? -1 : textEnd - double(text.size()) + double(frame.end));
}

void WeightReading::take(const WeighGrammar::Frame &frame, double end)
{
    const bool fresh = end < 0 || end > m_lastEnd;
    if (!fresh) {
        // The same reading, or an older one of a newly chosen format.
        if (!m_stale) {
            const Snapshot before = snapshot();
            show(frame);
            announce(before);
        }
        return;
    }
    if (end >= 0)
        m_lastEnd = end;
    const Snapshot before = snapshot();
    show(frame);
    setStale(false);
    announce(before);
    m_frame = frame;
    m_appliedFrame = QVariant();
    m_hasLastFrame = true;
    armStaleTimer();
    Q_EMIT lastFrameChanged();
}

void WeightReading::applyFrame(const QVariant &value)
{
    WeighGrammar::Frame frame;
    QVariant kept = value;
    if (value.metaType() == QMetaType::fromType<QJSValue>()) {
        const QJSValue js = value.value<QJSValue>();
        if (js.isNull() || js.isUndefined() || !js.toBool())
            return;
        frame.weight = js.property(QStringLiteral("weight")).toNumber();
        frame.stable = js.property(QStringLiteral("stable")).toBool();
        frame.overload = js.property(QStringLiteral("overload")).toBool();
        const QJSValue net = js.property(QStringLiteral("net"));
        frame.net = net.toBool() ? 1 : -1;
    } else {
        const QVariantMap map = value.toMap();
        if (map.isEmpty())
            return;
        frame.weight = map.value(QStringLiteral("weight")).toDouble();
        frame.stable = map.value(QStringLiteral("stable")).toBool();
        frame.overload = map.value(QStringLiteral("overload")).toBool();
        frame.net = map.value(QStringLiteral("net")).toBool() ? 1 : -1;
    }
    const Snapshot before = snapshot();
    show(frame);
    setStale(false);
    announce(before);
    m_appliedFrame = kept;
    m_hasLastFrame = true;
    armStaleTimer();
    Q_EMIT lastFrameChanged();
}

// In the order a reading is read: the weight, then what qualifies it.
void WeightReading::show(const WeighGrammar::Frame &frame)
{
    if (m_net != frame.net) {
        m_net = frame.net;
        Q_EMIT netChanged();
    }
    if (m_weight != frame.weight || std::signbit(m_weight) != std::signbit(frame.weight)) {
        m_weight = frame.weight;
        Q_EMIT weightKgChanged();
    }
    if (m_overload != frame.overload) {
        m_overload = frame.overload;
        Q_EMIT overloadChanged();
    }
    // Overload wins: a reading beyond the range is never stable.
    const bool stable = frame.stable && !frame.overload;
    if (m_stable != stable) {
        m_stable = stable;
        Q_EMIT stableChanged();
    }
    if (!m_hasFrame) {
        m_hasFrame = true;
        Q_EMIT hasFrameChanged();
    }
}

void WeightReading::reset(bool connected)
{
    const Snapshot before = snapshot();
    m_staleTimer.stop();
    m_lastEnd = -1;
    if (m_weight != 0 || std::signbit(m_weight)) {
        m_weight = 0;
        Q_EMIT weightKgChanged();
    }
    if (m_stable) {
        m_stable = false;
        Q_EMIT stableChanged();
    }
    if (m_overload) {
        m_overload = false;
        Q_EMIT overloadChanged();
    }
    if (m_hasFrame) {
        m_hasFrame = false;
        Q_EMIT hasFrameChanged();
    }
    if (m_net != -1) {
        m_net = -1;
        Q_EMIT netChanged();
    }
    setStale(false);
    setConnected(connected);
    announce(before);
    if (m_hasLastFrame) {
        m_hasLastFrame = false;
        m_appliedFrame = QVariant();
        Q_EMIT lastFrameChanged();
    }
}

void WeightReading::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    Q_EMIT connectedChanged();
}

void WeightReading::setStale(bool stale)
{
    if (m_stale == stale)
        return;
    m_stale = stale;
    Q_EMIT staleChanged();
}

void WeightReading::announce(const Snapshot &before)
{
    if (before.live != live())
        Q_EMIT liveChanged();
    if (before.state != state())
        Q_EMIT stateChanged();
}

// Restarting a timer for every frame costs more than the frame itself at full wire speed: a
// running timer that fires no later than this frame's timeout is left alone, and when it
// fires it waits out whatever is left of the newest frame's timeout.
void WeightReading::armStaleTimer()
{
    m_lastFrameAt = m_clock.elapsed();
    const int timeout = qMax(1, m_staleTimeoutMs);
    if (!m_staleTimer.isActive() || m_staleTimer.interval() > timeout)
        m_staleTimer.start(timeout);
}

void WeightReading::onStaleTimer()
{
    if (!m_hasFrame)
        return;
    const qint64 left = m_lastFrameAt + qMax(1, m_staleTimeoutMs) - m_clock.elapsed();
    if (left > 0) {
        m_staleTimer.start(int(left));
        return;
    }
    const Snapshot before = snapshot();
    setStale(true);
    announce(before);
}

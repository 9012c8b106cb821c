#include "sensorchannel.h"

#include "serialportmanager.h"

#include <QRegularExpression>
#include <QTimer>

namespace {

// A line longer than any reply or weight is noise; the rest of it is dropped.
constexpr qsizetype MaxLineLength = 256;

const QRegularExpression &nativeLine()
{
    static const QRegularExpression re(
            QStringLiteral("^[A-Za-z]{2}\\s*[-+]?\\d+(?:\\.\\d+)?,\\s*[01],\\s*[01]\\s*$"));
    return re;
}
const QRegularExpression &sgLine()
{
    static const QRegularExpression re(
            QStringLiteral("^[sw][ng]\\s*[-+]?(?:\\d+(?:\\.\\d*)?|\\.\\d+)\\s*(?:kg|g)\\s*$"));
    return re;
}
const QRegularExpression &plainNumber()
{
    static const QRegularExpression re(QStringLiteral("^[-+]?\\d+(?:\\.\\d+)?$"));
    return re;
}
const QRegularExpression &versionLine()
{
    static const QRegularExpression re(QStringLiteral("^V\\d+(?:\\.\\d+)*$"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}
const QRegularExpression &snLine()
{
    static const QRegularExpression re(QStringLiteral("^SN\\s*(.+)$"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}
const QRegularExpression &echoLine()
{
    static const QRegularExpression re(QStringLiteral("^AT\\+([A-Z]+)\\s*=\\s*(.+)$"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re;
}

bool isBreak(char c)
{
    return c == '\r' || c == '\n';
}

} // namespace

SensorChannel::SensorChannel(QObject *parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &SensorChannel::expire);
    m_clock.start();
}

void SensorChannel::setSerialPort(SerialPortManager *port)
{
    if (m_port == port)
        return;
    disconnect(m_receivedConnection);
    disconnect(m_closedConnection);
    disconnect(m_openedConnection);
    onClosed();
    m_port = port;
    if (port) {
        SerialTraffic *traffic = port->traffic();
        m_receivedConnection =
                connect(traffic, &SerialTraffic::received, this, &SensorChannel::onReceived);
        m_closedConnection =
                connect(traffic, &SerialTraffic::closed, this, &SensorChannel::onClosed);
        // A new connection starts with no line half read.
        m_openedConnection = connect(traffic, &SerialTraffic::opened, this, &SensorChannel::onClosed);
    }
    Q_EMIT serialPortChanged();
}

void SensorChannel::setTimeout(int ms)
{
    ms = qMax(1, ms);
    if (ms == m_timeoutMs)
        return;
    m_timeoutMs = ms;
    Q_EMIT timeoutChanged();
}

int SensorChannel::request(const QString &command, const QString &expect, bool hex)
{
    if (!m_port || !m_port->isConnected() || command.isEmpty())
        return -1;
    if (hex) {
        QString digits = command.trimmed();
        digits.remove(QLatin1Char(' '));
        static const QRegularExpression hexDigits(QStringLiteral("^(?:[0-9A-Fa-f]{2})*$"));
        if (!hexDigits.match(digits).hasMatch()) {
            // The manager refuses it and says why; there is nothing to wait for.
            m_port->sendData(command, true);
            return -1;
        }
    }
    const int id = m_nextId++;
    QStringList alternatives;
    for (const QString &e : expect.split(QLatin1Char('|'), Qt::SkipEmptyParts))
        alternatives << e.trimmed().toUpper();
    if (alternatives.isEmpty())
        alternatives << QStringLiteral("*");
    // Registered before the write: a reply cannot overtake it, but the order stays plain.
    m_pending.push_back({id, alternatives, m_clock.elapsed() + m_timeoutMs});
    armTimer();
    Q_EMIT pendingCountChanged();
    m_port->sendData(command, hex);
    return id;
}

void SensorChannel::cancelAll()
{
    if (m_pending.empty())
        return;
    m_pending.clear();
    m_timer->stop();
    Q_EMIT pendingCountChanged();
}

bool SensorChannel::isWeightLine(const QString &line)
{
    return nativeLine().match(line).hasMatch() || sgLine().match(line).hasMatch()
            || plainNumber().match(line).hasMatch();
}

void SensorChannel::onReceived(const QByteArray &bytes)
{
    // While nothing waits for a reply only the unfinished line is kept: the weight display
    // does its own parsing, so a stream of weights costs a search for the last break.
    qsizetype start = 0;
    if (m_pending.empty()) {
        qsizetype last = bytes.size() - 1;
        while (last >= 0 && !isBreak(bytes.at(last)))
            --last;
        if (last >= 0) {
            m_partial.clear();
            start = last + 1;
        }
        m_partial.append(bytes.constData() + start, bytes.size() - start);
        if (m_partial.size() > MaxLineLength)
            m_partial.clear();
        return;
    }
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (!isBreak(bytes.at(i)))
            continue;
        m_partial.append(bytes.constData() + start, i - start);
        start = i + 1;
        if (!m_partial.isEmpty())
            handleLine(std::exchange(m_partial, {}));
    }
    m_partial.append(bytes.constData() + start, bytes.size() - start);
    if (m_partial.size() > MaxLineLength)
        m_partial.clear();
}

void SensorChannel::handleLine(const QByteArray &raw)
{
    // Noise bytes on the line are dropped; what stays is the sensor's ASCII text.
    QString line;
    line.reserve(raw.size());
    for (char c : raw) {
        if (c >= 0x20 && c <= 0x7e)
            line.append(QLatin1Char(c));
    }
    line = line.trimmed();
    if (line.isEmpty() || isWeightLine(line))
        return;
    Q_EMIT lineReceived(line);
    if (m_pending.empty())
        return;
    auto it = m_pending.begin();
    bool ok = true;
    if (line.startsWith(QLatin1String("ERR"), Qt::CaseInsensitive)) {
        ok = false;
    } else {
        while (it != m_pending.end() && !matches(it->expect, line))
            ++it;
        // A line nobody expects is information or a reply that came too late.
        if (it == m_pending.end())
            return;
    }
    const int id = it->id;
    m_pending.erase(it);
    armTimer();
    Q_EMIT pendingCountChanged();
    Q_EMIT replied(id, ok, line);
}

bool SensorChannel::matches(const QStringList &expect, const QString &line)
{
    for (const QString &e : expect) {
        if (e == QLatin1String("*"))
            return true;
        if (e == QLatin1String("OK")) {
            if (line == QLatin1String("OK"))
                return true;
        } else if (e == QLatin1String("VERSION")) {
            if (versionLine().match(line).hasMatch())
                return true;
        } else if (e == QLatin1String("SN")) {
            if (snLine().match(line).hasMatch())
                return true;
        } else {
            const QRegularExpressionMatch m = echoLine().match(line);
            if (m.hasMatch() && m.captured(1).toUpper() == e)
                return true;
        }
    }
    return false;
}

void SensorChannel::expire()
{
    const qint64 now = m_clock.elapsed();
    QList<int> expired;
    while (!m_pending.empty()) {
        auto it = m_pending.begin();
        for (auto p = m_pending.begin(); p != m_pending.end(); ++p) {
            if (p->deadline < it->deadline)
                it = p;
        }
        if (it->deadline > now)
            break;
        expired << it->id;
        m_pending.erase(it);
    }
    armTimer();
    if (expired.isEmpty())
        return;
    Q_EMIT pendingCountChanged();
    for (int id : std::as_const(expired))
        Q_EMIT failed(id, QStringLiteral("timeout"));
}

void SensorChannel::armTimer()
{
    if (m_pending.empty()) {
        m_timer->stop();
        return;
    }
    qint64 first = m_pending.front().deadline;
    for (const Pending &p : m_pending)
        first = qMin(first, p.deadline);
    m_timer->start(int(qMax<qint64>(0, first - m_clock.elapsed())));
}

void SensorChannel::onClosed()
{
    m_partial.clear();
    if (m_pending.empty())
        return;
    QList<int> ids;
    for (const Pending &p : m_pending)
        ids << p.id;
    m_pending.clear();
    m_timer->stop();
    Q_EMIT pendingCountChanged();
    for (int id : std::as_const(ids))
        Q_EMIT failed(id, QStringLiteral("closed"));
}

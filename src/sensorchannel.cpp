#include "sensorchannel.h"

#include "protocol/weighgrammar.h"
#include "serialportmanager.h"

#include <QRegularExpression>
#include <QTimer>

namespace {

// A line longer than any reply or weight is noise; the rest of it is dropped.
constexpr qsizetype MaxLineLength = 256;

bool isBreak(char c)
{
    return c == '\r' || c == '\n';
}

// After an answer the firmware may still be sending the rest of it (an echo after its OK):
// the next command waits this long, and what arrives meanwhile answers nothing.
constexpr int SettleMs = 60;
// A setting's echo may be the firmware repeating the command line, with its OK or ERR still
// to come: the echo counts as the answer only when nothing follows within this time.
constexpr int EchoGraceMs = 1000;
// A serial number the firmware sends as bare digits is at least this long; a shorter number
// is a weight.
constexpr int MinBareSerialDigits = 6;

} // namespace

SensorChannel::SensorChannel(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &SensorChannel::onTimer);
    m_clock.start();
}

void SensorChannel::setSerialPort(SerialPortManager *port)
{
    if (m_port == port)
        return;
    disconnect(m_receivedConnection);
    disconnect(m_sentConnection);
    disconnect(m_closedConnection);
    disconnect(m_openedConnection);
    onClosed();
    m_port = port;
    if (port) {
        SerialTraffic *traffic = port->traffic();
        m_receivedConnection
                = connect(traffic, &SerialTraffic::received, this, &SensorChannel::onReceived);
        m_sentConnection = connect(traffic, &SerialTraffic::sent, this, &SensorChannel::onSent);
        m_closedConnection
                = connect(traffic, &SerialTraffic::closed, this, &SensorChannel::onClosed);
        // A new connection starts with nothing half read and nothing owed.
        m_openedConnection
                = connect(traffic, &SerialTraffic::opened, this, &SensorChannel::onClosed);
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

int SensorChannel::request(const QString &command, bool hex)
{
    if (!m_port || !m_port->isConnected() || command.trimmed().isEmpty())
        return -1;
    QByteArray bytes;
    if (hex) {
        QString digits = command.trimmed();
        digits.remove(QLatin1Char(' '));
        static const QRegularExpression hexDigits(QStringLiteral("^(?:[0-9A-Fa-f]{2})+$"));
        if (!hexDigits.match(digits).hasMatch()) {
            // The manager refuses it and says why; there is nothing to wait for.
            m_port->sendData(command, true);
            return -1;
        }
        bytes = QByteArray::fromHex(digits.toLatin1());
    } else {
        bytes = command.toUtf8();
    }
    const int id = m_nextId++;
    m_queue.push_back(classify(id, command, hex, bytes));
    Q_EMIT pendingCountChanged();
    pump();
    return id;
}

SensorChannel::Request SensorChannel::classify(int id, const QString &command, bool hex,
                                               const QByteArray &bytes)
{
    // The same rule for text and for hex: what answers a command follows from its bytes.
    QString text;
    for (char c : bytes) {
        if (c >= 0x20 && c <= 0x7e)
            text.append(QLatin1Char(c));
        else if (c != '\r' && c != '\n')
            text.append(QChar(0xfffd));
    }
    text = text.trimmed().toUpper();
    while (text.endsWith(QLatin1Char('!')))
        text.chop(1);
    text = text.trimmed();
    Request r{id, command, hex, text, Kind::Any, {}};
    static const QRegularExpression query(QStringLiteral("^AT\\+([A-Z]+)\\s*\\?$"));
    static const QRegularExpression bare(QStringLiteral("^AT\\+([A-Z]+)$"));
    if (text == QLatin1String("AT")) {
        r.kind = Kind::Action;
    } else if (const WeighGrammar::Line l = WeighGrammar::classify(text);
               l.kind == WeighGrammar::Echo) {
        // A setting has the shape of its echo.
        r.kind = Kind::Setting;
        r.key = l.key;
    } else if (const auto m = query.match(text); m.hasMatch()) {
        r.key = m.captured(1);
        r.kind = r.key == QLatin1String("VERSION") ? Kind::Identity
                : r.key == QLatin1String("SN")     ? Kind::SerialNumber
                                                   : Kind::Query;
    } else if (const auto m = bare.match(text); m.hasMatch()) {
        r.key = m.captured(1);
        if (r.key == QLatin1String("SN"))
            r.kind = Kind::SerialNumber;
        else if (r.key == QLatin1String("QTAR"))
            r.kind = Kind::Query;
        else if (r.key == QLatin1String("WEI"))
            r.kind = Kind::Weight;
        else if (r.key == QLatin1String("ZERO") || r.key == QLatin1String("TARE")
                 || r.key == QLatin1String("ZCAL"))
            r.kind = Kind::Action;
    }
    return r;
}

void SensorChannel::cancelAll()
{
    if (!m_current && m_queue.empty())
        return;
    m_queue.clear();
    m_current.reset();
    m_echoSeen = false;
    armTimer();
    Q_EMIT pendingCountChanged();
}

bool SensorChannel::isAnswerLine(const QString &line) const
{
    return m_answerIsNewest && line.trimmed() == m_answerLine;
}

bool SensorChannel::isWeightLine(const QString &line)
{
    return WeighGrammar::isWeightLine(line);
}

QString SensorChannel::echoValue(const QString &line, const QString &key)
{
    const WeighGrammar::Line l = WeighGrammar::classify(line);
    if (l.kind != WeighGrammar::Echo || l.key.compare(key, Qt::CaseInsensitive) != 0)
        return {};
    return l.value;
}

void SensorChannel::pump()
{
    if (m_current || m_queue.empty() || !m_port || !m_port->isConnected()) {
        armTimer();
        return;
    }
    const qint64 now = m_clock.elapsed();
    if (m_foreignHold || now < m_readyAt) {
        armTimer();
        return;
    }
    m_current = std::move(m_queue.front());
    m_queue.pop_front();
    m_echoSeen = false;
    m_deadline = now + m_timeoutMs;
    armTimer();
    m_writing = true;
    m_port->sendData(m_current->command, m_current->hex);
    m_writing = false;
}

void SensorChannel::onSent(const QByteArray &bytes)
{
    if (m_writing || bytes.isEmpty())
        return;
    // Someone else's command (the display's zero, tare or stream switch): firmware that
    // handles one command at a time would drop ours if it went now, so ours waits until
    // a line answers it or the timeout passes. What answered it is announced like our own.
    m_foreign.push_back({classify(0, QString::fromLatin1(bytes), false, bytes),
                         m_clock.elapsed() + m_timeoutMs});
    syncHold();
    armTimer();
}

void SensorChannel::onReceived(const QByteArray &bytes)
{
    // While nothing waits for a reply only the unfinished line is kept: the weight display
    // does its own parsing, so a stream of weights costs a search for the last break.
    qsizetype start = 0;
    if (!listening()) {
        qsizetype last = bytes.size() - 1;
        while (last >= 0 && !isBreak(bytes.at(last)))
            --last;
        if (last >= 0) {
            // A line has ended since: the last answer is no longer the newest line.
            if (!m_partial.isEmpty() || last > 0)
                m_answerIsNewest = false;
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
    if (line.isEmpty())
        return;
    m_answerIsNewest = false;
    const WeighGrammar::Line reply = WeighGrammar::classify(line);
    WeighGrammar::Frame number;
    const bool weight
            = reply.kind == WeighGrammar::Weight || WeighGrammar::numberLine(line, number);
    if (!weight)
        Q_EMIT lineReceived(line);
    if (m_current) {
        switch (judge(*m_current, line, m_echoSeen)) {
        case Verdict::Pass:
            break;
        case Verdict::Consumed:
            return;
        case Verdict::Accept:
            finish(true, line);
            return;
        case Verdict::Refuse:
            finish(false, line);
            return;
        case Verdict::Echo:
            m_echoSeen = true;
            m_echoText = line;
            m_deadline = qMin(m_deadline, m_clock.elapsed() + EchoGraceMs);
            armTimer();
            return;
        }
    }
    // Ours went first when both are on the wire: the queue waits while someone else's is.
    answerForeign(line);
}

SensorChannel::Verdict SensorChannel::judge(const Request &r, const QString &line, bool echoSeen)
{
    const WeighGrammar::Line reply = WeighGrammar::classify(line);
    WeighGrammar::Frame number;
    const bool weight
            = reply.kind == WeighGrammar::Weight || WeighGrammar::numberLine(line, number);
    if (r.kind == Kind::Weight)
        return weight                           ? Verdict::Accept
                : WeighGrammar::isRefusal(line) ? Verdict::Refuse
                                                : Verdict::Pass;
    if (weight) {
        // An all-digit serial number looks like a reading of the ASCII format.
        static const QRegularExpression digits(QStringLiteral("^\\d+$"));
        return r.kind == Kind::SerialNumber && line.size() >= MinBareSerialDigits
                        && digits.match(line).hasMatch()
                ? Verdict::Accept
                : Verdict::Pass;
    }
    if (WeighGrammar::isRefusal(line))
        return Verdict::Refuse;
    const bool isEcho = reply.kind == WeighGrammar::Echo;
    const bool isOk = reply.kind == WeighGrammar::Ok;
    if (line.compare(r.text, Qt::CaseInsensitive) == 0 && r.kind != Kind::Setting)
        return Verdict::Consumed; // the firmware repeating the command line
    switch (r.kind) {
    case Kind::Query:
        if (isEcho && reply.key.compare(r.key, Qt::CaseInsensitive) == 0)
            return Verdict::Accept;
        break;
    case Kind::Identity:
    case Kind::SerialNumber:
        if (!isEcho && !isOk)
            return Verdict::Accept;
        break;
    case Kind::Setting:
        if (isOk)
            return Verdict::Accept;
        if (isEcho && reply.key.compare(r.key, Qt::CaseInsensitive) == 0)
            return echoSeen ? Verdict::Consumed : Verdict::Echo;
        break;
    case Kind::Action:
        if (isOk)
            return Verdict::Accept;
        break;
    case Kind::Weight:
        break;
    case Kind::Any:
        return Verdict::Accept;
    }
    return Verdict::Pass;
}

void SensorChannel::answerForeign(const QString &line)
{
    if (m_foreign.empty())
        return;
    Foreign &f = m_foreign.front();
    switch (judge(f.request, line, f.echoSeen)) {
    case Verdict::Pass:
    case Verdict::Consumed:
        return;
    case Verdict::Accept:
        settleForeign(QStringLiteral("ok"), line);
        return;
    case Verdict::Refuse:
        settleForeign(QStringLiteral("refused"), line);
        return;
    case Verdict::Echo:
        f.echoSeen = true;
        f.echoText = line;
        f.deadline = qMin(f.deadline, m_clock.elapsed() + EchoGraceMs);
        syncHold();
        armTimer();
        return;
    }
}

void SensorChannel::settleForeign(const QString &outcome, const QString &reply)
{
    const QString command = m_foreign.front().request.text;
    m_foreign.pop_front();
    syncHold();
    m_readyAt = m_clock.elapsed() + SettleMs;
    armTimer();
    Q_EMIT commandSettled(0, command, outcome, reply);
    pump();
}

void SensorChannel::syncHold()
{
    m_foreignHold = !m_foreign.empty();
    m_holdUntil = m_foreignHold ? m_foreign.front().deadline : 0;
}

void SensorChannel::finish(bool ok, const QString &text)
{
    const int id = m_current->id;
    const QString command = m_current->text;
    m_current.reset();
    m_echoSeen = false;
    m_readyAt = m_clock.elapsed() + SettleMs;
    m_answerLine = text;
    m_answerIsNewest = true;
    armTimer();
    Q_EMIT pendingCountChanged();
    Q_EMIT commandSettled(id, command, ok ? QStringLiteral("ok") : QStringLiteral("refused"), text);
    Q_EMIT replied(id, ok, text);
    pump();
}

void SensorChannel::onTimer()
{
    const qint64 now = m_clock.elapsed();
    while (!m_foreign.empty() && now >= m_foreign.front().deadline) {
        // An echo and nothing after it said yes, as for our own settings.
        const Foreign f = m_foreign.front();
        if (f.echoSeen)
            settleForeign(QStringLiteral("ok"), f.echoText);
        else
            settleForeign(QStringLiteral("timeout"), QString());
    }
    if (m_current && now >= m_deadline) {
        if (m_echoSeen) {
            // Echoed and nothing after it: the echo was the firmware's way of saying yes.
            finish(true, m_echoText);
            return;
        }
        const int id = m_current->id;
        const QString command = m_current->text;
        m_current.reset();
        m_readyAt = now + SettleMs;
        Q_EMIT pendingCountChanged();
        Q_EMIT commandSettled(id, command, QStringLiteral("timeout"), QString());
        Q_EMIT failed(id, QStringLiteral("timeout"));
    }
    pump();
}

void SensorChannel::armTimer()
{
    qint64 due = -1;
    const auto consider = [&due](qint64 at) { due = due < 0 ? at : qMin(due, at); };
    if (m_current)
        consider(m_deadline);
    if (m_foreignHold)
        consider(m_holdUntil);
    if (!m_current && !m_queue.empty() && !m_foreignHold)
        consider(m_readyAt);
    if (due < 0) {
        m_timer->stop();
        return;
    }
    m_timer->start(int(qMax<qint64>(0, due - m_clock.elapsed())));
}

void SensorChannel::onClosed()
{
    m_partial.clear();
    m_answerIsNewest = false;
    const std::deque<Foreign> foreign = std::exchange(m_foreign, {});
    syncHold();
    if (!m_current && m_queue.empty()) {
        for (const Foreign &f : foreign)
            Q_EMIT commandSettled(0, f.request.text, QStringLiteral("closed"), QString());
        return;
    }
    const std::optional<Request> sent = std::exchange(m_current, std::nullopt);
    const std::deque<Request> unsent = std::exchange(m_queue, {});
    m_echoSeen = false;
    m_timer->stop();
    Q_EMIT pendingCountChanged();
    // In the order they went: ours on the wire came before anyone else's.
    if (sent) {
        Q_EMIT commandSettled(sent->id, sent->text, QStringLiteral("closed"), QString());
        Q_EMIT failed(sent->id, QStringLiteral("closed"));
    }
    for (const Foreign &f : foreign)
        Q_EMIT commandSettled(0, f.request.text, QStringLiteral("closed"), QString());
    for (const Request &r : unsent) {
        Q_EMIT commandSettled(r.id, r.text, QStringLiteral("unsent"), QString());
        Q_EMIT failed(r.id, QStringLiteral("unsent"));
    }
}

#include "sensorsimulator.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <initializer_list>
#include <utility>

#if defined(Q_OS_UNIX)
#include "ptypair.h"

#include <QCoreApplication>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;

namespace {

// The longest command the input buffer keeps; anything longer is noise.
constexpr qsizetype MaxCommandLength = 128;
// Split pieces are set apart so that the reader sees them as separate chunks.
constexpr int SplitGapMs = 25;
constexpr double Pi = 3.14159265358979323846;

bool isOneOf(const QString &key, std::initializer_list<const char *> keys)
{
    for (const char *k : keys) {
        if (key == QLatin1String(k))
            return true;
    }
    return false;
}

// Checks a setting's value and gives it in the form a query echoes; empty when invalid.
QString normalizedValue(const QString &key, const QString &value)
{
    if (key == QLatin1String("CHANNEL"))
        return value.size() <= 16 ? value : QString();
    if (key == QLatin1String("ZTRACK")) {
        bool ok = false;
        const double v = value.toDouble(&ok);
        const double halves = v * 2;
        if (!ok || halves < 0 || halves > 6 || halves != std::floor(halves))
            return {};
        return QString::number(v);
    }
    bool ok = false;
    const int v = value.toInt(&ok);
    if (!ok)
        return {};
    int low = 0;
    int high = 0;
    if (isOneOf(key, {"AUTO", "OPENC", "DEBUG", "SAMPLERT"}))
        high = 1;
    else if (key == QLatin1String("DIV"))
        low = 1, high = 1000;
    else if (key == QLatin1String("CAPA"))
        low = 1, high = 100000;
    else if (key == QLatin1String("DEC"))
        high = 4;
    else if (key == QLatin1String("FILTER"))
        high = 3;
    else if (key == QLatin1String("PRINTX"))
        low = 1, high = 3;
    else if (key == QLatin1String("REPORTRT"))
        high = 30;
    else if (key == QLatin1String("WCAL"))
        low = 1, high = 10000000;
    else
        return {};
    return (v >= low && v <= high) ? QString::number(v) : QString();
}

#if defined(Q_OS_UNIX)
int quitPipe[2] = {-1, -1};
#endif

} // namespace

void SensorSimulator::quitOnTerminationSignals()
{
#if defined(Q_OS_UNIX)
    // A signal handler may only write to a pipe; the event loop reads it and quits.
    if (quitPipe[0] >= 0 || !QCoreApplication::instance() || ::pipe(quitPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(qintptr(quitPipe[0]), QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(),
                     &QCoreApplication::quit);
    auto handler = [](int) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(quitPipe[1], &byte, 1);
    };
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGHUP, handler); // the terminal was closed
#endif
}

SensorSimulator::SensorSimulator(QObject *parent)
    : QObject(parent)
    , m_sampleTimer(new QTimer(this))
    , m_reportTimer(new QTimer(this))
    , m_drainTimer(new QTimer(this))
    , m_probeTimer(new QTimer(this))
    , m_answerTimer(new QTimer(this))
{
    m_answerTimer->setSingleShot(true);
    m_answerTimer->setTimerType(Qt::PreciseTimer);
    connect(m_answerTimer, &QTimer::timeout, this, &SensorSimulator::sendDueAnswers);
    initSettings();
    m_sampleTimer->setTimerType(Qt::PreciseTimer);
    connect(m_sampleTimer, &QTimer::timeout, this, &SensorSimulator::sample);
    m_reportTimer->setSingleShot(true);
    m_reportTimer->setTimerType(Qt::PreciseTimer);
    connect(m_reportTimer, &QTimer::timeout, this, &SensorSimulator::report);
    m_drainTimer->setSingleShot(true);
    m_drainTimer->setTimerType(Qt::PreciseTimer);
    connect(m_drainTimer, &QTimer::timeout, this, &SensorSimulator::drain);
    m_probeTimer->setInterval(1s);
    connect(m_probeTimer, &QTimer::timeout, this, &SensorSimulator::dropStaleInput);
    m_wireClock.start();
    m_sampleClock.start();
    m_stableClock.start();
}

SensorSimulator::~SensorSimulator()
{
    closeLink();
}

void SensorSimulator::initSettings()
{
    m_settings = {
            {QStringLiteral("AUTO"), QStringLiteral("1")},
            {QStringLiteral("OPENC"), QStringLiteral("0")},
            {QStringLiteral("WCAL"), QStringLiteral("0")},
            {QStringLiteral("DIV"), QStringLiteral("10")},
            {QStringLiteral("CAPA"), QStringLiteral("200")},
            {QStringLiteral("DEC"), QStringLiteral("3")},
            {QStringLiteral("FILTER"), QStringLiteral("0")},
            {QStringLiteral("ZTRACK"), QStringLiteral("0.5")},
            {QStringLiteral("PRINTX"), QStringLiteral("1")},
            {QStringLiteral("SAMPLERT"), QStringLiteral("0")},
            {QStringLiteral("REPORTRT"), QStringLiteral("10")},
            {QStringLiteral("CHANNEL"), QStringLiteral("UART1")},
            {QStringLiteral("DEBUG"), QStringLiteral("0")},
    };
}

bool SensorSimulator::start(const QString &linkPath)
{
#if defined(Q_OS_UNIX)
    if (m_plugged)
        return true;
    m_attachedPort.clear();
    if (!linkPath.isEmpty()) {
        m_linkDir.reset();
        m_portName = linkPath;
        return plug();
    }
    m_linkDir = std::make_unique<QTemporaryDir>(QDir::tempPath()
                                                + QStringLiteral("/pelora-sim-XXXXXX"));
    if (!m_linkDir->isValid())
        return false;
    m_portName = m_linkDir->filePath(QStringLiteral("ttyPELORA0"));
    return plug();
#else
    Q_UNUSED(linkPath);
    return false;
#endif
}

bool SensorSimulator::attach(const QString &serialPortName)
{
    if (m_plugged)
        unplug();
    m_attachedPort = serialPortName;
    m_portName = serialPortName;
    return plug();
}

bool SensorSimulator::plug()
{
    if (m_plugged)
        return true;
    if (m_portName.isEmpty())
        return false;
    openLink();
    if (!m_plugged)
        return false;
    powerUp();
    Q_EMIT pluggedChanged();
    return true;
}

void SensorSimulator::unplug()
{
    if (!m_plugged)
        return;
    closeLink();
    Q_EMIT pluggedChanged();
}

void SensorSimulator::openLink()
{
    if (!m_attachedPort.isEmpty()) {
        if (!m_serial) {
            m_serial = new QSerialPort(this);
            connect(m_serial, &QSerialPort::readyRead, this, &SensorSimulator::onLinkReadable);
        }
        m_serial->setPortName(m_attachedPort);
        m_serial->setBaudRate(QSerialPort::Baud115200);
        m_serial->setDataBits(QSerialPort::Data8);
        m_serial->setParity(QSerialPort::NoParity);
        m_serial->setStopBits(QSerialPort::OneStop);
        m_serial->setFlowControl(QSerialPort::NoFlowControl);
        m_plugged = m_serial->open(QIODevice::ReadWrite);
        return;
    }
#if defined(Q_OS_UNIX)
    auto pty = std::make_unique<PtyPair>();
    if (!pty->isValid())
        return;
    // Re-point the stable name at the new pair in one step: a reader never sees it missing
    // while plugged.
    const QByteArray link = QFile::encodeName(m_portName);
    const QByteArray fresh = link + ".new";
    ::unlink(fresh.constData());
    if (::symlink(QFile::encodeName(pty->slavePath()).constData(), fresh.constData()) != 0
        || ::rename(fresh.constData(), link.constData()) != 0) {
        ::unlink(fresh.constData());
        return;
    }
    m_probeFd = ::open(QFile::encodeName(pty->slavePath()).constData(),
                       O_RDWR | O_NOCTTY | O_NONBLOCK);
    m_notifier = new QSocketNotifier(qintptr(pty->masterFd()), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SensorSimulator::onLinkReadable);
    m_pty = std::move(pty);
    m_lastQueued = 0;
    m_writtenSinceProbe = 0;
    m_probeTimer->start();
    m_plugged = true;
#endif
}

void SensorSimulator::closeLink()
{
    m_queue.clear();
    m_answers.clear();
    m_answerTimer->stop();
    m_drainTimer->stop();
    m_sampleTimer->stop();
    m_reportTimer->stop();
    m_probeTimer->stop();
    m_input.clear();
    m_splitPieces = 0;
    if (m_serial)
        m_serial->close();
#if defined(Q_OS_UNIX)
    delete m_notifier;
    m_notifier = nullptr;
    if (m_probeFd >= 0)
        ::close(m_probeFd);
    m_probeFd = -1;
    if (m_pty) {
        m_pty->closeMaster(); // the open port on the other end now reports an error
        m_pty.reset();
        // A pulled adapter's device node disappears with it.
        ::unlink(QFile::encodeName(m_portName).constData());
    }
#endif
    m_plugged = false;
}

void SensorSimulator::powerUp()
{
    // Tare and zero live in RAM: a power cycle forgets them; the settings are kept.
    m_tare = 0;
    m_tareActive = false;
    m_zeroOffset = 0;
    m_platform = m_targetLoad;
    if (m_settings.value(QStringLiteral("OPENC")) == QLatin1String("1"))
        m_zeroOffset = grossRaw();
    m_sampleClock.restart();
    m_stableClock.restart();
    m_wireFreeAtNs = 0;
    sample();
    restartSampling();
    restartReporting();
}

// ---------------------------------------------------------------- input and commands

void SensorSimulator::onLinkReadable()
{
    QByteArray data;
    if (m_serial && m_serial->isOpen()) {
        data = m_serial->readAll();
    }
#if defined(Q_OS_UNIX)
    else if (m_pty) {
        data = m_pty->read(0);
    }
#endif
    handleInput(data);
}

void SensorSimulator::handleInput(const QByteArray &bytes)
{
    for (const char c : bytes) {
        // CR, LF and "!" all end a command; the LF of a CR LF then ends an empty one,
        // which is no command at all.
        if (c == '\r' || c == '\n' || c == '!') {
            const QString command = QString::fromLatin1(m_input).trimmed();
            m_input.clear();
            if (!command.isEmpty())
                handleCommand(command);
        } else if (m_input.size() < MaxCommandLength) {
            m_input.append(c);
        }
    }
}

void SensorSimulator::handleCommand(const QString &command)
{
    m_commands.append(command);
    Q_EMIT commandReceived(command);
    if (m_oneAtATime && !m_answers.empty()) {
        ++m_ignored; // still busy with the one before
        return;
    }
    if (m_confirmation == Confirmation::CommandEcho && m_replying)
        queueLine(command.toLatin1() + m_lineEnding);
    QStringList lines;
    m_answer = &lines;
    respond(command);
    m_answer = nullptr;
    answer(lines);
}

void SensorSimulator::respond(const QString &command)
{
    const QString upper = command.toUpper();
    if (upper == QLatin1String("AT")) {
        reply(QStringLiteral("OK"));
        return;
    }
    if (!upper.startsWith(QLatin1String("AT+"))) {
        refuse(QStringLiteral("unknown command"));
        return;
    }
    const QString rest = command.mid(3);
    const qsizetype eq = rest.indexOf(QLatin1Char('='));
    if (eq >= 0) {
        const QString key = rest.left(eq).trimmed().toUpper();
        const QString outcome = settingCommand(key, rest.mid(eq + 1).trimmed());
        if (outcome != QLatin1String("OK")) {
            refuse(outcome.mid(outcome.indexOf(QLatin1Char(':')) + 1).trimmed());
            return;
        }
        const QString stored = key == QLatin1String("DEBUGL") ? QStringLiteral("DEBUG") : key;
        const QString echo = QStringLiteral("AT+%1=%2").arg(key, rest.mid(eq + 1).trimmed());
        if (m_confirmation != Confirmation::Echo)
            reply(QStringLiteral("OK"));
        if (m_confirmation == Confirmation::Echo || m_confirmation == Confirmation::OkAndEcho)
            reply(echo);
        return;
    }
    if (rest.endsWith(QLatin1Char('?'))) {
        const QString key = rest.chopped(1).trimmed().toUpper();
        if (key == QLatin1String("VERSION")) {
            reply(m_version);
        } else if (key == QLatin1String("QTAR")) {
            reply(QStringLiteral("AT+QTAR=") + formatNumber(m_tare, 1));
        } else {
            // DEBUG and DEBUGL are two spellings of one setting.
            const QString stored = key == QLatin1String("DEBUGL") ? QStringLiteral("DEBUG") : key;
            if (m_settings.contains(stored))
                reply(QStringLiteral("AT+%1=%2").arg(key, m_settings.value(stored)));
            else
                refuse(QStringLiteral("unknown command"));
        }
        return;
    }
    const QString key = rest.trimmed().toUpper();
    if (m_refusedActions.contains(key)) {
        refuse(QStringLiteral("unstable"));
        return;
    }
    if (key == QLatin1String("ZERO") || key == QLatin1String("ZCAL")) {
        const double gross = grossRaw();
        if (key == QLatin1String("ZCAL")) {
            // The calibrated zero moves to what the cell feels now.
            m_calZero = m_platform;
            m_zeroOffset = 0;
        } else {
            m_zeroOffset += gross;
        }
        m_tare = 0;
        m_tareActive = false;
        sample();
        reply(QStringLiteral("OK"));
    } else if (key == QLatin1String("TARE")) {
        // The shown gross becomes the tare; taring an empty platform clears it.
        const double d = divisionKg();
        const double gross = std::round(grossRaw() / d) * d;
        m_tareActive = gross >= d / 2;
        m_tare = m_tareActive ? gross : 0;
        sample();
        reply(QStringLiteral("OK"));
    } else if (key == QLatin1String("QTAR")) {
        reply(QStringLiteral("AT+QTAR=") + formatNumber(m_tare, 1));
    } else if (key == QLatin1String("WEI")) {
        reply(QString::fromLatin1(weightLine()).trimmed());
    } else if (key == QLatin1String("SN")) {
        reply(m_serialNumber);
    } else {
        refuse(QStringLiteral("unknown command"));
    }
}

QString SensorSimulator::settingCommand(const QString &key, const QString &value)
{
    const QString stored = key == QLatin1String("DEBUGL") ? QStringLiteral("DEBUG") : key;
    if (!m_settings.contains(stored))
        return QStringLiteral("ERR: unknown command");
    const QString normalized = normalizedValue(stored, value);
    if (normalized.isEmpty())
        return QStringLiteral("ERR: invalid value");
    if (m_locked)
        return QStringLiteral("OK");

    if (stored == QLatin1String("WCAL")) {
        // Calibrate the span with a reference weight (grams) lying on the platform.
        const double felt = m_platform - m_calZero;
        if (std::abs(felt) < 1e-6)
            return QStringLiteral("ERR: no load");
        m_span = normalized.toDouble() / 1000.0 / felt;
        m_zeroOffset = 0;
        m_tare = 0;
        m_tareActive = false;
    }
    m_settings.insert(stored, normalized);
    if (isOneOf(stored, {"AUTO", "REPORTRT"}))
        restartReporting();
    else if (stored == QLatin1String("SAMPLERT"))
        restartSampling();
    if (isOneOf(stored, {"WCAL", "DIV", "CAPA"}))
        sample();
    return QStringLiteral("OK");
}

void SensorSimulator::reply(const QString &text)
{
    if (m_answer)
        m_answer->append(text);
}

void SensorSimulator::refuse(const QString &reason)
{
    const bool unknown = reason == QLatin1String("unknown command");
    if (unknown && m_silentOnUnknown)
        return;
    reply(m_errorWord == QLatin1String("ERR") ? QStringLiteral("ERR: ") + reason : m_errorWord);
}

void SensorSimulator::answer(const QStringList &lines)
{
    if (!m_replying || lines.isEmpty())
        return;
    if (m_latencyMaxMs <= 0 && m_answers.empty()) {
        for (const QString &line : lines)
            queueLine(line.toLatin1() + m_lineEnding);
        return;
    }
    const int spread = m_latencyMaxMs - m_latencyMinMs;
    const int latency = m_latencyMinMs + (spread > 0 ? int(m_random.bounded(spread + 1)) : 0);
    m_answers.push_back({m_wireClock.elapsed() + latency, lines});
    if (!m_answerTimer->isActive())
        sendDueAnswers();
}

void SensorSimulator::sendDueAnswers()
{
    // Answers leave in the order their commands came, each when it is due.
    while (!m_answers.empty()) {
        const qint64 wait = m_answers.front().dueMs - m_wireClock.elapsed();
        if (wait > 0) {
            m_answerTimer->start(std::chrono::milliseconds(wait));
            return;
        }
        const QStringList lines = m_answers.front().lines;
        m_answers.pop_front();
        for (const QString &line : lines)
            queueLine(line.toLatin1() + m_lineEnding);
    }
}

void SensorSimulator::setReplyLatency(int minMs, int maxMs)
{
    m_latencyMinMs = qMax(0, minMs);
    m_latencyMaxMs = qMax(m_latencyMinMs, maxMs);
}

void SensorSimulator::setIdentity(const QString &version, const QString &serialNumber)
{
    m_version = version;
    m_serialNumber = serialNumber;
}

// ---------------------------------------------------------------- the API

void SensorSimulator::setLoad(double kg)
{
    m_targetLoad = kg;
}

void SensorSimulator::setAutoReport(bool on)
{
    m_settings.insert(QStringLiteral("AUTO"), on ? QStringLiteral("1") : QStringLiteral("0"));
    restartReporting();
}

void SensorSimulator::setFormat(int format)
{
    m_settings.insert(QStringLiteral("PRINTX"), QString::number(qBound(1, format, 3)));
}

void SensorSimulator::setReportRate(int linesPerSecond)
{
    m_settings.insert(QStringLiteral("REPORTRT"), QString::number(qBound(0, linesPerSecond, 30)));
    restartReporting();
}

// ---------------------------------------------------------------- load model

double SensorSimulator::divisionKg() const
{
    return m_settings.value(QStringLiteral("DIV")).toInt() / 1000.0;
}

double SensorSimulator::grossRaw() const
{
    return (m_platform - m_calZero) * m_span - m_zeroOffset;
}

void SensorSimulator::restartSampling()
{
    if (!m_plugged)
        return;
    const bool fast = m_settings.value(QStringLiteral("SAMPLERT")) == QLatin1String("1");
    m_sampleTimer->start(fast ? 12ms : 100ms);
}

void SensorSimulator::sample()
{
    static constexpr double FilterFactor[] = {1.0, 2.0, 4.0, 0.5};
    const double dtMs = double(m_sampleClock.nsecsElapsed()) / 1e6;
    m_sampleClock.restart();
    const int filter = qBound(0, m_settings.value(QStringLiteral("FILTER")).toInt(), 3);
    const double tau = m_responseMs * FilterFactor[filter];
    if (tau <= 0)
        m_platform = m_targetLoad;
    else
        m_platform += (m_targetLoad - m_platform) * (1.0 - std::exp(-dtMs / tau));

    const double d = divisionKg();
    if (std::abs(m_targetLoad - m_platform) < d / 20)
        m_platform = m_targetLoad; // settled: the tail of the approach is below the noise
    double gross = grossRaw();
    if (m_noiseEnabled) {
        // Gaussian noise of a fifth of a division (Box-Muller), from the seeded generator only.
        const double u1 = 1.0 - m_random.generateDouble();
        const double u2 = m_random.generateDouble();
        gross += 0.2 * d * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * Pi * u2);
    }
    const double capa = m_settings.value(QStringLiteral("CAPA")).toDouble();
    const bool overload = gross > capa;
    double value = std::round(gross / d) * d - (m_tareActive ? m_tare : 0);
    if (std::abs(value) < d / 2)
        value = 0; // no "-0.000"

    if (std::abs(value - m_stableRef) > d * 1.001) {
        m_stableRef = value;
        m_stableClock.restart();
    }
    const bool stable = !overload && m_stableClock.elapsed() >= m_stableMs;

    // Zero tracking: a stable gross reading near zero is drawn back to zero.
    const double ztrack = m_settings.value(QStringLiteral("ZTRACK")).toDouble();
    const double drift = grossRaw();
    if (stable && !m_tareActive && ztrack > 0 && drift != 0 && std::abs(drift) <= ztrack * d)
        m_zeroOffset += drift;

    m_reading = {value, stable, overload, m_tareActive};
}

QString SensorSimulator::formatNumber(double kg, int intDigits) const
{
    const int dec = m_settings.value(QStringLiteral("DEC")).toInt();
    QString digits = QString::number(std::abs(kg), 'f', dec);
    const qsizetype point = digits.indexOf(QLatin1Char('.'));
    const qsizetype intLen = point < 0 ? digits.size() : point;
    if (intLen < intDigits)
        digits.prepend(QString(intDigits - intLen, QLatin1Char('0')));
    const bool allZero = digits.count(QLatin1Char('0')) + (point < 0 ? 0 : 1) == digits.size();
    return (kg < 0 && !allZero) ? QLatin1Char('-') + digits : digits;
}

QByteArray SensorSimulator::weightLine()
{
    const Reading r = m_reading;
    QString line;
    switch (m_settings.value(QStringLiteral("PRINTX")).toInt()) {
    case 2: {
        // Four places before the point, the sign taking one of them: "sn0001.23kg", "wn-001.23kg".
        const QString number = formatNumber(r.weight, r.weight < 0 ? 3 : 4);
        // The format has no overload field: an overloaded reading goes out as unstable.
        line = QString(QLatin1Char(r.stable ? 's' : 'w')) + QLatin1Char(r.net ? 'n' : 'g') + number
                + QStringLiteral("kg");
        break;
    }
    case 3:
        line = formatNumber(r.weight, 1);
        break;
    default: {
        const QString status = r.overload ? QStringLiteral("OL")
                : r.stable                ? QStringLiteral("ST")
                                          : QStringLiteral("US");
        line = QStringLiteral("%1%2,%3,%4")
                       .arg(status, formatNumber(r.weight, 3))
                       .arg(r.stable ? 1 : 0)
                       .arg(r.overload ? 1 : 0);
        break;
    }
    }
    return line.toLatin1() + m_lineEnding;
}

// ---------------------------------------------------------------- output

void SensorSimulator::restartReporting()
{
    m_reportTimer->stop();
    if (!m_plugged)
        return;
    const int rate = m_settings.value(QStringLiteral("REPORTRT")).toInt();
    if (m_settings.value(QStringLiteral("AUTO")) != QLatin1String("1") || rate <= 0)
        return;
    m_reportClock.start();
    m_reportsDone = 0;
    m_reportTimer->start(std::chrono::milliseconds(1000 / rate));
}

void SensorSimulator::report()
{
    const int rate = m_settings.value(QStringLiteral("REPORTRT")).toInt();
    if (!m_plugged || rate <= 0)
        return;
    queueLine(weightLine());
    ++m_reportsDone;
    // Lines are due on a fixed grid, so that timer jitter does not add up; after a long
    // stall the grid starts afresh instead of catching up with a flood.
    qint64 due = (m_reportsDone + 1) * 1000 / rate;
    if (m_reportClock.elapsed() > due + 1000) {
        m_reportClock.start();
        m_reportsDone = 0;
        due = 1000 / rate;
    }
    m_reportTimer->start(std::chrono::milliseconds(qMax<qint64>(0, due - m_reportClock.elapsed())));
}

void SensorSimulator::queueLine(const QByteArray &line)
{
    if (!m_plugged)
        return;
    const qsizetype pieces = qMin<qsizetype>(m_splitPieces, line.size());
    m_splitPieces = 0;
    if (pieces > 1) {
        const qsizetype step = (line.size() + pieces - 1) / pieces;
        for (qsizetype at = 0; at < line.size(); at += step) {
            Chunk chunk{line.mid(at, step), at == 0 ? 0 : SplitGapMs, {}, false};
            if (at + step >= line.size())
                chunk.line = line;
            queue(std::move(chunk));
        }
        return;
    }
    queue(Chunk{line, 0, line, false});
}

void SensorSimulator::queue(Chunk chunk)
{
    if (!m_plugged)
        return;
    m_queue.push_back(std::move(chunk));
    if (!m_drainTimer->isActive())
        drain();
}

void SensorSimulator::drain()
{
    // The wire carries WireBytesPerSecond: each chunk starts when the one before has left.
    // A late timer may catch up by a couple of milliseconds, no more.
    constexpr qint64 SlackNs = 2'000'000;
    while (!m_queue.empty()) {
        const qint64 now = m_wireClock.nsecsElapsed();
        Chunk &chunk = m_queue.front();
        const qint64 earliest = m_wireFreeAtNs + qint64(chunk.gapMs) * 1'000'000;
        if (earliest > now) {
            m_drainTimer->start(std::chrono::milliseconds((earliest - now + 999'999) / 1'000'000));
            return;
        }
        const qint64 startNs = earliest < now - SlackNs ? now : earliest;
        m_wireFreeAtNs = startNs + chunk.bytes.size() * 1'000'000'000LL / WireBytesPerSecond;
        const Chunk done = std::move(chunk);
        m_queue.pop_front();
        writeToLink(done.bytes);
        if (!done.line.isEmpty())
            Q_EMIT lineSent(done.line);
        if (done.endsBurst)
            Q_EMIT burstFinished();
        if (!m_plugged) // a handler may have unplugged us
            return;
    }
}

bool SensorSimulator::writeToLink(const QByteArray &bytes)
{
    if (m_serial && m_serial->isOpen())
        return m_serial->write(bytes) == bytes.size();
#if defined(Q_OS_UNIX)
    if (m_pty) {
        // Never block the event loop: what the pseudo-terminal cannot take is lost, as on
        // a wire that nobody reads.
        const ssize_t n = ::write(m_pty->masterFd(), bytes.constData(), size_t(bytes.size()));
        if (n > 0)
            m_writtenSinceProbe += n;
        return n == bytes.size();
    }
#endif
    return false;
}

void SensorSimulator::dropStaleInput()
{
#if defined(Q_OS_UNIX)
    // While nobody has the port open the bytes pile up in the pseudo-terminal; a wire would
    // have lost them. A queue from which nothing at all was read for a whole second has no
    // reader. (A queue that merely did not shrink may have a reader that is just behind the
    // writes made since the last look.)
    if (m_probeFd < 0)
        return;
    const qint64 written = std::exchange(m_writtenSinceProbe, 0);
    int queued = 0;
    if (::ioctl(m_probeFd, FIONREAD, &queued) != 0)
        return;
    if (queued > 0 && m_lastQueued > 0 && queued >= m_lastQueued + written) {
        ::tcflush(m_probeFd, TCIFLUSH);
        queued = 0;
    }
    m_lastQueued = queued;
#endif
}

// ---------------------------------------------------------------- faults

void SensorSimulator::sendGarbage(int count)
{
    QByteArray bytes;
    bytes.reserve(count);
    for (int i = 0; i < count; ++i)
        bytes.append(char(0x80 + m_random.bounded(0x80)));
    queue(Chunk{bytes, 0, {}, false});
}

void SensorSimulator::splitNextLine(int pieces)
{
    m_splitPieces = qMax(2, pieces);
}

void SensorSimulator::burst(int count)
{
    if (!m_plugged || count <= 0)
        return;
    // Queue all lines before any leaves (the running drain timer holds them back), so that
    // the pacing alone decides when they go.
    m_drainTimer->start(0ms);
    for (int i = 0; i < count; ++i)
        queueLine(weightLine());
    m_queue.back().endsBurst = true;
}

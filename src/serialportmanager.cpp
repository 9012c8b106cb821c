#include "serialportmanager.h"

#include "sensorsession.h"
#include "serialtraffic.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;

namespace {

SerialPortManager::PortEnumerator &defaultEnumerator()
{
    static SerialPortManager::PortEnumerator enumerator;
    return enumerator;
}

bool isPrintable(unsigned char b)
{
    return (b >= 0x20 && b <= 0x7E) || b == '\t' || b == '\n' || b == '\r';
}

// Characters a byte takes in the printable rendering: itself, or "[XX]".
qsizetype printableWidth(const char *bytes, qsizetype count)
{
    qsizetype width = 0;
    for (qsizetype i = 0; i < count; ++i)
        width += isPrintable(static_cast<unsigned char>(bytes[i])) ? 1 : 4;
    return width;
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

SerialPortManager::SerialPortManager(QObject *parent)
    : QObject(parent)
    , m_port(new QSerialPort(this))
    , m_pollTimer(new QTimer(this))
    , m_enumerator(defaultEnumerator())
    , m_traffic(new SerialTraffic(this))
{
    connect(m_pollTimer, &QTimer::timeout, this, &SerialPortManager::refreshPorts);
    m_pollTimer->start(2000ms);
    m_session = new SensorSession(this, this);
    connect(m_port, &QSerialPort::readyRead, this, &SerialPortManager::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialPortManager::onErrorOccurred);
    connect(m_port, &QSerialPort::aboutToClose, this, &SerialPortManager::unwatchLine);
    refreshPorts();
}

SerialPortManager::~SerialPortManager()
{
    // The port closes as it is destroyed; nothing is reported from here on.
    disconnect(m_port, nullptr, this, nullptr);
    unwatchLine();
}

bool SerialPortManager::isConnected() const
{
    return m_port->isOpen();
}

void SerialPortManager::setDefaultPortEnumerator(PortEnumerator enumerator)
{
    defaultEnumerator() = std::move(enumerator);
}

void SerialPortManager::setPortEnumerator(PortEnumerator enumerator)
{
    m_enumerator = std::move(enumerator);
}

void SerialPortManager::refreshPorts()
{
    const QStringList names = m_enumerator ? m_enumerator() : platformPortNames();
    if (names == m_portList)
        return;
    m_portList = names;
    Q_EMIT portListChanged();
}

bool SerialPortManager::connectSerialPort(const QString &portName, int baudRate, int dataBits,
                                          int parity, int stopBits, int flowControl)
{
    setSuppressed(false);

    const bool wasOpen = m_port->isOpen();
    if (wasOpen) {
        m_port->close();
        endSession();
    }

    m_port->setPortName(portName);
    m_openPortName = portName; // what portName() answers once the port is open
    m_port->setBaudRate(baudRate, QSerialPort::AllDirections);
    m_port->setDataBits(static_cast<QSerialPort::DataBits>(dataBits));
    m_port->setParity(static_cast<QSerialPort::Parity>(parity));
    m_port->setStopBits(static_cast<QSerialPort::StopBits>(stopBits));
    m_port->setFlowControl(static_cast<QSerialPort::FlowControl>(flowControl));

    if (m_port->open(QIODevice::ReadWrite)) {
        watchLine();
        startSession();
        Q_EMIT m_traffic->opened(portName);
        setStatus(tr("已连接到 %1").arg(portName));
        Q_EMIT connectionChanged();
        return true;
    }

    setStatus(tr("连接失败: %1").arg(m_port->errorString()));
    if (wasOpen)
        Q_EMIT connectionChanged();
    return false;
}

void SerialPortManager::disconnectSerialPort()
{
    setSuppressed(true);
    if (!m_port->isOpen())
        return;
    m_port->close();
    endSession();
    setStatus(tr("串口已断开"));
    Q_EMIT connectionChanged();
}

void SerialPortManager::clearAutoReconnectSuppressed()
{
    setSuppressed(false);
}

void SerialPortManager::onErrorOccurred(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError)
        return;
    closeOnError(m_port->errorString());
}

void SerialPortManager::closeOnError(const QString &why)
{
    setStatus(tr("串口错误: %1").arg(why));
    if (m_port->isOpen()) {
        m_port->close();
        endSession();
        Q_EMIT connectionChanged();
    }
}

// Qt 6.4 reports a line that hung up as a read error. Later versions take the end of file
// it reads as "no data yet": nothing is reported until a write fails, and their read
// notifier spins meanwhile. So the line is watched here too, through a second descriptor of
// the same open device: a hang-up closes the port, plain data is left to the port.
void SerialPortManager::watchLine()
{
#ifdef Q_OS_UNIX
    const int fd = ::fcntl(int(m_port->handle()), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return;
    m_lineFd = fd;
    m_lineWatch = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_lineWatch, &QSocketNotifier::activated, this, &SerialPortManager::checkLine);
#endif
}

void SerialPortManager::unwatchLine()
{
    if (!m_lineWatch)
        return;
    // Possibly inside the notifier's own signal: it goes once control is back in the loop.
    m_lineWatch->setEnabled(false);
    m_lineWatch->deleteLater();
    m_lineWatch = nullptr;
#ifdef Q_OS_UNIX
    ::close(m_lineFd);
#endif
    m_lineFd = -1;
}

void SerialPortManager::checkLine()
{
    if (!lineHungUp())
        return;
    // Where the port reports the hang-up itself (Qt 6.4, as a read error) its own message
    // goes first; the watch speaks only where the port says nothing.
    if (m_lineWatch)
        m_lineWatch->setEnabled(false);
    QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_port->isOpen())
                    closeOnError(tr("设备已断开"));
            },
            Qt::QueuedConnection);
}

bool SerialPortManager::lineHungUp() const
{
#ifdef Q_OS_UNIX
    if (m_lineFd < 0)
        return false;
    // Asked for no events, poll() answers only a hang-up or an error on the line.
    pollfd line{m_lineFd, 0, 0};
    return ::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR));
#else
    return false;
#endif
}

void SerialPortManager::onReadyRead()
{
    const QByteArray chunk = m_port->readAll();
    if (chunk.isEmpty())
        return;

    const qint64 chunkStart = m_totalBytes;
    m_totalBytes += chunk.size();
    if (m_awaitingBreak) {
        // What precedes the connection's first line break may be the end of a line the
        // sensor was already sending when the port opened: it never counts.
        qsizetype cut = -1;
        for (qsizetype i = 0; i < chunk.size() && cut < 0; ++i) {
            if (chunk.at(i) == '\r' || chunk.at(i) == '\n')
                cut = i + 1;
        }
        if (cut >= 0) {
            m_awaitingBreak = false;
            m_sessionFrom = chunkStart + cut;
            m_sessionChars += printableWidth(chunk.constData() + cut, chunk.size() - cut);
        }
    } else if (m_sessionFrom != NoSession) {
        m_sessionChars += printableWidth(chunk.constData(), chunk.size());
    }

    const qsizetype dropped = qMax<qsizetype>(0, m_buffer.size() + chunk.size() - MaxBufferSize);
    if (!lineIsWanted()) {
        // Nobody reads the line: the debug output is filtered out and debugLog unheard.
    } else if (m_hexMode) {
        log(QStringLiteral("[SerialPort RX] HEX %1").arg(hexRendering(chunk)));
    } else {
        QString visible = printableRendering(chunk);
        visible.replace(u'\r', QLatin1String("\\r"))
                .replace(u'\n', QLatin1String("\\n"))
                .replace(u'\t', QLatin1String("\\t"));
        log(QStringLiteral("[SerialPort RX] TEXT %1").arg(visible));
    }
    appendRendered(chunk, dropped);
    Q_EMIT m_traffic->received(chunk);
    Q_EMIT receivedDataChanged();
}

// Keeps receivedData equal to the rendering of the whole buffer without rendering the whole
// buffer for every chunk: the new chunk is rendered and appended, and the characters of the
// bytes that fall out of the buffer are cut from the front.
void SerialPortManager::appendRendered(const QByteArray &chunk, qsizetype dropped)
{
    const bool rebuild = m_renderedHex != m_hexMode || dropped >= m_buffer.size();
    if (!rebuild) {
        if (m_hexMode) {
            // "AA BB CC": every dropped byte takes its two digits and the blank after them.
            m_receivedData.remove(0, dropped * 3);
        } else {
            m_receivedData.remove(0, printableWidth(m_buffer.constData(), dropped));
        }
    }
    m_buffer.append(chunk);
    if (m_buffer.size() > MaxBufferSize)
        m_buffer.remove(0, m_buffer.size() - MaxBufferSize);
    if (rebuild) {
        m_renderedHex = m_hexMode;
        m_receivedData = m_hexMode ? hexRendering(m_buffer) : printableRendering(m_buffer);
    } else if (m_hexMode) {
        if (!m_receivedData.isEmpty())
            m_receivedData.append(u' ');
        m_receivedData.append(hexRendering(chunk));
    } else {
        m_receivedData.append(printableRendering(chunk));
    }
}

QString SerialPortManager::receivedTail(int maxChars) const
{
    if (maxChars <= 0 || m_sessionFrom == NoSession || !m_port->isOpen())
        return {};
    const qint64 bufferStart = m_totalBytes - m_buffer.size();
    const qint64 from = qMax(bufferStart, m_sessionFrom);
    // Each byte takes at least one character, so the last maxChars bytes are enough.
    const qint64 count = qMin<qint64>(m_totalBytes - from, maxChars);
    if (count <= 0)
        return {};
    const QString text = printableRendering(
            QByteArray::fromRawData(m_buffer.constData() + m_buffer.size() - count, count));
    return text.size() > maxChars ? text.right(maxChars) : text;
}

QString SerialPortManager::portName() const
{
    return m_port->isOpen() ? m_openPortName : QString();
}

int SerialPortManager::baudRate() const
{
    return m_port->isOpen() ? m_port->baudRate() : 0;
}

void SerialPortManager::startSession()
{
    m_sessionFrom = NoSession;
    m_awaitingBreak = true;
}

void SerialPortManager::endSession()
{
    m_sessionFrom = NoSession;
    m_awaitingBreak = false;
    Q_EMIT m_traffic->closed();
}

void SerialPortManager::sendData(const QString &data, bool hexMode)
{
    if (!m_port->isOpen()) {
        setStatus(tr("串口未连接"));
        return;
    }
    m_hexMode = hexMode;

    QByteArray payload;
    QString line;
    if (!hexMode) {
        payload = data.toUtf8();
        QString shown = data;
        shown.replace(QLatin1String("\\r"), QLatin1String("\\\\r"))
                .replace(QLatin1String("\\n"), QLatin1String("\\\\n"))
                .replace(QLatin1String("\\t"), QLatin1String("\\\\t"));
        line = QStringLiteral("[SerialPort TX] TEXT %1").arg(shown);
    } else {
        QString digits = data.trimmed();
        digits.remove(u' ');
        if (digits.size() % 2 != 0) {
            setStatus(tr("十六进制数据长度必须为偶数"));
            return;
        }
        // Exactly two hex digits make a byte: no sign, no blank, no prefix.
        payload.reserve(digits.size() / 2);
        for (qsizetype i = 0; i < digits.size(); i += 2) {
            const int high = hexDigit(digits.at(i));
            const int low = hexDigit(digits.at(i + 1));
            if (high < 0 || low < 0) {
                setStatus(tr("十六进制数据格式错误"));
                return;
            }
            payload.append(static_cast<char>(high * 16 + low));
        }
        line = QStringLiteral("[SerialPort TX] HEX %1").arg(hexRendering(payload));
    }

    log(line);
    Q_EMIT m_traffic->sent(payload);
    const qint64 written = m_port->write(payload);
    if (written == -1)
        setStatus(tr("发送失败"));
    else
        setStatus(tr("已发送 %1 字节").arg(written));
}

void SerialPortManager::clearReceivedData()
{
    m_buffer.clear();
    m_receivedData.clear();
    m_renderedHex = m_hexMode;
    Q_EMIT receivedDataChanged();
}

QStringList SerialPortManager::platformPortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    names.reserve(ports.size());
    for (const QSerialPortInfo &info : ports)
        names.append(info.portName());
    return names;
}

QString SerialPortManager::printableRendering(const QByteArray &bytes)
{
    // A chunk of plain text, the usual case, converts in one go.
    if (!bytes.isEmpty() && std::all_of(bytes.cbegin(), bytes.cend(), [](char ch) {
            return isPrintable(static_cast<unsigned char>(ch));
        }))
        return QString::fromLatin1(bytes);
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (isPrintable(b)) {
            text.append(QLatin1Char(ch));
        } else {
            const QChar marker[4]
                    = {u'[', QLatin1Char(digits[b >> 4]), QLatin1Char(digits[b & 0xF]), u']'};
            text.append(marker, 4);
        }
    }
    return text;
}

QString SerialPortManager::hexRendering(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

void SerialPortManager::setStatus(const QString &message)
{
    m_statusMessage = message;
    Q_EMIT statusMessageChanged();
}

void SerialPortManager::setSuppressed(bool suppressed)
{
    if (m_autoReconnectSuppressed == suppressed)
        return;
    m_autoReconnectSuppressed = suppressed;
    Q_EMIT autoReconnectSuppressedChanged();
}

bool SerialPortManager::lineIsWanted() const
{
    static const QMetaMethod debugLogSignal = QMetaMethod::fromSignal(&SerialPortManager::debugLog);
    return QLoggingCategory::defaultCategory()->isDebugEnabled()
            || isSignalConnected(debugLogSignal);
}

void SerialPortManager::log(const QString &line)
{
    // Streamed rather than formatted with "%s", which would end the line at a NUL.
    qDebug().noquote().nospace() << line;
    Q_EMIT debugLog(line);
}

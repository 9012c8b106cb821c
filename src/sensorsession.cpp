#include "sensorsession.h"

#include "sensorchannel.h"
#include "sensorparameters.h"
#include "serialportmanager.h"
#include "trafficlog.h"

namespace {
constexpr int MaxHistory = 50;
}

SensorSession::SensorSession(SerialPortManager *port, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_channel(new SensorChannel(this))
    , m_parameters(new SensorParameters(m_channel, this))
    , m_log(new TrafficLog(this))
{
    m_channel->setSerialPort(port);
    m_log->setSerialPort(port);
    m_savePath = m_log->suggestedFilePath();
    // A new connection may be another sensor: nothing read of the last one holds.
    connect(port->traffic(), &SerialTraffic::opened, m_parameters, &SensorParameters::clear);
    connect(m_channel, &SensorChannel::replied, this, [this](int id, bool, const QString &text) {
        if (id == m_consoleRequest)
            setReply(tr("应答: %1").arg(text));
    });
    connect(m_channel, &SensorChannel::failed, this, [this](int id, const QString &reason) {
        if (id != m_consoleRequest)
            return;
        if (reason == QLatin1String("timeout"))
            setReply(tr("无应答"));
        else if (reason == QLatin1String("closed"))
            setReply(tr("连接已断开，未收到应答"));
        else
            setReply(tr("连接已断开，未发送"));
    });
}

void SensorSession::setConsoleMode(int mode)
{
    mode = qBound(0, mode, 3);
    if (mode == m_consoleMode)
        return;
    m_consoleMode = mode;
    Q_EMIT consoleModeChanged();
}

void SensorSession::setSavePath(const QString &path)
{
    if (path == m_savePath)
        return;
    m_savePath = path;
    Q_EMIT savePathChanged();
}

bool SensorSession::sendCommand(const QString &typed, const QString &payload, bool hex)
{
    if (typed.trimmed().isEmpty())
        return false;
    m_history.removeAll(typed);
    m_history.append(typed);
    while (m_history.size() > MaxHistory)
        m_history.removeFirst();
    Q_EMIT historyChanged();
    m_consoleRequest = m_channel->request(payload, hex);
    if (m_consoleRequest < 0) {
        setReply(m_port ? m_port->statusMessage() : QString());
        return false;
    }
    setReply(tr("等待应答…"));
    return true;
}

void SensorSession::setReply(const QString &text)
{
    if (text == m_consoleReply)
        return;
    m_consoleReply = text;
    Q_EMIT consoleReplyChanged();
}

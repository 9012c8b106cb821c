#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

class SerialPortManager;
class SensorChannel;
class SensorParameters;
class TrafficLog;
Q_MOC_INCLUDE("sensorchannel.h")
Q_MOC_INCLUDE("sensorparameters.h")
Q_MOC_INCLUDE("trafficlog.h")

// What the tool keeps of its conversation with the sensor for as long as the link lives, so
// that a page can be left and opened again without losing anything: the one command queue
// every page sends through, what has been read of the sensor's settings, the traffic, and
// the console's history, view and reply.
class SensorSession : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Each SerialPortManager owns its own")

    Q_PROPERTY(SensorChannel *channel READ channel CONSTANT)
    Q_PROPERTY(SensorParameters *parameters READ parameters CONSTANT)
    Q_PROPERTY(TrafficLog *log READ log CONSTANT)
    // The console's commands, oldest first, at most 50, each once.
    Q_PROPERTY(QStringList history READ history NOTIFY historyChanged)
    // The console's line ending: 0 CR, 1 CR LF, 2 "!", 3 hex bytes.
    Q_PROPERTY(int consoleMode READ consoleMode WRITE setConsoleMode NOTIFY consoleModeChanged)
    Q_PROPERTY(QString savePath READ savePath WRITE setSavePath NOTIFY savePathChanged)
    // What became of the console's last command.
    Q_PROPERTY(QString consoleReply READ consoleReply NOTIFY consoleReplyChanged)

public:
    explicit SensorSession(SerialPortManager *port, QObject *parent = nullptr);

    SensorChannel *channel() const { return m_channel; }
    SensorParameters *parameters() const { return m_parameters; }
    TrafficLog *log() const { return m_log; }
    QStringList history() const { return m_history; }
    int consoleMode() const { return m_consoleMode; }
    void setConsoleMode(int mode);
    QString savePath() const { return m_savePath; }
    void setSavePath(const QString &path);
    QString consoleReply() const { return m_consoleReply; }

    // Sends one console command (payload as it goes out: text with its ending, or hex
    // digits) and keeps typed, as the operator typed it, in the history.
    Q_INVOKABLE bool sendCommand(const QString &typed, const QString &payload, bool hex);

Q_SIGNALS:
    void historyChanged();
    void consoleModeChanged();
    void savePathChanged();
    void consoleReplyChanged();

private:
    void setReply(const QString &text);

    SerialPortManager *m_port;
    SensorChannel *m_channel;
    SensorParameters *m_parameters;
    TrafficLog *m_log;
    QStringList m_history;
    int m_consoleMode = 0;
    QString m_savePath;
    QString m_consoleReply;
    int m_consoleRequest = -1;
};

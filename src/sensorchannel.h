#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

#include <deque>

class QTimer;
#include "serialportmanager.h"

// Talks to the sensor while it streams weights: splits what the port brings into lines,
// passes over weight lines of every output format and line noise, and hands each reply to
// the oldest request in flight that expects it. Pages send through request() and learn
// the outcome from replied() or failed().
class SensorChannel : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(SerialPortManager *serialPort READ serialPort WRITE setSerialPort NOTIFY
                       serialPortChanged)
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout NOTIFY timeoutChanged)
    Q_PROPERTY(int pendingCount READ pendingCount NOTIFY pendingCountChanged)

public:
    explicit SensorChannel(QObject *parent = nullptr);

    SerialPortManager *serialPort() const { return m_port; }
    void setSerialPort(SerialPortManager *port);
    int timeout() const { return m_timeoutMs; }
    void setTimeout(int ms);
    int pendingCount() const { return int(m_pending.size()); }

    // Sends command (text with its terminator) and returns the request's id, or -1 when
    // nothing was sent (no port, not connected, empty command). expect says which line
    // answers it, alternatives separated by "|": "OK", "VERSION" (a version line), "SN"
    // (a serial number), a key such as "DIV" (its echo "AT+DIV=..."), or "*" (any line
    // that is not a weight). A line beginning with "ERR" answers the oldest request.
    // With hex true, command is hex digits and goes out as those bytes.
    Q_INVOKABLE int request(const QString &command, const QString &expect, bool hex = false);
    // Forgets every request in flight without a signal for them.
    Q_INVOKABLE void cancelAll();

    // True for a line (without its break) in one of the three weight output formats.
    static bool isWeightLine(const QString &line);

Q_SIGNALS:
    void serialPortChanged();
    void timeoutChanged();
    void pendingCountChanged();
    // ok is false for the sensor's error reply; text is the reply line, cleaned.
    void replied(int id, bool ok, const QString &text);
    // No reply in time ("timeout") or the connection ended ("closed").
    void failed(int id, const QString &reason);
    // Every line that is not a weight, whether it answered a request or not.
    void lineReceived(const QString &text);

private:
    struct Pending
    {
        int id;
        QStringList expect;
        qint64 deadline; // ms on m_clock
    };

    void onReceived(const QByteArray &bytes);
    void onClosed();
    void handleLine(const QByteArray &raw);
    void expire();
    void armTimer();
    static bool matches(const QStringList &expect, const QString &line);

    QPointer<SerialPortManager> m_port;
    QMetaObject::Connection m_receivedConnection;
    QMetaObject::Connection m_closedConnection;
    QMetaObject::Connection m_openedConnection;
    int m_timeoutMs = 1000;
    int m_nextId = 1;
    std::deque<Pending> m_pending;
    QByteArray m_partial; // the line still arriving
    QTimer *m_timer;
    QElapsedTimer m_clock;
};

#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtQml/qqmlregistration.h>

#include <deque>
#include <optional>

class QTimer;
#include "serialportmanager.h"

// Talks to the sensor while it streams weights, the way its firmware can follow: one command
// on the wire at a time, the others queued. A line answers only the command in flight, and
// only in a shape that answers that command (the echo of the key it asked for, an "OK" for a
// setting or an action, an "ERR" for any); weight lines and line noise are passed over.
// Pages send through request() and learn the outcome from replied() or failed().
class SensorChannel : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(SerialPortManager *serialPort READ serialPort WRITE setSerialPort NOTIFY
                       serialPortChanged)
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout NOTIFY timeoutChanged)
    Q_PROPERTY(int pendingCount READ pendingCount NOTIFY pendingCountChanged)

public:
    // Slow firmware takes up to a second for an answer; this leaves room for it.
    static constexpr int DefaultTimeoutMs = 2500;

    explicit SensorChannel(QObject *parent = nullptr);

    SerialPortManager *serialPort() const { return m_port; }
    void setSerialPort(SerialPortManager *port);
    int timeout() const { return m_timeoutMs; }
    void setTimeout(int ms);
    // Commands queued or on the wire.
    int pendingCount() const { return int(m_queue.size()) + (m_current ? 1 : 0); }

    // Queues command (text with its terminator, or with hex true hex digits that go out as
    // those bytes) and returns the request's id, or -1 when nothing will be sent (no port,
    // not connected, empty or malformed command). What answers it follows from the command.
    Q_INVOKABLE int request(const QString &command, bool hex = false);
    // Forgets every request, queued or in flight, without a signal for them.
    Q_INVOKABLE void cancelAll();
    // True while line is the newest line received and it answered a command: a reply, not a
    // reading, even where it looks like one (an all-digit serial number).
    Q_INVOKABLE bool isAnswerLine(const QString &line) const;

    // True for a line (without its break) in one of the three weight output formats.
    static bool isWeightLine(const QString &line);
    // The value of a setting echo "AT+KEY=value" for key; empty when line is no such echo.
    static QString echoValue(const QString &line, const QString &key);

Q_SIGNALS:
    void serialPortChanged();
    void timeoutChanged();
    void pendingCountChanged();
    // ok is false for the sensor's error reply; text is the reply line, cleaned.
    void replied(int id, bool ok, const QString &text);
    // "timeout": sent, no answer in time. "closed": sent, and the link ended before an
    // answer, so the sensor may have carried it out. "unsent": the link ended (or a new one
    // began) before it was sent.
    void failed(int id, const QString &reason);
    // Every line that is not a weight, whether it answered a request or not.
    void lineReceived(const QString &text);
    // A command has its outcome: one of ours (id from request(), announced just before its
    // replied() or failed()) or someone else's (id 0). command is its line, upper case and
    // without its terminator; outcome is "ok" (the sensor's OK, or the answer it asked for),
    // "refused" (the sensor's error reply), "timeout", "closed" or "unsent"; reply is the
    // line that answered it, empty for none.
    void commandSettled(int id, const QString &command, const QString &outcome,
                        const QString &reply);

private:
    enum class Kind {
        Query, // AT+KEY? (and AT+QTAR): the echo of KEY
        Identity, // AT+VERSION?: whatever line follows
        SerialNumber, // AT+SN: the same, an all-digit number too
        Setting, // AT+KEY=value: OK, or the echo of KEY
        Action, // AT, AT+ZERO, AT+TARE, AT+ZCAL: OK
        Weight, // AT+WEI: a weight line
        Any, // anything else: the first line that is not a weight
    };
    struct Request
    {
        int id;
        QString command; // what goes out
        bool hex;
        QString text; // the command line without its terminator, upper case
        Kind kind;
        QString key;
    };

    static Request classify(int id, const QString &command, bool hex, const QByteArray &bytes);
    void onReceived(const QByteArray &bytes);
    void onSent(const QByteArray &bytes);
    void onClosed();
    void handleLine(const QByteArray &raw);
    void finish(bool ok, const QString &text);
    void pump();
    void onTimer();
    void armTimer();
    bool listening() const { return m_current || m_foreignHold; }

    QPointer<SerialPortManager> m_port;
    QMetaObject::Connection m_receivedConnection;
    QMetaObject::Connection m_sentConnection;
    QMetaObject::Connection m_closedConnection;
    QMetaObject::Connection m_openedConnection;
    int m_timeoutMs = DefaultTimeoutMs;
    int m_nextId = 1;
    std::deque<Request> m_queue; // waiting for their turn
    std::optional<Request> m_current; // on the wire
    qint64 m_deadline = 0; // ms on m_clock, for m_current
    bool m_echoSeen = false; // m_current (a setting) was echoed; an OK or ERR may follow
    QString m_echoText;
    qint64 m_readyAt = 0; // the next command goes no earlier
    bool m_foreignHold = false; // someone else's command is still being answered
    qint64 m_holdUntil = 0;
    bool m_writing = false;
    QString m_answerLine; // the last line that answered a command
    bool m_answerIsNewest = false;
    QByteArray m_partial; // the line still arriving
    QTimer *m_timer;
    QElapsedTimer m_clock;

    // What a line means for one command on the wire.
    enum class Verdict {
        Pass, // not for it
        Consumed, // for it, no answer yet (the firmware repeating the command line)
        Accept,
        Refuse,
        Echo, // a setting's echo: its answer unless an OK or ERR follows
    };
    struct Foreign
    {
        Request request;
        qint64 deadline; // ms on m_clock
        bool echoSeen = false;
        QString echoText{};
    };
    static Verdict judge(const Request &r, const QString &line, bool echoSeen);
    void answerForeign(const QString &line);
    void settleForeign(const QString &outcome, const QString &reply);
    void syncHold();

    // Someone else's commands on the wire, oldest first; m_foreignHold and m_holdUntil follow
    // the oldest.
    std::deque<Foreign> m_foreign;
};

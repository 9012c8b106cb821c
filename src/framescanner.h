#pragma once

#include <QJSValue>
#include <QMetaProperty>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringView>
#include <QtQml/qqmlregistration.h>

// Finds the newest native weight frame ("ST 1.234,1,0") in received text without going
// through the script engine: it answers exactly what WeighProtocol.js's
// parseLatestWeightFromBuffer answers, and leaves the frame's parts in its properties. At full
// wire speed the display asks for every chunk, so it reads a SerialPortManager's tail itself
// rather than having the text copied into a script string.
class QJSEngine;
class SerialPortManager;

class FrameScanner : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    // The last frame found; meaningful only after a scan that returned true.
    Q_PROPERTY(QString status READ status)
    Q_PROPERTY(double weight READ weight)
    Q_PROPERTY(bool stable READ stable)
    Q_PROPERTY(bool overload READ overload)
    Q_PROPERTY(QString raw READ raw)
    // Where that frame ends in the port's received text (see receivedTextEnd); -1 after scan().
    Q_PROPERTY(double end READ end)
    // While set (a SerialPortManager), every chunk it receives is read here and its newest
    // frame written into `display` (the weight display, with its `timer` for going stale)
    // exactly as the display's own script would, so that a frame at full wire speed runs
    // no script of the display's. What is not a frame of a connected port is handed to the
    // display's script: updateWeightFromBuffer() when closed, _noFrame() when none is found.
    Q_PROPERTY(QObject *port READ port WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(QObject *display READ display WRITE setDisplay NOTIFY displayChanged)
    Q_PROPERTY(QObject *timer READ timer WRITE setTimer NOTIFY timerChanged)

public:
    explicit FrameScanner(QObject *parent = nullptr);

    QString status() const { return m_status; }
    double weight() const { return m_weight; }
    bool stable() const { return m_stable; }
    bool overload() const { return m_overload; }
    QString raw() const { return m_raw; }
    double end() const { return m_end; }

    // Whether scanPort() can read this port: a SerialPortManager.
    Q_INVOKABLE bool canScan(QObject *port) const;
    // parseLatestWeightFromBuffer(text, tailLen) for a whole-number tail length; true when it
    // finds a frame.
    Q_INVOKABLE bool scan(const QString &text, int tailLen);
    // The display's read of a port: the frame of receivedTail(65) scanned as a 64-character
    // tail, and when that holds none, of receivedTail(2049) scanned as a 2048-character one.
    Q_INVOKABLE bool scanPort(QObject *port);

    // Where the last match in text starts, or -1; sets the frame's parts when there is one.
    qsizetype scanTail(QStringView text);

    QObject *port() const;
    void setPort(QObject *port);
    QObject *display() const { return m_display; }
    void setDisplay(QObject *display);
    QObject *timer() const { return m_timer; }
    void setTimer(QObject *timer);

Q_SIGNALS:
    void portChanged();
    void displayChanged();
    void timerChanged();

private:
    void follow();
    void takeChunk();
    void showReading();
    QVariant read(int index) const { return m_props[index].read(m_display); }
    void write(int index, const QVariant &value) { m_props[index].write(m_display, value); }

    QPointer<SerialPortManager> m_port;
    QPointer<QObject> m_display;
    QPointer<QObject> m_timer;
    QMetaObject::Connection m_followed;
    // The display's properties this writes and reads, looked up once per display.
    QList<QMetaProperty> m_props;
    QMetaProperty m_timerRunning;
    QMetaProperty m_timerInterval;
    QPointer<QJSEngine> m_frameEngine;
    QJSValue m_makeFrame;

    QString m_status;
    double m_weight = 0;
    bool m_stable = false;
    bool m_overload = false;
    QString m_raw;
    double m_end = -1;
};

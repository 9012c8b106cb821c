#pragma once

#include <QObject>
#include <QString>
#include <QStringView>
#include <QtQml/qqmlregistration.h>

// Finds the newest native weight frame ("ST 1.234,1,0") in received text without going
// through the script engine: it answers exactly what WeighProtocol.js's
// parseLatestWeightFromBuffer answers, and leaves the frame's parts in its properties. At full
// wire speed the display asks for every chunk, so it reads a SerialPortManager's tail itself
// rather than having the text copied into a script string.
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

private:
    QString m_status;
    double m_weight = 0;
    bool m_stable = false;
    bool m_overload = false;
    QString m_raw;
    double m_end = -1;
};

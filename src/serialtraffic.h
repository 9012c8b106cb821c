#pragma once

#include <QByteArray>
#include <QObject>
#include <QtQml/qqmlregistration.h>

// The raw traffic of a SerialPortManager's port, for whoever wants to follow it byte for
// byte (a traffic console, a request/reply matcher). The manager owns one and announces
// through it every chunk it reads, every payload it writes and every connection it opens
// or closes, in the order they happen.
class SerialTraffic : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Each SerialPortManager owns its own")

public:
    explicit SerialTraffic(QObject *parent = nullptr);

Q_SIGNALS:
    // One chunk as the port delivered it.
    void received(const QByteArray &bytes);
    // One payload as it was handed to the port (after hex parsing), before the write.
    void sent(const QByteArray &bytes);
    void opened(const QString &portName);
    void closed();
};

#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class SerialPortManager;
class PortCatalog;

// Keeps a station's sensor connected without anyone at the screen: the remembered adapter
// wherever it is plugged in now, else the remembered port; tried again every second while
// it is absent or the link is down, as the window's automatic connection does.
class PortKeeper : public QObject
{
    Q_OBJECT

public:
    explicit PortKeeper(SerialPortManager *manager, QObject *parent = nullptr);

    // The port to keep: its name, speed, and the adapter's identity ("" for none).
    void setTarget(const QString &portName, int baudRate, const QString &identity = QString());
    QString portName() const { return m_portName; }
    // Starts keeping the port (the first attempt at once).
    void start();

private:
    void tryConnect();

    QPointer<SerialPortManager> m_manager;
    PortCatalog *m_catalog;
    QString m_portName;
    QString m_identity;
    int m_baudRate = 115200;
    bool m_saidAbsent = false; // told once that the port is missing, until it is found
    QTimer m_timer;
};

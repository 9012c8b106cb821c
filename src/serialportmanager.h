#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

#include "serialtraffic.h"

#include <functional>
#include <limits>

class QSocketNotifier;
class QTimer;
class SensorSession;
Q_MOC_INCLUDE("sensorsession.h")

// The one link to the weighing sensor: lists the serial ports, opens and closes the
// connection, sends payloads and keeps the newest received bytes as text.
class SerialPortManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QStringList portList READ portList NOTIFY portListChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY connectionChanged)
    Q_PROPERTY(bool autoReconnectSuppressed READ autoReconnectSuppressed NOTIFY
                       autoReconnectSuppressedChanged)
    Q_PROPERTY(QString receivedData READ receivedData NOTIFY receivedDataChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(SerialTraffic *traffic READ traffic CONSTANT)
    // The conversation with the sensor on this link: command queue, settings read, traffic.
    Q_PROPERTY(SensorSession *session READ session CONSTANT)
    Q_PROPERTY(QString portName READ portName NOTIFY connectionChanged)
    Q_PROPERTY(int baudRate READ baudRate NOTIFY connectionChanged)

public:
    // Lists the names of the ports present. Replaceable from C++ only, so that tests and
    // the demo can offer pseudo-terminals, which the platform enumeration never lists.
    using PortEnumerator = std::function<QStringList()>;

    static constexpr qsizetype MaxBufferSize = 4096;

    explicit SerialPortManager(QObject *parent = nullptr);
    ~SerialPortManager() override;

    QStringList portList() const { return m_portList; }
    bool isConnected() const;
    bool autoReconnectSuppressed() const { return m_autoReconnectSuppressed; }
    QString receivedData() const { return m_receivedData; }
    QString statusMessage() const { return m_statusMessage; }
    SerialTraffic *traffic() const { return m_traffic; }
    SensorSession *session() const { return m_session; }

    // The enumeration used by managers constructed from now on; an empty function
    // restores the platform's own.
    static void setDefaultPortEnumerator(PortEnumerator enumerator);
    // The enumeration of this manager; an empty function restores the platform's own.
    void setPortEnumerator(PortEnumerator enumerator);

    // The names of the ports the platform lists, in its order.
    static QStringList platformPortNames();

    static QString printableRendering(const QByteArray &bytes);
    static QString hexRendering(const QByteArray &bytes);

Q_SIGNALS:
    void autoReconnectSuppressedChanged();
    void portListChanged();
    void connectionChanged();
    void receivedDataChanged();
    void statusMessageChanged();
    void debugLog(const QString &line);

private Q_SLOTS:
    void onReadyRead();
    void onErrorOccurred(QSerialPort::SerialPortError error);

public:
    Q_INVOKABLE void refreshPorts();
    Q_INVOKABLE bool connectSerialPort(const QString &portName, int baudRate, int dataBits,
                                       int parity, int stopBits, int flowControl);
    Q_INVOKABLE void disconnectSerialPort();
    Q_INVOKABLE void clearAutoReconnectSuppressed();
    Q_INVOKABLE void sendData(const QString &data, bool hexMode);
    Q_INVOKABLE void clearReceivedData();

    // The end of what the current connection has brought, in the printable rendering and
    // whatever the remembered hex mode: at most maxChars characters of the bytes still in
    // the receive buffer that arrived in this connection after its first line break (the
    // piece before it may be the cut-off end of a line the sensor was sending as the port
    // opened). Empty while not connected.
    Q_INVOKABLE QString receivedTail(int maxChars) const;
    // Where that text ends, counted in characters of the printable rendering of every byte
    // that ever counted for a tail: it only grows, so a reader can tell whether something
    // it found in a tail arrived after what it found before.
    Q_INVOKABLE double receivedTextEnd() const { return double(m_sessionChars); }

    // The open port, named as it was given to connectSerialPort, and its baud rate; empty
    // and 0 while not connected.
    QString portName() const;
    int baudRate() const;

private:
    void setStatus(const QString &message);
    void setSuppressed(bool suppressed);
    void log(const QString &line);
    bool lineIsWanted() const;
    void appendRendered(const QByteArray &chunk, qsizetype dropped);
    void startSession();
    void endSession();

    QSerialPort *m_port;
    QStringList m_portList;
    QByteArray m_buffer;
    QString m_receivedData;
    QString m_statusMessage;
    bool m_autoReconnectSuppressed = false;
    bool m_hexMode = false;
    QTimer *m_pollTimer;
    PortEnumerator m_enumerator;
    SerialTraffic *m_traffic;
    SensorSession *m_session = nullptr;

    bool m_renderedHex = false; // the rendering m_receivedData is in
    qint64 m_totalBytes = 0; // bytes received over the manager's life
    // Absolute index of the first byte of this connection that follows its first line
    // break; NoSession while none has arrived or no connection is open.
    static constexpr qint64 NoSession = std::numeric_limits<qint64>::max();
    qint64 m_sessionFrom = NoSession;
    bool m_awaitingBreak = false;
    qint64 m_sessionChars = 0;
    QString m_openPortName;

    // A line that hung up (a pulled adapter, a far end that closed), watched through a
    // second descriptor of the open device; Unix only.
    void watchLine();
    void unwatchLine();
    void checkLine();
    bool lineHungUp() const;
    void closeOnError(const QString &why);
    QSocketNotifier *m_lineWatch = nullptr;
    int m_lineFd = -1;
};

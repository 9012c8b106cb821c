#pragma once

#include "protocol/weighgrammar.h"
#include "serialportmanager.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

// The sensor's current weight: what the newest frame of this connection says, and whether it
// is still the sensor's current reading. The window makes one next to its port manager; the
// weight display, the recorder, the sensor page and anything else that needs the weight
// bind to it.
//
// A SerialPortManager set as port is followed here: each chunk it receives is scanned for the
// newest frame of the chosen format, a connection starts afresh and a disconnection clears
// the reading. Any other port is fed by its owner (takeText, reset).
//
// A frame is fresh when it ends further on in the received text than the last one taken;
// only fresh frames keep the reading live. A reading that no fresh frame has followed for
// staleTimeoutMs is stale: still shown, no longer the current weight.
class WeightReading : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QObject *port READ port WRITE setPort NOTIFY portChanged)
    // The stored output format's index: 1 native, 2 Merovant, 3 ASCII; another value reads as 1.
    Q_PROPERTY(int format READ format WRITE setFormat NOTIFY formatChanged)
    Q_PROPERTY(int staleTimeoutMs READ staleTimeoutMs WRITE setStaleTimeoutMs NOTIFY
                       staleTimeoutMsChanged)
    // The port is a SerialPortManager, followed here.
    Q_PROPERTY(bool following READ following NOTIFY portChanged)

    // The reading, in the order each frame sets it.
    Q_PROPERTY(double weightKg READ weightKg NOTIFY weightKgChanged)
    Q_PROPERTY(bool overload READ overload NOTIFY overloadChanged)
    // Never together with overload.
    Q_PROPERTY(bool stable READ stable NOTIFY stableChanged)
    Q_PROPERTY(bool hasFrame READ hasFrame NOTIFY hasFrameChanged)
    // The frame says the weight is net (after a tare), or gross; netKnown when it says either.
    Q_PROPERTY(bool net READ net NOTIFY netChanged)
    Q_PROPERTY(bool netKnown READ netKnown NOTIFY netChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(bool stale READ stale NOTIFY staleChanged)
    // Connected, a frame of this connection, not stale.
    Q_PROPERTY(bool live READ live NOTIFY liveChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    // The frame last taken, in the shape the script's parsers give (a new one for each frame),
    // null after a reset.
    Q_PROPERTY(QVariant lastFrame READ lastFrame NOTIFY lastFrameChanged)

public:
    enum State { NotConnected, Waiting, Live, Stale };
    Q_ENUM(State)

    static constexpr int DefaultStaleTimeoutMs = 2000;

    explicit WeightReading(QObject *parent = nullptr);

    QObject *port() const { return m_port; }
    void setPort(QObject *port);
    int format() const { return m_format; }
    void setFormat(int format);
    int staleTimeoutMs() const { return m_staleTimeoutMs; }
    void setStaleTimeoutMs(int ms);
    bool following() const { return m_manager != nullptr; }

    double weightKg() const { return m_weight; }
    bool overload() const { return m_overload; }
    bool stable() const { return m_stable; }
    bool hasFrame() const { return m_hasFrame; }
    bool net() const { return m_net == 1; }
    bool netKnown() const { return m_net >= 0; }
    bool connected() const { return m_connected; }
    bool stale() const { return m_stale; }
    bool live() const { return m_connected && m_hasFrame && !m_stale; }
    State state() const;
    QVariant lastFrame() const;

    // Reads the followed manager's received text again (a manager's chunks are read without
    // being asked).
    Q_INVOKABLE void update();
    // Forgets the reading: no frame, weight 0; connected says whether a port is there to wait on.
    Q_INVOKABLE void reset(bool connected);
    // The newest frame in text, received from a connected port that is not followed;
    // textEnd is where text ends in everything the port received, or -1 when unknown.
    Q_INVOKABLE void takeText(const QString &text, double textEnd = -1);
    // A frame from elsewhere, in the script's shape (weight, stable, overload, net).
    Q_INVOKABLE void applyFrame(const QVariant &frame);
    // A weight as the operator reads it: fixed point with fractionDigits decimals in the
    // default locale; one that rounds to zero has no sign ("-0.000" is no weight at all).
    Q_INVOKABLE static QString formatWeight(double value, int fractionDigits);

Q_SIGNALS:
    void portChanged();
    void formatChanged();
    void staleTimeoutMsChanged();
    void weightKgChanged();
    void overloadChanged();
    void stableChanged();
    void hasFrameChanged();
    void netChanged();
    void connectedChanged();
    void staleChanged();
    void liveChanged();
    void stateChanged();
    void lastFrameChanged();

private:
    struct Snapshot
    {
        bool live;
        State state;
    };
    Snapshot snapshot() const { return {live(), state()}; }
    void announce(const Snapshot &before);
    void onConnection();
    void onChunk();
    void scanManager();
    // A frame found; end is where it ends in the port's received text, -1 when unknown.
    void take(const WeighGrammar::Frame &frame, double end);
    void show(const WeighGrammar::Frame &frame);
    void setConnected(bool connected);
    void setStale(bool stale);
    void armStaleTimer();
    void onStaleTimer();

    QPointer<QObject> m_port;
    QPointer<SerialPortManager> m_manager;
    QMetaObject::Connection m_chunks, m_connection;
    int m_format = WeighGrammar::Native;
    int m_staleTimeoutMs = DefaultStaleTimeoutMs;

    double m_weight = 0;
    bool m_overload = false;
    bool m_stable = false;
    bool m_hasFrame = false;
    int m_net = -1;
    bool m_connected = false;
    bool m_stale = false;
    // The frame last taken: a found one, or one applied from elsewhere (m_appliedFrame); its
    // script-shaped form is made only when someone asks for it.
    bool m_hasLastFrame = false;
    WeighGrammar::Frame m_frame;
    QVariant m_appliedFrame;
    double m_lastEnd = -1;

    QTimer m_staleTimer;
    QElapsedTimer m_clock;
    qint64 m_lastFrameAt = 0;
};

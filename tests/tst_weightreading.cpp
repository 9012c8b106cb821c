#include "ptypair.h"
#include "sensorchannel.h"
#include "sensorsession.h"
#include "serialportmanager.h"
#include "weightreading.h"

#include <QSignalSpy>
#include <QTest>

// The reading on its own, following a real manager over a real pty, as a window without a
// display (or a station without a window) would have it. Each row is a script: "< bytes" is
// one chunk from the sensor, "f n" chooses output format n, "x" disconnects, "c" connects
// again, "s" waits until the reading has gone stale, "> command" is a request through the
// link's command queue. After each step the reading is described as "weight flag state",
// the flag S stable, U unstable, O overloaded, - none, and "net"/"gross" where the frame said.
class TestWeightReading : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        SerialPortManager::setDefaultPortEnumerator([] { return QStringList(); });
    }
    void cleanup() { SerialPortManager::setDefaultPortEnumerator({}); }

    void script_data()
    {
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QStringList>("states");

        // A new format keeps the last reading; a serial number of bare digits is an answer.
        QTest::newRow("each format by its own parser, a bare serial number is no weight")
                << QByteArrayList{"< ST250,1,1\r\n", "f 2",           "< sn0001.50kg\r\n",
                                  "< wg500g\r\n",    "f 3",           "< 20.000\r\n",
                                  "> AT+SN\r",       "< 20230512\r\n"}
                << QStringList{"250 O live",       "250 O live",       "1.5 S live net",
                               "0.5 U live gross", "0.5 U live gross", "20 S live",
                               "20 S live",        "20 S live"};
        // A disconnection clears, and a connection starts afresh.
        QTest::newRow("a reply keeps no reading live, the next frame does; reconnected")
                << QByteArrayList{"< ST005.20,1,0\r\n", "s", "< OK\r\n",
                                  "< ST005.30,1,0\r\n", "x", "c"}
                << QStringList{"5.2 S live", "5.2 S stale",       "5.2 S stale",
                               "5.3 S live", "0 - not connected", "0 - waiting"};
    }
    void script()
    {
        QFETCH(QByteArrayList, steps);
        QFETCH(QStringList, states);

        PtyPair pty;
        QVERIFY(pty.isValid());
        SerialPortManager manager;
        QVERIFY(manager.connectSerialPort(pty.slavePath(), 115200, 8, 0, 1, 0));
        WeightReading reading;
        reading.setStaleTimeoutMs(150);
        reading.setPort(&manager);
        QSignalSpy chunks(manager.traffic(), &SerialTraffic::received);
        // Bytes from the sensor, taken in by the port. What comes before a connection's first
        // line break may be the end of a line already on its way: the rows start with a whole
        // line (and read no frame after a reconnection).
        const auto write = [&](const QByteArray &bytes) {
            const int before = chunks.count();
            return pty.write(bytes) && QTest::qWaitFor([&] { return chunks.count() > before; });
        };
        QVERIFY(write("\r\n"));
        QByteArray wire;
        QStringList seen;
        for (const QByteArray &step : std::as_const(steps)) {
            const QByteArray arg = step.mid(2);
            if (step.startsWith('<')) {
                QVERIFY(write(arg));
            } else if (step.startsWith('f')) {
                reading.setFormat(arg.toInt());
            } else if (step.startsWith('x')) {
                manager.disconnectSerialPort();
            } else if (step.startsWith('c')) {
                QVERIFY(manager.connectSerialPort(pty.slavePath(), 115200, 8, 0, 1, 0));
            } else if (step.startsWith('s')) {
                QTRY_VERIFY(reading.stale());
            } else if (step.startsWith('>')) {
                QVERIFY(manager.session()->channel()->request(QString::fromLatin1(arg)) > 0);
                QTRY_VERIFY((wire += pty.read(0)).endsWith(arg));
            }
            seen << describe(reading);
        }
        QCOMPARE(seen, states);
    }

private:
    static QString describe(const WeightReading &r)
    {
        static const char *stateNames[] = {"not connected", "waiting", "live", "stale"};
        const char *flag = !r.hasFrame() ? "-" : r.overload() ? "O" : r.stable() ? "S" : "U";
        const char *net = !r.netKnown() ? "" : r.net() ? " net" : " gross";
        return QStringLiteral("%1 %2 %3%4")
                .arg(r.weightKg())
                .arg(QLatin1String(flag), QLatin1String(stateNames[r.state()]), QLatin1String(net));
    }
};

QTEST_GUILESS_MAIN(TestWeightReading)
#include "tst_weightreading.moc"

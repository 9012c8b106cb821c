#include "ptypair.h"
#include "sensorchannel.h"
#include "serialportmanager.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

// Each row is a script: "> command|expect" sends a request, "< bytes" is one chunk from the
// sensor (taken in by the port before the next step), "= n" waits for n outcomes, "x"
// closes the connection. The outcomes are then compared in order.
class TestSensorChannel : public QObject
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
        QTest::addColumn<QStringList>("outcomes");
        QTest::addColumn<QByteArray>("wire");

        QTest::newRow("reply between weights of all formats")
                << QByteArrayList{"> AT+DIV?\r|DIV", "< ST005.20,1,0\r\nsn0001.", "< 23kg\r\n20.000\r",
                               "< \nAT+DIV=10\r\nST005.20,1,0\r\n"}
                << QStringList{"1 ok AT+DIV=10"} << QByteArray("AT+DIV?\r");
        QTest::newRow("reply split over three chunks")
                << QByteArrayList{"> AT+CAPA?\r|CAPA", "< ST005.20,1,0\r\nAT+CA", "< PA=2", "< 00\r\n"}
                << QStringList{"1 ok AT+CAPA=200"} << QByteArray("AT+CAPA?\r");
        QTest::newRow("noise around a reply")
                << QByteArrayList{"> AT+TARE\r|OK", "< \x80\x81\xfe\r\n", "< \xff\x01OK\x90\r\n"}
                << QStringList{"1 ok OK"} << QByteArray("AT+TARE\r");
        QTest::newRow("error reply")
                << QByteArrayList{"> AT+DIV=0\r|OK|DIV", "< ST005.20,1,0\r\nERR: invalid value\r\n"}
                << QStringList{"1 err ERR: invalid value"} << QByteArray("AT+DIV=0\r");
        QTest::newRow("two requests in flight, answered in order")
                << QByteArrayList{"> AT+VERSION?\r|VERSION", "> AT+SN\r|SN", "< V1.0.1\r\nST0",
                               "< 05.20,1,0\r\nSN102145\r\n"}
                << QStringList{"1 ok V1.0.1", "2 ok SN102145"}
                << QByteArray("AT+VERSION?\rAT+SN\r");
        QTest::newRow("a reply goes to the request that expects it")
                << QByteArrayList{"> AT+AUTO?\r|AUTO", "> AT+FILTER=2\r|OK|FILTER", "< OK\r\n",
                               "< AT+AUTO=1\r\n"}
                << QStringList{"2 ok OK", "1 ok AT+AUTO=1"}
                << QByteArray("AT+AUTO?\rAT+FILTER=2\r");
        QTest::newRow("late reply is nobody's")
                << QByteArrayList{"> AT+AUTO?\r|AUTO", "= 1", "> AT+VERSION?\r|VERSION",
                               "< AT+AUTO=1\r\n", "< V1.0.1\r\n"}
                << QStringList{"1 failed timeout", "2 ok V1.0.1"}
                << QByteArray("AT+AUTO?\rAT+VERSION?\r");
        QTest::newRow("silent sensor")
                << QByteArrayList{"> AT+DEC?\r|DEC", "< ST005.20,1,0\r\n"}
                << QStringList{"1 failed timeout"} << QByteArray("AT+DEC?\r");
        // Weight lines of every format are no replies, even to a request that takes any line.
        QTest::newRow("any line for the console, a line before the request does not count")
                << QByteArrayList{"< hello\r\nST0", "> AT+X\r|*", "< 05.20,1,0\r\nST-00000.040,1,0\r\nwg500g\r\n-20.000\r\nwhat?\r\n"}
                << QStringList{"1 ok what?"} << QByteArray("AT+X\r");
        QTest::newRow("connection lost")
                << QByteArrayList{"> AT+DEC?\r|DEC", "x"} << QStringList{"1 failed closed"}
                << QByteArray(); // the write may not have left before the close
    }
    void script()
    {
        QFETCH(QByteArrayList, steps);
        QFETCH(QStringList, outcomes);
        QFETCH(QByteArray, wire);

        PtyPair pty;
        QVERIFY(pty.isValid());
        SerialPortManager manager;
        QVERIFY(manager.connectSerialPort(pty.slavePath(), 115200, 8, 0, 1, 0));
        SensorChannel channel;
        channel.setTimeout(300);
        channel.setSerialPort(&manager);
        QStringList seen;
        connect(&channel, &SensorChannel::replied, this, [&](int id, bool ok, const QString &text) {
            seen << QStringLiteral("%1 %2 %3").arg(id).arg(ok ? "ok" : "err", text);
        });
        connect(&channel, &SensorChannel::failed, this, [&](int id, const QString &reason) {
            seen << QStringLiteral("%1 failed %2").arg(id).arg(reason);
        });
        QSignalSpy chunks(manager.traffic(), &SerialTraffic::received);

        for (const QByteArray &step : std::as_const(steps)) {
            const QByteArray arg = step.mid(2);
            if (step.startsWith('>')) {
                const qsizetype bar = arg.indexOf('|');
                QVERIFY(channel.request(QString::fromLatin1(arg.left(bar)),
                                        QString::fromLatin1(arg.mid(bar + 1)))
                        > 0);
            } else if (step.startsWith('<')) {
                const int before = chunks.count();
                QVERIFY(pty.write(arg));
                QTRY_VERIFY(chunks.count() > before);
            } else if (step.startsWith('=')) {
                QTRY_COMPARE(seen.size(), arg.toInt());
            } else {
                manager.disconnectSerialPort();
            }
        }
        QTRY_COMPARE(channel.pendingCount(), 0);
        QCOMPARE(seen, outcomes);
        if (!wire.isEmpty())
            QCOMPARE(pty.readExactly(wire.size()), wire);
    }

    void nothingIsSentWhileClosed()
    {
        SerialPortManager manager;
        SensorChannel channel;
        QCOMPARE(channel.request(QStringLiteral("AT\r"), QStringLiteral("OK")), -1);
        channel.setSerialPort(&manager);
        QCOMPARE(channel.request(QStringLiteral("AT\r"), QStringLiteral("OK")), -1);
        QCOMPARE(channel.pendingCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSensorChannel)
#include "tst_sensorchannel.moc"

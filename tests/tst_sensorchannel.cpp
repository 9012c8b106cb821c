#include "ptypair.h"
#include "sensorchannel.h"
#include "serialportmanager.h"

#include <QSignalSpy>
#include <QTest>

// Each row is a script of the link as the channel meets it: "> command" queues a request,
// "w bytes" waits until those bytes have gone out on the wire,
// "f command" is someone else's command written past the channel, "< bytes" is one chunk from
// the sensor (taken in by the port before the next step), "= n" waits for n outcomes and "x"
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

        QTest::newRow("reply between weights of all formats")
                << QByteArrayList{"> AT+DIV?\r", "w AT+DIV?\r", "< ST005.20,1,0\r\nsn0001.",
                                  "< 23kg\r\n20.000\r", "< \nAT+DIV=10\r\nST005.20,1,0\r\n"}
                << QStringList{"1 ok AT+DIV=10"};
        QTest::newRow("reply split over three chunks, noise around it")
                << QByteArrayList{"> AT+CAPA?\r",
                                  "< ST005.20,1,0\r\nAT+CA",
                                  "< PA=2",
                                  "< 00\r\n\x80\x81\xfe\r\n",
                                  "> AT+TARE\r",
                                  "w AT+CAPA?\rAT+TARE\r",
                                  "< \xff\x01OK\x90\r\n"}
                << QStringList{"1 ok AT+CAPA=200", "2 ok OK"};
        QTest::newRow("one command on the wire at a time, each answered by its own shape")
                << QByteArrayList{"> AT+AUTO?\r",    "> AT+FILTER=2\r",   "w AT+AUTO?\r",
                                  "< OK\r\n",        "< AT+FILTER=2\r\n", "< AT+AUTO=1\r\n",
                                  "w AT+FILTER=2\r", "< OK\r\n"}
                << QStringList{"1 ok AT+AUTO=1", "2 ok OK"};
        QTest::newRow("a late answer is nobody's")
                << QByteArrayList{"> AT+AUTO?\r",          "= 1",
                                  "> AT+VERSION?\r",       "w AT+AUTO?\rAT+VERSION?\r",
                                  "< AT+AUTO=1\r\nOK\r\n", "< V1.2.0,2023-05-12\r\n"}
                << QStringList{"1 failed timeout", "2 ok V1.2.0,2023-05-12"};
        QTest::newRow("identity answers by the command they answer")
                << QByteArrayList{"> AT+SN\r", "w AT+SN\r", "< AT+SN\r\n3.000\r\n", "< 20230512\r"}
                << QStringList{"1 ok 20230512"};
        QTest::newRow("refusals, with the command echoed first")
                << QByteArrayList{"> AT+CAPA=100\r",
                                  "w AT+CAPA=100\r",
                                  "< AT+CAPA=100\r\nST005.20,1,0\r\n",
                                  "< ERROR\r\n",
                                  "> AT+DIV=0\r",
                                  "w AT+DIV=0\r",
                                  "< ERR: invalid value\r\n"}
                << QStringList{"1 err ERROR", "2 err ERR: invalid value"};
        QTest::newRow("any line for a command of no known shape, not one from before it")
                << QByteArrayList{"< hello\r\nST0", "> AT+X\r", "w AT+X\r",
                                  "< 05.20,1,0\r\nAT+X\r\nwg500g\r\n-20.000\r\nwhat?\r\n"}
                << QStringList{"1 ok what?"};
        // Firmware that takes one command at a time would drop ours while it answers another.
        QTest::newRow("someone else's command holds the queue until it is answered")
                << QByteArrayList{"f AT+TARE\r",     "> AT+DIV?\r", "w AT+TARE\r",
                                  "< AT+DIV=10\r\n", "< OK\r\n",    "w AT+DIV?\r"}
                << QStringList{"1 failed timeout"};
        QTest::newRow("connection lost") << QByteArrayList{"> AT+DEC?\r", "> AT+DIV?\r", "x"}
                                         << QStringList{"1 failed closed", "2 failed unsent"};
    }
    void script()
    {
        QFETCH(QByteArrayList, steps);
        QFETCH(QStringList, outcomes);

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
        QByteArray wire;

        for (const QByteArray &step : std::as_const(steps)) {
            const QByteArray arg = step.mid(2);
            if (step.startsWith('>')) {
                QVERIFY(channel.request(QString::fromLatin1(arg)) > 0);
            } else if (step.startsWith('w')) {
                QTRY_VERIFY((wire += pty.read(0)).size() >= arg.size());
                QCOMPARE(wire.left(arg.size()), arg);
                wire.remove(0, arg.size());
            } else if (step.startsWith('f')) {
                manager.sendData(QString::fromLatin1(arg), false);
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
    }
};

QTEST_GUILESS_MAIN(TestSensorChannel)
#include "tst_sensorchannel.moc"

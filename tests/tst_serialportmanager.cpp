#include "ptypair.h"
#include "serialportmanager.h"
#include "serialtraffic.h"

#include <QLoggingCategory>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// Records the manager's own signals by name, in the order they are emitted.
class SignalLog
{
public:
    explicit SignalLog(SerialPortManager *m)
    {
        const auto add = [this](const char *name) {
            return [this, name] { names << QLatin1String(name); };
        };
        QObject::connect(m, &SerialPortManager::autoReconnectSuppressedChanged, m,
                         add("suppressed"));
        QObject::connect(m, &SerialPortManager::portListChanged, m, add("portList"));
        QObject::connect(m, &SerialPortManager::connectionChanged, m, add("connection"));
        QObject::connect(m, &SerialPortManager::receivedDataChanged, m, add("received"));
        QObject::connect(m, &SerialPortManager::statusMessageChanged, m, add("status"));
    }
    QStringList take() { return std::exchange(names, {}); }
    QStringList names;
};

const QString missingPort = QStringLiteral("/dev/pelora-no-such-port");

} // namespace

class TestSerialPortManager : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<SerialPortManager> manager;
    QByteArray sensorSide; // what the sensor side has read so far

    bool open() { return manager->connectSerialPort(pty->slavePath(), 115200, 8, 0, 1, 0); }
    // Lets the event loop send pending bytes and collects them on the sensor side.
    QByteArray sensorReads(qsizetype count)
    {
        // A short read shows in the comparison that follows.
        (void)QTest::qWaitFor([&] { return (sensorSide += pty->read()).size() >= count; }, 5000);
        return std::exchange(sensorSide, {});
    }
    // Bytes written by the sensor that the manager has taken in, whole.
    bool waitReceived(const QString &tail)
    {
        return QTest::qWaitFor([&] { return manager->receivedData().endsWith(tail); }, 5000);
    }

private Q_SLOTS:
    void init()
    {
        SerialPortManager::setDefaultPortEnumerator([] { return QStringList(); });
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        manager = std::make_unique<SerialPortManager>();
        sensorSide.clear();
    }
    void cleanup()
    {
        manager.reset();
        pty.reset();
        SerialPortManager::setDefaultPortEnumerator({});
    }

    // Documents and tools address the manager through its meta-object: what it offers
    // keeps its place, and anything added comes after it.
    void metaObjectKeepsItsOrder()
    {
        const QMetaObject &mo = SerialPortManager::staticMetaObject;
        QStringList methods;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            methods << QString::fromLatin1(mo.method(i).methodSignature());
        const QStringList expected = {
                "autoReconnectSuppressedChanged()", "portListChanged()", "connectionChanged()",
                "receivedDataChanged()", "statusMessageChanged()", "debugLog(QString)",
                "onReadyRead()", "onErrorOccurred(QSerialPort::SerialPortError)",
                "refreshPorts()", "connectSerialPort(QString,int,int,int,int,int)",
                "disconnectSerialPort()", "clearAutoReconnectSuppressed()",
                "sendData(QString,bool)", "clearReceivedData()"};
        QCOMPARE(methods.mid(0, expected.size()), expected);
        QStringList properties;
        for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i)
            properties << QString::fromLatin1(mo.property(i).name());
        QCOMPARE(properties.mid(0, 5),
                 QStringList({"portList", "isConnected", "autoReconnectSuppressed",
                              "receivedData", "statusMessage"}));
    }

    void portListFollowsTheEnumeration()
    {
        SerialPortManager::setDefaultPortEnumerator([] { return QStringList{"COM7"}; });
        QCOMPARE(SerialPortManager().portList(), QStringList{"COM7"}); // taken at construction
        QStringList present;
        manager->setPortEnumerator([&present] { return present; });
        QSignalSpy changed(manager.get(), &SerialPortManager::portListChanged);
        // Each list in turn and whether it is a change: the same names in a new order are one.
        const QList<std::pair<QStringList, int>> steps{
                {{}, 0}, {{"ttyUSB0"}, 1}, {{"ttyUSB0", "ttyUSB1"}, 1}, {{"ttyUSB0", "ttyUSB1"}, 0},
                {{"ttyUSB1", "ttyUSB0"}, 1}, {{"ttyUSB0"}, 1}};
        int count = 0;
        for (const auto &[list, change] : steps) {
            present = list;
            manager->refreshPorts();
            QCOMPARE(changed.count(), count += change);
            QCOMPARE(manager->portList(), list);
        }
        present = {pty->slavePath()};
        QVERIFY(changed.wait(3000)); // the 2-second poll, not a call of ours
        QCOMPARE(manager->portList(), present);
    }

    // The connection's states: from each, what an action announces, in order, and leaves.
    void transitions_data()
    {
        QTest::addColumn<QString>("from"); // closed, open, or suppressed (a manual disconnect)
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("announced");
        QTest::addColumn<QString>("status"); // what the message starts with
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("suppressed");
        const QString failed = QStringLiteral("连接失败: ");
        const QString closed = QStringLiteral("串口已断开");
        QTest::newRow("closed, open") << "closed" << "open" << QStringList{"status", "connection"}
                                      << "已连接到 " << true << false;
        // Connecting to the open port closes and reopens it and reports it again.
        QTest::newRow("open, open") << "open" << "open" << QStringList{"status", "connection"}
                                    << "已连接到 " << true << false;
        QTest::newRow("suppressed, open") << "suppressed" << "open"
                                          << QStringList{"suppressed", "status", "connection"}
                                          << "已连接到 " << true << false;
        // A connect lifts the suppression even when it fails.
        QTest::newRow("suppressed, missing port") << "suppressed" << "missing"
                                                  << QStringList{"suppressed", "status", "status"}
                                                  << failed << false << false;
        QTest::newRow("open, missing port") << "open" << "missing"
                                            << QStringList{"status", "status", "connection"}
                                            << failed << false << false;
        QTest::newRow("suppressed, baud 0") << "suppressed" << "baud0"
                                            << QStringList{"suppressed", "status", "status"}
                                            << failed << false << false;
        QTest::newRow("open, disconnect") << "open" << "disconnect"
                                          << QStringList{"suppressed", "status", "connection"}
                                          << closed << false << true;
        QTest::newRow("closed, disconnect") << "closed" << "disconnect" << QStringList{"suppressed"}
                                            << "" << false << true;
        QTest::newRow("suppressed, disconnect") << "suppressed" << "disconnect" << QStringList()
                                                << "" << false << true;
        QTest::newRow("suppressed, clear") << "suppressed" << "clear" << QStringList{"suppressed"}
                                           << "" << false << false;
        QTest::newRow("closed, clear") << "closed" << "clear" << QStringList() << "" << false << false;
    }

    void transitions()
    {
        QFETCH(QString, from);
        QFETCH(QString, action);
        QFETCH(QStringList, announced);
        QFETCH(QString, status);
        QFETCH(bool, connected);
        QFETCH(bool, suppressed);
        if (from == u"open")
            QVERIFY(open());
        else if (from == u"suppressed")
            manager->disconnectSerialPort();
        SignalLog log(manager.get());
        if (action == u"open")
            QVERIFY(open());
        else if (action == u"disconnect")
            manager->disconnectSerialPort();
        else if (action == u"clear")
            manager->clearAutoReconnectSuppressed();
        else
            QVERIFY(!manager->connectSerialPort(action == u"baud0" ? pty->slavePath() : missingPort,
                                                action == u"baud0" ? 0 : 115200, 8, 0, 1, 0));
        QCOMPARE(log.take(), announced);
        const QString shown = manager->statusMessage();
        QVERIFY2(status.isEmpty() ? shown.isEmpty() : shown.startsWith(status), qPrintable(shown));
        if (connected)
            QCOMPARE(shown, status + pty->slavePath());
        else if (status.endsWith(u' '))
            QVERIFY(shown.size() > status.size()); // and says why
        QCOMPARE(manager->isConnected(), connected);
        QCOMPARE(manager->autoReconnectSuppressed(), suppressed);
        manager->refreshPorts(); // the port is independent of the list
        QCOMPARE(manager->isConnected(), connected);
    }

    void adapterPulledWhileOpen()
    {
        QVERIFY(open());
        SignalLog log(manager.get());
        QSignalSpy connection(manager.get(), &SerialPortManager::connectionChanged);
        // Whoever waits on the link (a reply, a half-read line) hears that it ended.
        QSignalSpy closed(manager->traffic(), &SerialTraffic::closed);
        pty->closeMaster();
        QVERIFY(connection.wait());
        QVERIFY(!manager->isConnected());
        QCOMPARE(closed.count(), 1);
        QVERIFY(manager->statusMessage().startsWith(QStringLiteral("串口错误: ")));
        QVERIFY(!manager->autoReconnectSuppressed());
        const QStringList signalsSeen = log.take();
        QCOMPARE(signalsSeen.count(QStringLiteral("connection")), 1);
        QCOMPARE(signalsSeen.last(), QStringLiteral("connection"));
        QVERIFY(!signalsSeen.contains(QStringLiteral("suppressed")));
    }

    void receivesInPrintableRendering()
    {
        QVERIFY(open());
        QSignalSpy debug(manager.get(), &SerialPortManager::debugLog);
        const QByteArray frame("ST005.20,1,0\r\n");
        QTest::ignoreMessage(QtDebugMsg, "[SerialPort RX] TEXT ST005.20,1,0\\r\\n");
        QVERIFY(pty->write(frame));
        QVERIFY(waitReceived(QStringLiteral("\r\n")));
        QCOMPARE(manager->receivedData(), QString::fromLatin1(frame));
        QCOMPARE(debug.count(), 1);
        QCOMPARE(debug.at(0).at(0).toString(),
                 QStringLiteral("[SerialPort RX] TEXT ST005.20,1,0\\r\\n"));

        // Bytes outside printable ASCII are bracketed; tab, CR and LF are kept.
        QTest::ignoreMessage(QtDebugMsg, "[SerialPort RX] TEXT a\\tb[00][1B][E4][FF][7F]\\r");
        QVERIFY(pty->write(QByteArray("a\tb\x00\x1b\xe4\xff\x7f\r", 9)));
        QVERIFY(waitReceived(QStringLiteral("[7F]\r")));
        QCOMPARE(manager->receivedData(),
                 QString::fromLatin1(frame) + QStringLiteral("a\tb[00][1B][E4][FF][7F]\r"));
    }

    // receivedData is kept up chunk by chunk; whatever the chunks and the switches of the
    // hex mode, it must read as the rendering of the whole newest 4096 bytes.
    void renderingFollowsEveryChunk()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        const auto restore = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
        QSignalSpy changed(manager.get(), &SerialPortManager::receivedDataChanged);
        manager->clearReceivedData(); // announced even when there is nothing to clear
        QCOMPARE(changed.count(), 1);
        QCOMPARE(SerialPortManager::MaxBufferSize, qsizetype(4096));
        QVERIFY(open());
        QByteArray all;
        qint64 arrived = 0;
        connect(manager->traffic(), &SerialTraffic::received, manager.get(),
                [&arrived](const QByteArray &bytes) { arrived += bytes.size(); });
        QRandomGenerator random(7);
        bool hex = false;
        for (int round = 0; round < 60; ++round) {
            if (random.bounded(5) == 0) {
                hex = !hex;
                manager->sendData(QString(), hex);
                (void)pty->read(0);
            }
            QByteArray chunk(1 + random.bounded(round % 10 == 9 ? 5000 : 600), Qt::Uninitialized);
            for (char &c : chunk)
                c = char(random.bounded(3) == 0 ? random.bounded(256) : 'a' + random.bounded(26));
            all += chunk;
            QVERIFY(pty->write(chunk));
            QTRY_COMPARE(arrived, qint64(all.size()));
            const QByteArray kept = all.right(SerialPortManager::MaxBufferSize);
            QCOMPARE(manager->receivedData(),
                     hex ? SerialPortManager::hexRendering(kept)
                         : SerialPortManager::printableRendering(kept));
        }
    }

    // The tail holds this connection's bytes after its first line break, in the printable
    // rendering even in hex mode, and nothing while closed.
    void tailHoldsOnlyThisConnection()
    {
        QVERIFY(open());
        const auto tailAfter = [this](const QByteArray &bytes, const QString &end) {
            if (!pty->write(bytes) || !waitReceived(end))
                return QStringLiteral("<not received>");
            return manager->receivedTail(2049);
        };
        QCOMPARE(tailAfter("5.250", QStringLiteral("5.250")), QString());
        const double before = manager->receivedTextEnd();
        QCOMPARE(tailAfter("\r\n15.250\r\n", QStringLiteral("15.250\r\n")),
                 QStringLiteral("\n15.250\r\n"));
        QCOMPARE(manager->receivedTextEnd(), before + 9);
        QCOMPARE(manager->receivedTail(4), QStringLiteral("50\r\n"));
        manager->sendData(QStringLiteral("00"), true); // hex mode from now on
        QCOMPARE(tailAfter("\xff\r\n", QStringLiteral("FF 0D 0A")),
                 QStringLiteral("\n15.250\r\n[FF]\r\n"));
        QCOMPARE(manager->receivedTail(5), QStringLiteral("FF]\r\n"));

        manager->disconnectSerialPort();
        QCOMPARE(manager->receivedTail(2049), QString());
        QVERIFY(open());
        QCOMPARE(manager->receivedTail(2049), QString()); // the old bytes are not this connection's
        QCOMPARE(tailAfter("20.000\r\n1", QStringLiteral("0A 31")), QStringLiteral("\n1"));
        QVERIFY(manager->receivedTextEnd() > before + 9);
    }

    void sendsTextByteForByte()
    {
        QVERIFY(open());
        QSignalSpy debug(manager.get(), &SerialPortManager::debugLog);
        QTest::ignoreMessage(QtDebugMsg, "[SerialPort TX] TEXT AT+TARE\r");
        manager->sendData(QStringLiteral("AT+TARE\r"), false);
        QCOMPARE(manager->statusMessage(), QStringLiteral("已发送 8 字节"));
        QCOMPARE(sensorReads(8), QByteArray("AT+TARE\r"));
        QCOMPARE(debug.at(0).at(0).toString(), QStringLiteral("[SerialPort TX] TEXT AT+TARE\r"));

        // UTF-8 goes out as it is; written backslash sequences are doubled in the log only.
        const QString text = QStringLiteral("称重\\r\\n\\t!");
        QTest::ignoreMessage(QtDebugMsg, "[SerialPort TX] TEXT 称重\\\\r\\\\n\\\\t!");
        manager->sendData(text, false);
        QCOMPARE(sensorReads(text.toUtf8().size()), text.toUtf8());
        QCOMPARE(manager->statusMessage(),
                 QStringLiteral("已发送 %1 字节").arg(text.toUtf8().size()));

        // A NUL goes out, and the debug output carries the whole line as debugLog does.
        static QStringList messages;
        messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
                [](QtMsgType, const QMessageLogContext &, const QString &message) { messages.append(message); });
        const QString withNul = QStringLiteral("A") + QChar(0) + QStringLiteral("B\r");
        manager->sendData(withNul, false);
        qInstallMessageHandler(previous);
        QCOMPARE(sensorReads(4), QByteArray("A\0B\r", 4));
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.constFirst(), debug.constLast().at(0).toString());
        QVERIFY(messages.constFirst().endsWith(QStringLiteral("B\r")));
    }

    void sendsHex()
    {
        QVERIFY(open());
        QTest::ignoreMessage(QtDebugMsg, "[SerialPort TX] HEX 41 54 0D");
        manager->sendData(QStringLiteral(" 41 54 0d "), true);
        QCOMPARE(manager->statusMessage(), QStringLiteral("已发送 3 字节"));
        QCOMPARE(sensorReads(3), QByteArray("AT\r"));

        QTest::ignoreMessage(QtDebugMsg, "[SerialPort TX] HEX AB CD EF");
        manager->sendData(QStringLiteral("aBcD Ef"), true);
        QCOMPARE(sensorReads(3), QByteArray("\xab\xcd\xef"));

        // An empty payload is no error: logged and written as nothing.
        QTest::ignoreMessage(QtDebugMsg, "[SerialPort TX] HEX ");
        manager->sendData(QStringLiteral("   "), true);
        QCOMPARE(manager->statusMessage(), QStringLiteral("已发送 0 字节"));

        // Received bytes now render as hex, the whole buffer included.
        QTest::ignoreMessage(QtDebugMsg, "[SerialPort RX] HEX 4F 4B 0D 0A");
        QVERIFY(pty->write("OK\r\n"));
        QVERIFY(waitReceived(QStringLiteral("4F 4B 0D 0A")));
        QCOMPARE(manager->receivedData(), QStringLiteral("4F 4B 0D 0A"));
    }

    void rejectsMalformedHex_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("message");
        const QString odd = QStringLiteral("十六进制数据长度必须为偶数");
        const QString bad = QStringLiteral("十六进制数据格式错误");
        QTest::newRow("odd") << "415" << odd;
        QTest::newRow("odd after spaces") << "41 5" << odd;
        QTest::newRow("not a digit") << "4G" << bad;
        QTest::newRow("bad pair after good ones") << "4154zz" << bad;
        QTest::newRow("minus sign") << "-1" << bad;
        QTest::newRow("plus sign") << "+F" << bad;
        QTest::newRow("tab inside") << "41\t5" << bad;
        QTest::newRow("prefix") << "0x41" << bad;
    }

    void rejectsMalformedHex()
    {
        QFETCH(QString, payload);
        QFETCH(QString, message);
        QVERIFY(open());
        QSignalSpy debug(manager.get(), &SerialPortManager::debugLog);
        manager->sendData(payload, true);
        QCOMPARE(manager->statusMessage(), message);
        QCOMPARE(debug.count(), 0);

        // Nothing went out: the next good payload is all the sensor sees.
        manager->sendData(QStringLiteral("21"), true);
        QCOMPARE(sensorReads(1), QByteArray("!"));

        // The rejected payload still switched received bytes to the hex rendering.
        manager->sendData(payload, true);
        QVERIFY(pty->write("A"));
        QVERIFY(waitReceived(QStringLiteral("41")));
        QCOMPARE(manager->receivedData(), QStringLiteral("41"));
    }

    void sendingWhileClosedChangesNothingElse()
    {
        QSignalSpy debug(manager.get(), &SerialPortManager::debugLog);
        SignalLog log(manager.get());
        manager->sendData(QStringLiteral("41"), true);
        QCOMPARE(manager->statusMessage(), QStringLiteral("串口未连接"));
        QCOMPARE(log.take(), QStringList({"status"}));
        QCOMPARE(debug.count(), 0);

        // The hex mode was not taken over: text still renders as text.
        QVERIFY(open());
        QVERIFY(pty->write("OK\r"));
        QVERIFY(waitReceived(QStringLiteral("OK\r")));
        QCOMPARE(manager->receivedData(), QStringLiteral("OK\r"));
    }
};

QTEST_GUILESS_MAIN(TestSerialPortManager)
#include "tst_serialportmanager.moc"

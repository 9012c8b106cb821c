#include "ptypair.h"
#include "serialportmanager.h"
#include "serialtraffic.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
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
    int ownDescriptors = 0; // the pair's own descriptors of the device

    bool open() { return manager->connectSerialPort(pty->slavePath(), 115200, 8, 0, 1, 0); }
    // Descriptors of the device this process holds; one gone with its adapter reads as
    // "<path> (deleted)".
    int heldDescriptors() const
    {
        const QDir fds(QStringLiteral("/proc/self/fd"));
        int count = 0;
        for (const QString &name : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            const QString target = QFile::symLinkTarget(fds.filePath(name));
            count += target == pty->slavePath()
                    || target == pty->slavePath() + QStringLiteral(" (deleted)");
        }
        return count;
    }

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void init()
    {
        SerialPortManager::setDefaultPortEnumerator([] { return QStringList(); });
        pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        ownDescriptors = heldDescriptors();
        manager = std::make_unique<SerialPortManager>();
    }
    // However a connection ended (or the manager went while connected), no descriptor of the
    // device stays open behind it: one left over would keep the adapter busy for whoever
    // opens it next.
    void cleanup()
    {
        manager.reset();
        QCOMPARE(heldDescriptors(), ownDescriptors);
        pty.reset();
        SerialPortManager::setDefaultPortEnumerator({});
    }

    // Members keep their places: callers that reach them by index go on finding them.
    void metaObjectKeepsItsOrder()
    {
        const QMetaObject &mo = SerialPortManager::staticMetaObject;
        QStringList methods, properties;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            methods << QString::fromLatin1(mo.method(i).methodSignature());
        for (int i = mo.propertyOffset(); i < mo.propertyCount(); ++i)
            properties << QString::fromLatin1(mo.property(i).name());
        const QString expected = QStringLiteral(
                "autoReconnectSuppressedChanged() portListChanged() connectionChanged() "
                "receivedDataChanged() statusMessageChanged() debugLog(QString) onReadyRead() "
                "onErrorOccurred(QSerialPort::SerialPortError) refreshPorts() "
                "connectSerialPort(QString,int,int,int,int,int) disconnectSerialPort() "
                "clearAutoReconnectSuppressed() sendData(QString,bool) clearReceivedData()");
        QVERIFY2(methods.join(u' ').startsWith(expected), qPrintable(methods.join(u' ')));
        QVERIFY2(
                properties.join(u' ').startsWith(QStringLiteral(
                        "portList isConnected autoReconnectSuppressed receivedData statusMessage")),
                qPrintable(properties.join(u' ')));
    }

    void portListFollowsTheEnumeration()
    {
        SerialPortManager::setDefaultPortEnumerator([] { return QStringList{"COM7"}; });
        QCOMPARE(SerialPortManager().portList(), QStringList{"COM7"}); // taken at construction
        QStringList present;
        manager->setPortEnumerator([&present] { return present; });
        QSignalSpy changed(manager.get(), &SerialPortManager::portListChanged);
        // Each list in turn and whether it is a change: the same names in a new order are one.
        const QList<std::pair<QStringList, int>> steps{{{}, 0},
                                                       {{"ttyUSB0"}, 1},
                                                       {{"ttyUSB0", "ttyUSB1"}, 1},
                                                       {{"ttyUSB0", "ttyUSB1"}, 0},
                                                       {{"ttyUSB1", "ttyUSB0"}, 1},
                                                       {{"ttyUSB0"}, 1}};
        int count = 0;
        for (const auto &[list, change] : steps) {
            present = list;
            manager->refreshPorts();
            QCOMPARE(changed.count(), count += change);
            QCOMPARE(manager->portList(), list);
        }
        for (const QStringList &polled : {QStringList{pty->slavePath()}, QStringList()}) {
            present = polled;
            QVERIFY(changed.wait(3000)); // the 2-second poll, not a call of ours, every time
            QCOMPARE(manager->portList(), polled);
        }
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
        const auto row = [](const char *from, const char *action, const QStringList &announced,
                            const char *status, bool connected, bool suppressed) {
            QTest::addRow("%s, %s", from, action)
                    << QString::fromLatin1(from) << QString::fromLatin1(action) << announced
                    << QString::fromUtf8(status) << connected << suppressed;
        };
        row("closed", "open", {"status", "connection"}, "已连接到 ", true, false);
        // Connecting to the open port closes and reopens it and reports it again.
        row("open", "open", {"status", "connection"}, "已连接到 ", true, false);
        row("suppressed", "open", {"suppressed", "status", "connection"}, "已连接到 ", true, false);
        // A connect lifts the suppression even when it fails.
        row("suppressed", "missing", {"suppressed", "status", "status"}, "连接失败: ", false,
            false);
        row("open", "missing", {"status", "status", "connection"}, "连接失败: ", false, false);
        row("suppressed", "baud0", {"suppressed", "status", "status"}, "连接失败: ", false, false);
        row("open", "disconnect", {"suppressed", "status", "connection"}, "串口已断开", false,
            true);
        row("closed", "disconnect", {"suppressed"}, "", false, true);
        row("suppressed", "disconnect", {}, "", false, true);
        row("suppressed", "clear", {"suppressed"}, "", false, false);
        row("closed", "clear", {}, "", false, false);
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
        QCOMPARE(log.names, announced);
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
        QVERIFY(heldDescriptors() > ownDescriptors); // which cleanup() sees given back
        SignalLog log(manager.get());
        QSignalSpy connection(manager.get(), &SerialPortManager::connectionChanged);
        // Whoever waits on the link (a reply, a half-read line) hears that it ended.
        QSignalSpy closed(manager->traffic(), &SerialTraffic::closed);
        pty->closeMaster();
        QVERIFY(connection.wait());
        QVERIFY(!manager->isConnected());
        QCOMPARE(closed.count(), 1);
        // A port error, with the port's own words where it reports the hang-up (Qt 6.4), and
        // "设备已断开" where only the watch notices it (later Qt).
        QCOMPARE(manager->statusMessage().left(6), QStringLiteral("串口错误: "));
        QVERIFY(!manager->autoReconnectSuppressed());
        QCOMPARE(log.names.count(QStringLiteral("connection")), 1);
        QCOMPARE(log.names.last(), QStringLiteral("connection"));
        QVERIFY(!log.names.contains(QStringLiteral("suppressed")));
    }

    // receivedData is kept up chunk by chunk; whatever the chunks and the switches of the
    // hex mode, it must read as the rendering of the whole newest 4096 bytes.
    void renderingFollowsEveryChunk()
    {
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
            }
            QByteArray chunk(1 + random.bounded(round % 10 == 9 ? 5000 : 600), Qt::Uninitialized);
            for (char &c : chunk)
                c = char(random.bounded(3) == 0 ? random.bounded(256) : 'a' + random.bounded(26));
            all += chunk;
            QVERIFY(pty->write(chunk));
            QTRY_COMPARE(arrived, qint64(all.size()));
            const QByteArray kept = all.right(4096);
            QCOMPARE(manager->receivedData(),
                     hex ? SerialPortManager::hexRendering(kept)
                         : SerialPortManager::printableRendering(kept));
        }
    }

    // What goes out and what the status says, and how received bytes render afterwards: in
    // text, bytes outside printable ASCII are bracketed, tab, CR and LF kept.
    void send_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<bool>("hex");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("status");
        const QString text = QStringLiteral("称重\\r\\n\\t!");
        const QString odd = QStringLiteral("十六进制数据长度必须为偶数");
        const QString bad = QStringLiteral("十六进制数据格式错误");
        QTest::newRow("text") << "AT+TARE\r" << false << QByteArray("AT+TARE\r") << "已发送 8 字节";
        // UTF-8 goes out as it is, written backslash sequences too.
        QTest::newRow("utf-8") << text << false << text.toUtf8() << "已发送 13 字节";
        QTest::newRow("NUL") << QStringLiteral("A") + QChar(0) + QStringLiteral("B\r") << false
                             << QByteArray("A\0B\r", 4) << "已发送 4 字节";
        QTest::newRow("hex") << " 41 54 0d " << true << QByteArray("AT\r") << "已发送 3 字节";
        QTest::newRow("hex, mixed case")
                << "aBcD Ef" << true << QByteArray("\xab\xcd\xef") << "已发送 3 字节";
        QTest::newRow("hex, empty") << "   " << true << QByteArray() << "已发送 0 字节";
        // Refused: nothing goes out, but the hex mode is taken over.
        const QList<std::pair<const char *, QString>> refused{
                {"415", odd}, {"41 5", odd}, {"4G", bad},    {"4154zz", bad},
                {"-1", bad},  {"+F", bad},   {"41\t5", bad}, {"0x41", bad}};
        for (const auto &[payload, message] : refused)
            QTest::newRow(payload) << payload << true << QByteArray() << message;
        QTest::newRow("closed") << "41" << true << QByteArray() << "串口未连接";
    }

    void send()
    {
        QFETCH(QString, payload);
        QFETCH(bool, hex);
        QFETCH(QByteArray, wire);
        QFETCH(QString, status);
        const bool closed = status == u"串口未连接";
        if (!closed)
            QVERIFY(open());
        SignalLog signalLog(manager.get());
        manager->sendData(payload, hex);
        QCOMPARE(manager->statusMessage(), status);
        if (closed) {
            QCOMPARE(signalLog.names, QStringList{"status"}); // and the hex mode is not taken over
            QVERIFY(open());
        }

        QVERIFY(pty->write(QByteArray("O\tK\x00\x1b\xe4\xff\x7f\r\n", 10)));
        QTRY_COMPARE(manager->receivedData(),
                     hex && !closed ? QStringLiteral("4F 09 4B 00 1B E4 FF 7F 0D 0A")
                                    : QStringLiteral("O\tK[00][1B][E4][FF][7F]\r\n"));
        // Nothing else went out: a good payload next is all that follows on the wire.
        manager->sendData(QStringLiteral("21"), true);
        QByteArray sensorSide;
        QTRY_COMPARE(sensorSide += pty->read(), wire + '!');
    }
};

QTEST_GUILESS_MAIN(TestSerialPortManager)
#include "tst_serialportmanager.moc"

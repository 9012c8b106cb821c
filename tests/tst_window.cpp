// The whole tool as an operator meets it: the real window and module, a simulated sensor
// at the far end of a real pseudo-terminal, and the settings in a scratch folder.

#include "portcatalog.h"
#include "ptypair.h"
#include "recordlistmodel.h"
#include "recordstore.h"
#include "sensorparameters.h"
#include "sensorsession.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "serialtraffic.h"
#include "startup.h"
#include "testsupport.h"
#include "weightreading.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestWindow : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch; // also the application-data folder
    TestSupport::Rig r;
    // Everything the window does from its first moment on, recorded before the event loop runs.
    std::unique_ptr<QSignalSpy> m_ticks;
    QStringList m_messages;

    bool start()
    {
        const bool loaded = r.load([this](QObject *root) {
            auto *manager = root->findChild<SerialPortManager *>();
            auto *timer = root->findChild<QObject *>(QStringLiteral("autoReconnectTimer"));
            if (!manager || !timer)
                return;
            m_ticks = std::make_unique<QSignalSpy>(timer, SIGNAL(triggered()));
            connect(manager, &SerialPortManager::statusMessageChanged, this,
                    [this, manager] { m_messages << manager->statusMessage(); });
        });
        return loaded && m_ticks;
    }
    QObject *timer() const { return r.object("autoReconnectTimer"); }
    // Writes a setting (a script literal) as a document does, through the store, so that
    // everything hears it.
    void store(const char *key, const QString &value)
    {
        r.js(QStringLiteral("SettingsStore.setValue('%1', %2)").arg(QLatin1String(key), value));
    }
    QString weightText() const { return r.text("weightText"); }
    static QString kg(double value) { return QLocale().toString(value, 'f', 3); }

    // Whether the item shows any pixel of exactly this colour (the inside of big glyphs).
    bool showsColour(QQuickItem *item, const QColor &colour) const
    {
        const QImage frame = r.window->grabWindow();
        const qreal dpr = frame.devicePixelRatio();
        const QRectF s = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        const QRect area = QRectF(s.topLeft() * dpr, s.size() * dpr).toRect();
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (frame.pixelColor(x, y) == colour)
                    return true;
            }
        }
        return false;
    }
    int failures() const
    {
        return int(std::count_if(m_messages.begin(), m_messages.end(), [](const QString &m) {
            return m.startsWith(QStringLiteral("连接失败: "));
        }));
    }

    // Weighing records, oldest first, and time for the sensor to send this many more readings.
    QList<double> weights(RecordStore *store) const
    {
        QList<double> out;
        if (!TestSupport::drain(store))
            return {-1};
        for (const QVariant &record : TestSupport::storedRecords(store->databasePath()))
            out << record.toMap().value(QStringLiteral("weightKg")).toDouble();
        return out;
    }
    void readings(int count)
    {
        QSignalSpy lines(r.sensor.get(), &SensorSimulator::lineSent);
        QTRY_VERIFY(lines.count() >= count);
    }
    // Keys as the operator presses them, into the window, which has the focus.
    void press(std::initializer_list<Qt::Key> keys)
    {
        r.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(r.window));
        for (Qt::Key key : keys)
            QTest::keyClick(r.window, key);
    }

private Q_SLOTS:
    void initTestCase() { Pelora::setIdentity(*qApp, QStringLiteral("PeloraWindowTest")); }

    void init()
    {
        QSettings().clear();
        r.listed = true;
        QVERIFY(r.startSensor());
    }

    void cleanup()
    {
        m_ticks.reset();
        m_messages.clear();
        r.closeWindow();
        r.sensor.reset();
        PortCatalog::setSource({});
    }

    // A remembered port connects at once and shows the weight; zero and tare reach the sensor;
    // a pulled adapter is reconnected.
    void rememberedPortConnectsAtOnceAndShowsTheWeight()
    {
        r.remember(r.sensor->portName(), QStringLiteral("19200 baud")); // read as its number
        r.sensor->setLoad(5.2);
        QVERIFY(start());
        // Connected from the first pass of the event loop, before the timer ever fires.
        QTRY_VERIFY(r.manager->isConnected());
        QCOMPARE(r.manager->findChild<QSerialPort *>()->baudRate(), 19200);
        QCOMPARE(m_messages.value(0), QStringLiteral("已连接到 %1").arg(r.sensor->portName()));
        QCOMPARE(m_ticks->count(), 0);
        QTRY_COMPARE(weightText(), kg(5.2));
        QTRY_COMPARE(r.text("badgeText"), QStringLiteral("稳定"));
        QCOMPARE(r.text("linkLabel"), r.sensor->portName() + QStringLiteral(" · 19200"));

        // Jin doubles what is shown, live.
        store("weight/unit", QStringLiteral("0"));
        r.sensor->setLoad(7.5);
        QTRY_COMPARE(weightText(), kg(15.0));
        QCOMPARE(r.text("unitText"), QStringLiteral("斤"));

        // Tare and zero reach the sensor.
        r.click(r.item("tareButton"));
        QTRY_VERIFY(r.sensor->commands().contains(QStringLiteral("AT+TARE")));
        QTRY_COMPARE(weightText(), kg(0.0));
        r.sensor->setLoad(8.75);
        QTRY_COMPARE(weightText(), kg(2.5)); // net of the 7.5 kg tare, in jin
        // The tare the sensor took is asked for: the reading says it is net, and by how much,
        // in SG+ASCII frames too; zeroing clears the tare, and the label goes.
        auto *netLabel = r.item("netLabel");
        QTRY_COMPARE(r.text("tareText"), QStringLiteral("皮重 %1 斤").arg(kg(15.0)));
        QVERIFY(netLabel && netLabel->isVisible());
        const auto frameStatus = [this] {
            return r.window->findChild<WeightReading *>()->lastFrame().toMap()["status"].toString();
        };
        r.sensor->setFormat(2);
        store("scale/outputFormatIndex", QStringLiteral("2"));
        QTRY_COMPARE(frameStatus(), QStringLiteral("SN"));
        store("scale/outputFormatIndex", QStringLiteral("1"));
        r.sensor->setFormat(1);
        QTRY_COMPARE(frameStatus(), QStringLiteral("ST"));
        r.click(r.item("zeroButton"));
        QTRY_VERIFY(r.sensor->commands().contains(QStringLiteral("AT+ZERO")));
        QTRY_COMPARE(weightText(), kg(0.0));
        QTRY_VERIFY(!netLabel->isVisible());

        r.sensor->setLoad(250); // above the sensor's capacity
        QTRY_COMPARE(r.text("badgeText"), QStringLiteral("超载"));
        QVERIFY(showsColour(r.item("weightText"), QColor(0xe5, 0x39, 0x35)));

        // While connected the timer keeps ticking and tries nothing, and the stream keeps the
        // reading live from frame to frame, longer than its timeout.
        QSignalSpy connection(r.manager, &SerialPortManager::connectionChanged);
        QSignalSpy live(r.item("weightDisplay"), SIGNAL(liveChanged()));
        QSignalSpy ticks(timer(), SIGNAL(triggered()));
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 3, 4000);
        QCOMPARE(live.count(), 0);

        // A port error closes the connection: the attempt that follows comes at once, not at
        // the next tick nor with a port-list change.
        QSignalSpy lists(r.manager, &SerialPortManager::portListChanged);
        ticks.clear();
        r.sensor->unplug();
        QVERIFY(r.sensor->plug()); // back before the port has even noticed
        QVERIFY(connection.wait());
        QTRY_VERIFY(r.manager->isConnected());
        QCOMPARE(ticks.count(), 0);
        QCOMPARE(lists.count(), 0);

        // Pulled for good: looked for on each tick without an attempt, and connected in the
        // same pass as the port list that holds it again.
        r.sensor->unplug();
        QTRY_VERIFY(!r.manager->isConnected());
        QTRY_COMPARE(weightText(), kg(0.0));
        QCOMPARE(r.text("linkLabel"), QStringLiteral("重连中…"));
        QCOMPARE(r.manager->portName(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(r.manager->portList().isEmpty(), 3000); // the port poll
        const int failed = failures(); // what was tried while the list still held it
        QVERIFY(ticks.wait(1500));
        QVERIFY(ticks.wait(1500)); // just after a tick, so that only the list change can connect
        QCOMPARE(failures(), failed);
        const int ticksAtAppearance = ticks.count();
        QVERIFY(r.sensor->plug());
        r.manager->refreshPorts();
        QTRY_VERIFY_WITH_TIMEOUT(r.manager->isConnected(), 900);
        QCOMPARE(ticks.count(), ticksAtAppearance);
    }

    // The sensor's side played by hand: what shows is always the current reading of this
    // connection, and a reading that stops is not passed off as live.
    void onlyTheCurrentReadingShows()
    {
        PtyPair pty;
        SerialPortManager::setDefaultPortEnumerator(
                [&pty] { return QStringList{pty.slavePath()}; });
        r.remember(pty.slavePath());
        QSettings().setValue(QStringLiteral("scale/outputFormatIndex"), 3); // plain numbers
        QVERIFY(start());
        QTRY_VERIFY(r.manager->isConnected());
        const auto receive = [&](const QByteArray &bytes) {
            QVERIFY(pty.write(bytes));
            QTRY_VERIFY(r.manager->receivedData().endsWith(QString::fromLatin1(bytes)));
        };

        // The port opened while "15.250" was on the wire: its end is no reading.
        receive("5.250\r\n");
        QCOMPARE(weightText(), kg(0.0));
        QVERIFY(showsColour(r.item("weightText"), QColor(0xb0, 0xbe, 0xc5)));
        QVERIFY(!showsColour(r.item("weightText"), QColor(0x4c, 0x5c, 0xc5)));
        receive("15.250\r\n");
        QTRY_COMPARE(weightText(), kg(15.25));
        // From here on native frames, which the display reads from the manager's buffer itself.
        store("scale/outputFormatIndex", QStringLiteral("1"));
        receive("ST015.25,1,0\r\n");
        QElapsedTimer sinceLastFrame;
        sinceLastFrame.start();

        // Replies keep coming but are no readings: the reading still goes stale two seconds
        // after its frame.
        QTimer replies;
        connect(&replies, &QTimer::timeout, this, [&pty] { pty.write("OK\r\n"); });
        replies.start(300);
        QTRY_COMPARE_WITH_TIMEOUT(r.text("badgeText"), QStringLiteral("等待数据"), 4000);
        replies.stop();
        receive("ERR: busy\r\n"); // and a reply after that does not bring it back
        QCOMPARE(r.text("badgeText"), QStringLiteral("等待数据"));
        QVERIFY(sinceLastFrame.elapsed() >= 1900);
        QCOMPARE(weightText(), kg(15.25)); // greyed, not current
        receive("ST016.00,1,0\r\n");
        QTRY_COMPARE(r.text("badgeText"), QStringLiteral("稳定"));

        // After a reconnect the kept bytes still hold 16.00, but they are not this
        // connection's: nothing shows until a line of its own is complete.
        r.manager->disconnectSerialPort();
        QVERIFY(r.manager->connectSerialPort(pty.slavePath(), 115200, 8, 0, 1, 0));
        QVERIFY(r.manager->receivedData().contains(QStringLiteral("ST016.00")));
        QTRY_COMPARE(r.text("badgeText"), QStringLiteral("等待数据"));
        QCOMPARE(weightText(), kg(0.0));
        receive("ST007.50,1,0\r\nST017.50,1,0\r\n");
        QTRY_COMPARE(weightText(), kg(17.5));
    }

    // A USB adapter is remembered by what it is and found again when it comes back under
    // another name, even with another adapter under the remembered name.
    void adapterIsFoundUnderItsNewName()
    {
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("ttyUSB0"));
        const QString second = dir.filePath(QStringLiteral("ttyUSB1"));
        const auto adapter = [](const QString &name, const QString &serial) {
            return PortCatalog::Port{
                    name, u"USB-Serial Controller"_s, u"Prolific"_s, serial, 0x067b, 0x2303};
        };
        QList<PortCatalog::Port> present{adapter(first, u"A1"_s),
                                         adapter(dir.filePath(u"ttyUSB9"_s), u"B2"_s)};
        PortCatalog::setSource([&present] { return present; });
        SerialPortManager::setDefaultPortEnumerator([] {
            QStringList names;
            for (const auto &port : PortCatalog::ports())
                names << port.name;
            return names;
        });
        r.sensor->unplug();
        QVERIFY(r.sensor->start(first));
        QVERIFY(start());

        r.click(r.item("settingsButton"));
        QTRY_VERIFY(r.object("settingsDialog")->property("opened").toBool());
        r.click(r.item("connectButton"));
        QTRY_VERIFY(r.manager->isConnected());
        QCOMPARE(QSettings().value(u"serial/portIdentity"_s).toString(), u"usb:067b:2303:A1"_s);

        // Pulled and plugged into another socket: the same adapter under its new name.
        QSignalSpy connection(r.manager, &SerialPortManager::connectionChanged);
        r.sensor->unplug();
        present.removeFirst();
        QVERIFY(connection.wait());
        QVERIFY(r.sensor->start(second));
        PtyPair other; // another adapter now sits under the remembered name
        QVERIFY(other.isValid() && QFile::link(other.slavePath(), first));
        present.append(adapter(first, u"C3"_s));
        present.prepend(adapter(second, u"A1"_s));
        QTRY_VERIFY_WITH_TIMEOUT(r.manager->isConnected(), 5000);
        QVERIFY(m_messages.contains(QStringLiteral("已连接到 %1").arg(second)));

        // Gone for good: the remembered name is what is left to try.
        r.sensor->unplug();
        present.removeFirst();
        QTRY_COMPARE_WITH_TIMEOUT(r.manager->portName(), first, 5000);
    }

    // A port the user may not open, chosen by writing the two serial keys one after the other
    // as the dialog does: one attempt, which says what to do about it, then one a second.
    void deniedPortIsTriedOnceThenOneASecond()
    {
        QVERIFY(start());
        QSignalSpy status(r.manager, &SerialPortManager::statusMessageChanged);
        QSignalSpy ticks(timer(), SIGNAL(triggered()));
        store("serial/portName", u'"' + r.sensor->portName() + u'"');
        store("serial/baudRate", QStringLiteral("9600"));
        QCOMPARE(r.window->property("_autoPortName").toString(), r.sensor->portName());
        QCOMPARE(r.window->property("_autoBaudRate").toInt(), 9600);
        QCOMPARE(status.count(), 0); // nothing is tried inside the store's signal

        // As root every open succeeds: the attempts run as nobody for this thread's file
        // access, with the way to the device open and the device itself not.
        const QByteArray device
                = QFile::encodeName(QFileInfo(r.sensor->portName()).symLinkTarget());
        const QByteArray folder = QFile::encodeName(QFileInfo(r.sensor->portName()).path());
        const bool root = ::geteuid() == 0;
        struct stat before;
        QCOMPARE(::stat(device.constData(), &before), 0);
        QCOMPARE(root ? ::chmod(folder.constData(), 0755) : ::chmod(device.constData(), 0), 0);
        if (root)
            ::setfsuid(65534);
        const auto restoreAccess = [&] {
            if (root)
                ::setfsuid(0);
            else
                ::chmod(device.constData(), before.st_mode & 07777);
        };
        auto guard = qScopeGuard(restoreAccess);

        QTRY_COMPARE(r.manager->statusMessage(), QStringLiteral("连接失败: Permission denied"));
        QCOMPARE(ticks.count(), 0);
        QCOMPARE(status.count(), 2); // one attempt: the port's error, then the failure
        QVERIFY(r.item("hintLabel")->isVisible());
        QVERIFY(r.text("hintLabel").contains(QStringLiteral("dialout")));
        QVERIFY(ticks.wait(1500));
        QVERIFY(ticks.wait(1500));
        QTRY_COMPARE(failures(), 1 + ticks.count());

        restoreAccess();
        guard.dismiss();
        QTRY_VERIFY_WITH_TIMEOUT(r.manager->isConnected(), 3000); // the retry once a second
        QVERIFY(!r.item("hintLabel")->isVisible());
        // Another adapter behind the same name: the identity alone changes, and is taken.
        store("serial/portIdentity", QStringLiteral("'usb:067b:2303:B2'"));
        QCOMPARE(r.window->property("_autoPortIdentity").toString(), u"usb:067b:2303:B2"_s);
    }

    // Nothing remembered, nothing is opened, and 0.000 is no empty platform: drawn pale, not
    // in the live indigo. A path no enumeration lists (a pseudo-terminal, a by-id link) is
    // typed, connects and is remembered. After a manual disconnect nothing reconnects, a write
    // of the serial keys included; clearing the manager's flag does, at once.
    void typedPathAndManualDisconnect()
    {
        r.listed = false;
        QSettings().setValue(QStringLiteral("serial/baudRate"), QStringLiteral("abc"));
        QVERIFY(start());
        QCOMPARE(r.window->property("_autoBaudRate").toInt(), 115200);
        QVERIFY(!timer()->property("running").toBool());
        QVERIFY(!QSignalSpy(r.manager, &SerialPortManager::connectionChanged).wait(1500));
        QCOMPARE(r.text("linkLabel"), QString()); // nothing to reconnect
        QVERIFY(showsColour(r.item("weightText"), QColor(0xb0, 0xbe, 0xc5)));
        QVERIFY(!showsColour(r.item("weightText"), QColor(0x4c, 0x5c, 0xc5)));
        // The dialog's port row keeps its preferred widths from the left.
        r.click(r.item("settingsButton"));
        QTRY_VERIFY(r.object("settingsDialog")->property("opened").toBool());
        QTRY_COMPARE(r.object("settingsDialog")->property("opacity").toDouble(), 1.0);
        auto *panel = r.item("portCombo")->parentItem()->parentItem();
        QCOMPARE(r.item("connectButton")->mapToItem(panel, QPointF(0, 0)).x(),
                 12 + 42 + 10 + 240 + 10 + 90 + 10 + 12 + 10 + 52 + 10 + 140 + 10.0);
        r.click(r.item("portField"));
        QTest::keySequence(r.window, QKeySequence::SelectAll);
        for (const QChar ch : r.sensor->portName())
            QTest::keyClick(r.window, ch.toLatin1());
        r.click(r.item("connectButton"));
        QTRY_VERIFY(r.manager->isConnected());
        QCOMPARE(QSettings().value(u"serial/portName"_s).toString(), r.sensor->portName());

        r.click(r.item("connectButton")); // "断开连接"
        QTRY_VERIFY(!r.manager->isConnected());
        QVERIFY(r.manager->autoReconnectSuppressed());
        QCOMPARE(r.manager->statusMessage(), QStringLiteral("串口已断开"));
        QCOMPARE(r.manager->portName(), QString());
        QVERIFY(!timer()->property("running").toBool());
        QCOMPARE(r.text("linkLabel"), QString()); // no port, and nothing is reconnecting

        store("serial/portName", u'"' + r.sensor->portName() + u'"');
        QSignalSpy connection(r.manager, &SerialPortManager::connectionChanged);
        QVERIFY(!connection.wait(2500)); // two port polls and two would-be ticks: nothing

        QSignalSpy ticks(timer(), SIGNAL(triggered()));
        r.manager->clearAutoReconnectSuppressed();
        QVERIFY(connection.wait());
        QVERIFY(r.manager->isConnected());
        QCOMPARE(ticks.count(), 0);
        QVERIFY(timer()->property("running").toBool());
    }

    // A load makes one record, however long it stands or whatever is added to it, and the home
    // page says so; the records page lists them and records by hand.
    void weighingRecords()
    {
        r.sensor->setStableTime(150);
        r.remember(r.sensor->portName());
        QVERIFY(start());
        QTRY_VERIFY(r.manager->isConnected());
        // A load is put on, and waited for until the window reads it (net of any tare) and
        // the recorder has seen it settle: the wait is on the application, however slow.
        const auto put = [this](double kg, double tare = 0) {
            r.sensor->setLoad(kg);
            readings(5);
            const auto *reading = r.window->findChild<WeightReading *>();
            QTRY_VERIFY(kg > 200 ? reading->overload()
                                 : !reading->overload()
                                        && std::abs(reading->weightKg() - (kg - tare)) < 0.05);
            QTRY_VERIFY(r.js(u"WeighRecorder.refusal"_s).toString() != u"读数未稳定"_s);
        };
        put(0);
        auto *store = r.engine->property("_peloraRecordStore").value<RecordStore *>();
        QVERIFY(store); // made with the first reading
        QVERIFY(store->databasePath().startsWith(m_scratch.path()));
        QCOMPARE(store->voidAll(u"前面的用例"_s), QString()); // what the other cases weighed
        // A native frame says neither net nor gross: the tare the home page read tells.
        SensorParameters *parameters = r.manager->session()->parameters();
        const auto mode = [store] {
            return TestSupport::storedRecords(store->databasePath())
                    .last()
                    .toMap()[u"mode"_s]
                    .toString();
        };
        QTRY_VERIFY(parameters->hasValue(u"QTAR"_s));
        r.sensor->setLoad(2.5); // with the simulator's noise
        QTRY_COMPARE(weights(store), QList<double>{2.5});
        QCOMPARE(mode(), u"毛重"_s);
        QVERIFY(r.item("recordMessage")->isVisible());
        QCOMPARE(r.text("recordMessage"), u"已记录 2.500 公斤"_s);
        picture(u"home-recorded.png"_s);
        readings(40); // left standing
        for (double kg : {0.0, 4.0, 7.0, 250.0, 7.0}) // 7 added on top, then beyond the capacity
            put(kg);
        QCOMPARE(weights(store), (QList<double>{2.5, 4}));

        // Stale, then unplugged: nothing more is recorded.
        r.sensor->setAutoReport(false);
        QTRY_VERIFY_WITH_TIMEOUT(!r.item("weightDisplay")->property("live").toBool(), 5000);
        r.sensor->unplug();
        QTRY_VERIFY(!r.manager->isConnected());

        // The records page shows them; the manual button follows the reading.
        r.click(r.item("recordsButton"));
        QQuickItem *button = nullptr;
        QTRY_VERIFY((button = r.item("recordNowButton")));
        QCOMPARE(r.text("todaySummary"), QStringLiteral("今日 2 条，合计 6.500 公斤"));
        QVERIFY(r.sensor->plug());
        QTRY_VERIFY_WITH_TIMEOUT(r.manager->isConnected(), 5000);
        r.sensor->setAutoReport(true);
        put(7); // the same load after a reconnect: nothing new
        QCOMPARE(weights(store).size(), 2);
        QSignalSpy sent(r.manager->traffic(), &SerialTraffic::sent);
        press({Qt::Key_F2, Qt::Key_F3, Qt::Key_F4}); // the home page's keys, and it is not shown
        QCOMPARE(sent.count(), 0);
        QCOMPARE(weights(store).size(), 2);
        r.click(button);
        QTRY_COMPARE(weights(store).size(), 3);
        const QVariantMap manual = TestSupport::storedRecords(store->databasePath()).last().toMap();
        QVERIFY(manual.value(QStringLiteral("manual")).toBool());
        QCOMPARE(manual.value(QStringLiteral("port")).toString(), r.sensor->portName());

        // No day that does not exist is exported, and no dialog opens for one.
        r.item("toField")->setProperty("text", u"2025-02-30"_s);
        r.click(u"exportButton"_s);
        QVERIFY(r.text("exportMessage").contains(u"2025-02-30"_s));
        QVERIFY(!r.object(u"fileDialog"_s)->property("visible").toBool());
        r.item("toField")->setProperty("text", QString());
        // Today's export goes to a documents folder made for it, the day's edges held.
        QTemporaryDir home;
        const auto restore
                = qScopeGuard([old = qgetenv("HOME"), config = qgetenv("XDG_CONFIG_HOME")] {
                      qputenv("HOME", old);
                      if (!config.isNull())
                          qputenv("XDG_CONFIG_HOME", config);
                  });
        qputenv("HOME", QFile::encodeName(home.path()));
        qunsetenv("XDG_CONFIG_HOME"); // no user-dirs.dirs: the documents folder is ~/Documents
        const QDate today = QDate::currentDate();
        const qint64 edges[] = {today.startOfDay().toMSecsSinceEpoch() - 1,
                                today.addDays(1).startOfDay().toMSecsSinceEpoch()};
        QSignalSpy saved(store, &RecordStore::recordSaved); // (ticket, id)
        for (qint64 edge : edges)
            QVERIFY(store->addRecord(1, {}, {}, {}, true, edge) > 0);
        QVERIFY(TestSupport::drain(store));
        r.click(u"exportTodayButton"_s);
        QTRY_VERIFY(r.text("exportMessage").startsWith(u"今日记录已导出到"_s));
        const QString csv = home.filePath(u"Documents/pelora-records-%1.csv"_s)
                                    .arg(today.toString(Qt::ISODate));
        QVERIFY2(r.text("exportMessage").endsWith(csv), qPrintable(r.text("exportMessage")));
        QCOMPARE(TestSupport::readAll(csv).count(",记录,"), 3);
        // A range of days exports every record of each, through the page's own dialog.
        r.item("fromField")->setProperty("text", today.addDays(-1).toString(Qt::ISODate));
        r.item("toField")->setProperty("text", today.toString(Qt::ISODate));
        r.click(u"exportButton"_s);
        QTRY_VERIFY(r.object(u"fileDialog"_s)->property("opened").toBool());
        r.item("exportPathField")->setProperty("text", home.filePath(u"range.csv"_s));
        QMetaObject::invokeMethod(r.object(u"fileDialog"_s), "accept");
        QTRY_VERIFY(r.text("exportMessage").startsWith(u"已导出到"_s));
        QCOMPARE(TestSupport::readAll(home.filePath(u"range.csv"_s)).count(",记录,"), 4);
        r.item("fromField")->setProperty("text", QString());
        r.item("toField")->setProperty("text", QString());
        QTRY_VERIFY(!r.object(u"fileDialog"_s)->property("visible").toBool());
        // The newest record, next midnight's, is the list's first: voiding it asks why.
        const int before = store->count();
        QVERIFY(topRow());
        r.click(r.item(u"voidButton"_s, topRow()));
        QTRY_VERIFY(r.object(u"voidDialog"_s)->property("opened").toBool());
        QVERIFY(!r.item("voidDialogOk")->isEnabled()); // not without a reason
        QMetaObject::invokeMethod(r.object(u"voidDialog"_s), "reject"); // and "取消" keeps it
        QTRY_VERIFY(!r.object(u"voidDialog"_s)->property("visible").toBool());
        QVERIFY(TestSupport::drain(store));
        QCOMPARE(store->count(), before);
        r.click(r.item(u"voidButton"_s, topRow()));
        QTRY_VERIFY(r.object(u"voidDialog"_s)->property("opened").toBool());
        r.item("voidDialogReason")->setProperty("text", u"秤盘上有杂物"_s);
        r.click(u"voidDialogOk"_s);
        QTRY_COMPARE(store->count(), before - 1);
        QTRY_VERIFY(!r.object(u"voidDialog"_s)->property("visible").toBool());
        // Gone from the list, kept in the file: shown on asking, with its reason.
        r.click(u"showVoidedBox"_s);
        QTRY_COMPARE(r.text("recordPort", topRow()), u"已作废：秤盘上有杂物"_s);
        r.click(u"showVoidedBox"_s);
        QTRY_VERIFY(topRow() && r.text("recordPort", topRow()) != u"已作废：秤盘上有杂物"_s);
        QTRY_VERIFY(r.text("chainStatus").startsWith(u"记录链完整 · "_s));
        // A ticket of the newest record, as a PDF where there is no printer.
        r.click(r.item(u"ticketButton"_s, topRow()));
        QTRY_VERIFY(r.object(u"ticketDialog"_s)->property("opened").toBool());
        r.item("ticketPathField")->setProperty("text", home.filePath(u"ticket.pdf"_s));
        r.click(u"ticketGoButton"_s);
        QTRY_VERIFY(r.text("ticketMessage").startsWith(u"小票已保存到"_s));
        QVERIFY(TestSupport::readAll(home.filePath(u"ticket.pdf"_s)).startsWith("%PDF-"));
        picture(u"records-ticket.png"_s);
        QMetaObject::invokeMethod(r.object(u"ticketDialog"_s), "close");
        QTRY_VERIFY(!r.object(u"ticketDialog"_s)->property("visible").toBool());
        QCOMPARE(store->voidRecord(saved.at(0).at(1).toLongLong(), u"试称"_s), QString());
        // A record shows in the unit it was taken in.
        QVERIFY(store->addRecord(1.5, u"斤"_s, {}, {}, true, QDateTime::currentMSecsSinceEpoch()));
        QTRY_COMPARE(r.text("recordWeight", topRow()), u"3.000"_s);
        QCOMPARE(r.text("recordUnit", topRow()), u"斤"_s);
        QVERIFY(TestSupport::drain(store));
        QCOMPARE(store->voidRecord(saved.last().at(1).toLongLong(), u"试称"_s), QString());

        // Back home, F4 records by hand, F3 tares and F2 zeroes.
        r.js(QStringLiteral("Components.Router.navigate('/home')"));
        QTRY_VERIFY(r.object("recordShortcut")
                    && r.object("recordShortcut")->property("enabled").toBool());
        press({Qt::Key_F4});
        QCOMPARE(weights(store).size(), 4);
        press({Qt::Key_F3});
        QTRY_VERIFY(parameters->rows()[u"QTAR"_s].toMap()[u"value"_s].toDouble() > 0);
        QTRY_VERIFY(r.js(u"WeighRecorder.armed"_s).toBool()); // the empty-again net reading
        put(9, 7); // 2 kg net on the 7 kg tare (zero after the tare armed the recorder)
        QCOMPARE(weights(store).size(), 5);
        QCOMPARE(mode(), u"净重"_s);
        QCOMPARE(TestSupport::storedRecords(store->databasePath()).last().toMap()[u"tareKg"_s],
                 7.0);
        press({Qt::Key_F2});
        QTRY_VERIFY(r.sensor->commands().contains(QStringLiteral("AT+ZERO")));
        QVERIFY(r.sensor->commands().contains(QStringLiteral("AT+TARE")));
        // Both are in the records' chain as the sensor answered them.
        for (const QString &type : {u"tare"_s, u"zero"_s}) {
            QTRY_VERIFY2(
                    TestSupport::chainEvents(store->databasePath())
                            .contains(u"type\t%1\ncommand\tAT+%2\noutcome\tok\nreply\tOK\n"_s.arg(
                                    type, type.toUpper())),
                    qPrintable(TestSupport::chainEvents(store->databasePath()).join(u'|')));
        }

        // ASCII frames carry no stability flag: the settle time alone decides. The zero just
        // taken reads the 9 kg standing as nought: the platform is empty again.
        r.sensor->setFormat(3);
        r.js(u"SettingsStore.setValue('scale/outputFormatIndex', '3')"_s);
        QTRY_COMPARE(r.window->findChild<WeightReading *>()->format(), 3);
        put(9, 9);
        QTRY_VERIFY(r.js(u"WeighRecorder.armed"_s).toBool());
        put(13, 9);
        QCOMPARE(weights(store), (QList<double>{2.5, 4, 7, 7, 2, 4}));
    }

    // A long history is paged through, not loaded; a records file another program holds
    // (sqlite3 with a transaction open, as the office had it) keeps the weighings
    // made meanwhile, says so on both pages, and writes them when it is let go.
    void heldRecordsFileAndLongHistory()
    {
        const QString path = RecordStore::defaultPath();
        QFile::remove(path);
        const int history = qEnvironmentVariableIsSet("PELORA_HISTORY")
                ? qEnvironmentVariableIntValue("PELORA_HISTORY")
                : 20000;
        QVERIFY(TestSupport::makeRecords(
                path, history, QDateTime::currentMSecsSinceEpoch() - qint64(history) * 60000,
                60000));
        r.sensor->setStableTime(150);
        r.remember(r.sensor->portName());
        QVERIFY(start());
        QTRY_VERIFY(r.manager->isConnected());
        auto *store = r.engine->property("_peloraRecordStore").value<RecordStore *>();
        QVERIFY(store);
        QCOMPARE(store->databasePath(), path);
        QTRY_COMPARE(store->count(), history);

        r.click(r.item("recordsButton"));
        QQuickItem *list = nullptr;
        QTRY_VERIFY((list = r.item("recordList")) && list->isVisible()
                    && list->property("count").toInt() >= RecordListModel::pageSize);
        QVERIFY(list->property("count").toInt() < history);
        QMetaObject::invokeMethod(list, "positionViewAtIndex", Q_ARG(int, 150),
                                  Q_ARG(int, 0 /* Beginning */));
        picture(u"records-long-history.png"_s);

        // sqlite3 takes the file's exclusive lock and keeps it.
        QProcess holder;
        holder.start(u"sqlite3"_s, {path});
        QVERIFY2(holder.waitForStarted(), "sqlite3 is installed by scripts/setup.sh");
        holder.write(
                ".timeout 10000\nBEGIN EXCLUSIVE;\nUPDATE records SET unit = unit WHERE id = 1;\n"
                "SELECT 'held';\n");
        QVERIFY(holder.waitForReadyRead(10000));
        QVERIFY(holder.readAllStandardOutput().contains("held"));

        r.js(QStringLiteral("Components.Router.navigate('/home')"));
        QTRY_VERIFY(r.item("recordButton") && r.item("recordButton")->isVisible());
        // Every text the label shows, in turn: a claim shown for a moment is caught too.
        QSignalSpy said(r.item("recordMessage"), SIGNAL(textChanged(QString)));
        r.sensor->setLoad(3.25);
        QTRY_VERIFY_WITH_TIMEOUT(r.text("recordMessage").contains(u"暂存"_s), 10000);
        QVERIFY(r.text("recordMessage").startsWith(u"已记录 3.250 公斤"_s));
        QTRY_VERIFY(r.item("storeWarning")->isVisible());
        QVERIFY2(r.text("storeWarning").contains(u"1 条记录暂存"_s),
                 qPrintable(r.text("storeWarning")));
        picture(u"home-records-held.png"_s);
        r.click(r.item("recordsButton"));
        QTRY_VERIFY(r.item("storeError") && r.item("storeError")->isVisible());
        picture(u"records-held.png"_s);

        for (const QList<QVariant> &text : std::as_const(said))
            QVERIFY(text.at(0).toString() != u"已记录 3.250 公斤"_s);
        holder.closeWriteChannel(); // sqlite3 ends, and its lock goes
        QVERIFY(holder.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!r.item("storeError")->isVisible(), 10000);
        const QVariantList stored = TestSupport::storedRecords(path);
        QCOMPARE(stored.size(), history + 1);
        QCOMPARE(stored.last().toMap()[u"weightKg"_s].toDouble(), 3.25);
        QTRY_COMPARE(r.text("recordWeight", topRow()), u"3.250"_s);

        // Someone changes one byte of a record with sqlite3: "重新检查" names it in red.
        QTRY_VERIFY(r.text("chainStatus").startsWith(u"记录链完整 · 20,0"_s));
        QCOMPARE(QProcess::execute(u"sqlite3"_s,
                                   {path, u".timeout 10000"_s,
                                    u"UPDATE records SET weight_kg = 1.5"
                                    " WHERE number = 7"_s}),
                 0);
        r.click(u"verifyButton"_s);
        QTRY_VERIFY(r.text("chainStatus")
                            .startsWith(u"记录链在第 8 条处断开：记录编号 7 的重量被改动（"_s));
        picture(u"records-chain-broken.png"_s);
    }

private:
    // The list's top row, the newest record.
    QQuickItem *topRow() const
    {
        QQuickItem *row = nullptr;
        QMetaObject::invokeMethod(r.item("recordList"), "itemAtIndex",
                                  Q_RETURN_ARG(QQuickItem *, row), Q_ARG(int, 0));
        return row;
    }
    // Kept as docs/<name> when PELORA_WINDOW_PICTURES names a folder.
    void picture(const QString &name) const
    {
        if (!qEnvironmentVariableIsSet("PELORA_WINDOW_PICTURES"))
            return;
        QTRY_VERIFY([this] { // the page stack's transition over
            const auto items = r.window->findChildren<QQuickItem *>();
            return std::none_of(items.begin(), items.end(), [](const QQuickItem *item) {
                return item->inherits("QQuickStackView") && item->property("busy").toBool();
            });
        }());
        for (int frame = 0; frame < 3; ++frame) { // the list's new rows drawn
            QSignalSpy swapped(r.window, &QQuickWindow::frameSwapped);
            r.window->update();
            swapped.wait(2000);
        }
        r.window->grabWindow().save(
                QDir(qEnvironmentVariable("PELORA_WINDOW_PICTURES")).filePath(name));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"

// The sensor and console pages in the real window, against a simulated sensor on a real
// pseudo-terminal, with the home page's weight display checked all along.

#include "sensorchannel.h"
#include "sensorsession.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"
#include "trafficlog.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestWorkbench : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::Rig r;

    QString rowState(const QString &key) const
    {
        QQuickItem *row = r.item(u"row_"_s + key);
        return row ? r.text(u"stateLabel"_s, row) : u"<no row %1>"_s.arg(key);
    }
    // The home page stays below the pushed page: its reading must keep following the load.
    void displayShows(double kg)
    {
        QQuickItem *display = r.item(u"weightDisplay"_s);
        QVERIFY(display);
        QTRY_VERIFY(display->property("live").toBool());
        QTRY_COMPARE(display->property("weightValue").toDouble(), kg);
    }
    void open(const QString &button, const QString &page, QObject *from = nullptr)
    {
        r.click(button, from);
        QTRY_VERIFY(r.item(page) && r.item(page)->isVisible());
        // Clicks go where the page ends up once the push has slid it in.
        QTRY_COMPARE(r.item(page)->x(), 0.0);
    }

    // A guarded setting or a calibration step asks first; the operator says yes (or no).
    void confirm(bool yes = true)
    {
        QObject *dialog = r.object(u"confirmDialog"_s);
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->property("opened").toBool());
        QMetaObject::invokeMethod(dialog, yes ? "accept" : "reject");
        QTRY_VERIFY(!dialog->property("visible").toBool());
    }
    void choose(const QString &key, int index)
    {
        QQuickItem *row = r.item(u"row_"_s + key);
        r.object(u"choiceEditor"_s, row)->setProperty("currentIndex", index);
        r.click(u"setButton"_s, row);
    }

private Q_SLOTS:
    void initTestCase() { Pelora::setIdentity(*qApp, u"PeloraWorkbenchTest"_s); }

    void init()
    {
        QSettings().clear();
        QVERIFY(r.startSensor());
        r.sensor->setReportRate(30);
        r.remember(r.sensor->portName());
        QVERIFY(r.load());
        QTRY_VERIFY(r.manager->isConnected());
        r.sensor->setLoad(3);
        displayShows(3);
    }
    void cleanup()
    {
        r.closeWindow();
        r.sensor.reset();
    }

    // The page against the habits of real firmware: slow, one command at a time, echoing, CR
    // only, other refusals, silence for what it does not know, odd identities.
    void sensorPageAgainstFirmware_data()
    {
        using C = SensorSimulator::Confirmation;
        QTest::addColumn<int>("habit");
        QTest::addColumn<int>("confirmation");
        QTest::newRow("slow, one command at a time, CR only") << 1 << int(C::Ok);
        QTest::newRow("echo for OK") << 2 << int(C::Echo);
        QTest::newRow("OK and echo") << 3 << int(C::OkAndEcho);
        QTest::newRow("command echoed, ERROR") << 4 << int(C::CommandEcho);
        QTest::newRow("silent on unknown, digits for SN, ASCII") << 5 << int(C::Ok);
    }
    void sensorPageAgainstFirmware()
    {
        QFETCH(int, habit);
        QFETCH(int, confirmation);
        r.sensor->setConfirmation(SensorSimulator::Confirmation(confirmation));
        const QString refusal = habit == 4 ? u"ERROR"_s : u"ERR: invalid value"_s;
        if (habit == 4)
            r.sensor->setErrorWord(refusal);
        const QString version = habit == 5 ? u"V1.2.0,2023-05-12"_s : u"V1.0.1"_s;
        const QString sn = habit == 5 ? u"20230512"_s : u"102145"_s;
        if (habit == 1) {
            r.sensor->setReplyLatency(200, 900);
            r.sensor->setOneCommandAtATime(true);
            r.sensor->setLineEnding("\r");
        } else if (habit == 5) {
            r.sensor->setSilentOnUnknown(true);
            r.sensor->setIdentity(version, sn);
            r.sensor->setFormat(3);
            r.js(u"SettingsStore.setValue('scale/outputFormatIndex', 3)"_s);
            displayShows(3);
            r.sensor->setReportRate(0); // the serial number stays the newest line
        }
        const int slow = habit == 1 ? 30000 : 5000;
        open("sensorButton", "sensorPage");
        QTRY_COMPARE_WITH_TIMEOUT(r.text(u"versionLabel"_s), u"固件版本: "_s + version, slow);
        QTRY_COMPARE_WITH_TIMEOUT(r.text(u"snLabel"_s), u"序列号: "_s + sn, slow);
        // An answer is no reading, whatever it looks like.
        QCOMPARE(r.item(u"weightDisplay"_s)->property("weightValue").toDouble(), 3.0);
        r.sensor->setReportRate(30);
        displayShows(3);

        // Nothing to set before the sensor has said what it holds.
        QQuickItem *capa = r.item(u"row_CAPA"_s);
        QVERIFY(!r.item(u"rangeEditor"_s, capa)->isEnabled());

        r.click(u"readAllButton"_s);
        const QStringList keys
                = {u"AUTO"_s,    u"OPENC"_s,  u"DIV"_s,    u"CAPA"_s,     u"DEC"_s,
                   u"FILTER"_s,  u"ZTRACK"_s, u"PRINTX"_s, u"SAMPLERT"_s, u"REPORTRT"_s,
                   u"CHANNEL"_s, u"DEBUG"_s,  u"WCAL"_s,   u"QTAR"_s};
        const QString printx = habit == 5 ? u"3 (ASCII)"_s : u"1 (原始格式)"_s;
        const QStringList read = {u"1 (自动上传)"_s, u"0 (否)"_s, u"10"_s, u"200"_s,       u"3"_s,
                                  u"0 (自动)"_s,     u"0.5"_s,    printx,  u"0 (10 Hz)"_s, u"30"_s,
                                  u"UART1"_s,        u"0 (关)"_s, u"0"_s,  u"0.000"_s};
        for (qsizetype i = 0; i < keys.size(); ++i)
            QTRY_COMPARE_WITH_TIMEOUT(rowState(keys[i]), read[i], slow);
        QCOMPARE(r.sensor->ignoredCommands(), 0);
        // The editors start from what the sensor holds.
        QQuickItem *div = r.item(u"row_DIV"_s);
        QCOMPARE(r.object(u"choiceEditor"_s, div)->property("currentText").toString(), u"10"_s);
        QCOMPARE(r.object(u"rangeEditor"_s, capa)->property("text").toString(), u"200"_s);

        // A guarded setting asks first, and is confirmed only by reading it back.
        choose(u"DIV"_s, 4); // 20 g
        confirm();
        QTRY_COMPARE_WITH_TIMEOUT(rowState(u"DIV"_s), u"20 (已确认)"_s, slow);
        QCOMPARE(r.sensor->setting(u"DIV"_s), u"20"_s);

        // Two settings within a second: each confirmed by its own answer.
        choose(u"FILTER"_s, 2);
        choose(u"CHANNEL"_s, 1);
        QTRY_COMPARE_WITH_TIMEOUT(rowState(u"CHANNEL"_s), u"UART2 (已确认)"_s, slow);
        QCOMPARE(rowState(u"FILTER"_s), u"2 (动态 (动物)) (已确认)"_s);
        QCOMPARE(r.sensor->setting(u"FILTER"_s), u"2"_s);
        QCOMPARE(r.sensor->setting(u"CHANNEL"_s), u"UART2"_s);

        // Refused: the row keeps what the sensor holds, the refusal beside it, the editor too.
        r.object(u"rangeEditor"_s, capa)->setProperty("text", u"300"_s);
        QMetaObject::invokeMethod(r.object(u"sensorPage"_s), "setRow", Q_ARG(QVariant, 3),
                                  Q_ARG(QVariant, u"0"_s));
        QTRY_COMPARE_WITH_TIMEOUT(rowState(u"CAPA"_s), u"200 · 设置被拒绝: "_s + refusal, slow);
        QCOMPARE(r.sensor->setting(u"CAPA"_s), u"200"_s);
        QCOMPARE(r.object(u"rangeEditor"_s, capa)->property("text").toString(), u"200"_s);
    }

    void sensorPageReadsAndSets()
    {
        open("sensorButton", "sensorPage");
        r.readSensorPage();
        // A confirmation declined sends nothing.
        const qsizetype before = r.sensor->commands().size();
        choose(u"PRINTX"_s, 2);
        confirm(false);
        QCOMPARE(r.sensor->commands().size(), before);
        // Answered yes and not done: reading back shows what the sensor still holds.
        r.sensor->setSettingsLocked(true);
        choose(u"OPENC"_s, 1);
        QTRY_COMPARE(rowState(u"OPENC"_s), u"0 (否) · 设置未生效"_s);
        r.sensor->setSettingsLocked(false);

        // The output format: set here, stored for the display, which keeps reading.
        choose(u"PRINTX"_s, 1);
        confirm();
        QTRY_COMPARE(rowState(u"PRINTX"_s), u"2 (SG+ASCII) (已确认)"_s);
        QTRY_COMPARE(QSettings().value(u"scale/outputFormatIndex"_s).toInt(), 2);
        QVERIFY(!r.item(u"formatMismatchLabel"_s)->isVisible());
        r.sensor->setLoad(4.5);
        displayShows(4.5);
        // Changed behind the page's back: the page says the two differ.
        r.sensor->setFormat(3);
        r.click(u"readButton"_s, r.item(u"row_PRINTX"_s));
        QTRY_VERIFY(r.item(u"formatMismatchLabel"_s)->isVisible());
        QCOMPARE(r.text(u"formatMismatchLabel"_s), u"传感器输出格式 (3) 与本机设置 (2) 不一致"_s);

        // Asked for on a page, the settings open on the home page the stack returns to, which
        // is never pushed twice; back() pops, and on the home page ends the application with 0.
        r.click(u"settingsButton"_s, r.item(u"sensorPage"_s));
        QObject *dialog = r.object(u"settingsDialog"_s);
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(r.js(u"stack.depth"_s).toInt(), 1);
        QMetaObject::invokeMethod(dialog, "close");
        QTRY_VERIFY(!dialog->property("visible").toBool());
        open(u"consoleButton"_s, u"consolePage"_s);
        QObject::disconnect(r.engine.get(), &QQmlEngine::exit, qApp, nullptr); // only heard here
        QSignalSpy exit(r.engine.get(), &QQmlEngine::exit);
        r.js(u"Components.Router.back()"_s);
        QTRY_COMPARE(r.js(u"stack.depth"_s).toInt(), 1);
        QCOMPARE(exit.count(), 0);
        r.js(u"Components.Router.back()"_s);
        QCOMPARE(exit.count(), 1);
        QCOMPARE(exit.at(0).at(0).toInt(), 0);
        // What the router cannot do, it says: here, push to a stack without push().
        QTest::ignoreMessage(QtCriticalMsg, "Router.stackView does not support push().");
        r.js(u"Components.Router.setStackView({ depth: 0 }); Components.Router.navigate('/records')"_s);
    }

    void calibration()
    {
        open("sensorButton", "sensorPage");
        r.sensor->setLoad(0);
        displayShows(0);
        r.click(u"calStartButton"_s);
        // A slow sensor answers a read first: that answer is not the zero's.
        r.sensor->setReplyLatency(1000, 1000);
        r.click(u"readButton"_s, r.item(u"row_QTAR"_s));
        r.click(u"calZeroButton"_s);
        confirm();
        QTRY_COMPARE_WITH_TIMEOUT(rowState(u"QTAR"_s), u"0.000"_s, 5000);
        QCOMPARE(r.text(u"calMessageLabel"_s), u"等待传感器确认…"_s);
        r.sensor->setReplyLatency(0, 0);
        QTRY_COMPARE(r.text(u"calStepLabel"_s), u"第 2 步 / 共 3 步"_s);
        QCOMPARE(r.sensor->commands().last(), u"AT+ZCAL"_s);

        // No mass asks nothing; on an empty platform the span is refused and the step stays.
        r.object(u"calMassField"_s)->setProperty("text", u"0"_s);
        r.click(u"calSpanButton"_s);
        QCOMPARE(r.text(u"calMessageLabel"_s), u"请输入砝码质量"_s);
        r.object(u"calMassField"_s)->setProperty("text", u"8000"_s);
        r.object(u"calUnitBox"_s)->setProperty("currentIndex", 1);
        r.click(u"calSpanButton"_s);
        confirm();
        QTRY_VERIFY(r.text(u"calMessageLabel"_s).startsWith(u"传感器拒绝了量程标定: "_s));
        QCOMPARE(r.text(u"calStepLabel"_s), u"第 2 步 / 共 3 步"_s);
        // 10 kg on the platform, said to be 8000 g: the sensor now reads 8.
        r.sensor->setLoad(10);
        r.click(u"calSpanButton"_s);
        confirm();
        QTRY_COMPARE(r.text(u"calStepLabel"_s), u"第 3 步 / 共 3 步"_s);
        QCOMPARE(r.sensor->commands().contains(u"AT+WCAL=8000"_s), true);
        QTRY_COMPARE(rowState(u"WCAL"_s), u"8000"_s);
        r.click(u"calCancelButton"_s);

        // Cancelled while the sensor is silent: the page says what may have happened.
        r.sensor->setReplying(false);
        r.click(u"calStartButton"_s);
        r.click(u"calZeroButton"_s);
        confirm();
        QTRY_COMPARE(r.text(u"calMessageLabel"_s), u"等待传感器确认…"_s);
        // Unanswered, the step stays to be tried again.
        QTRY_COMPARE_WITH_TIMEOUT(r.text(u"calMessageLabel"_s),
                                  u"传感器未应答：无法确认零点标定是否已执行。"_s, 10000);
        QVERIFY(r.item(u"calZeroButton"_s)->isVisible());
        r.click(u"calCancelButton"_s);
        QTRY_COMPARE_WITH_TIMEOUT(r.manager->session()->channel()->pendingCount(), 0, 10000);

        // The cable pulled while a step waits for its answer: the sensor may have done it.
        r.click(u"calStartButton"_s);
        r.click(u"calZeroButton"_s);
        confirm();
        QTRY_COMPARE(r.text(u"calMessageLabel"_s), u"等待传感器确认…"_s);
        r.sensor->unplug();
        QTRY_COMPARE(r.text(u"calMessageLabel"_s),
                     u"连接已断开：零点标定命令已发出，传感器可能已执行。"_s);
        r.sensor->setReplying(true);
        QVERIFY(r.sensor->plug());
        QTRY_VERIFY(r.manager->isConnected());
        QCOMPARE(rowState(u"WCAL"_s), u"未读取"_s); // a new connection: nothing read yet
        r.click(u"calStartButton"_s);
        r.click(u"calZeroButton"_s);
        confirm();
        QTRY_COMPARE(r.text(u"calStepLabel"_s), u"第 2 步 / 共 3 步"_s);
    }

    void console()
    {
        TrafficLog *log = r.manager->session()->log();
        open("consoleButton", "consolePage");

        QObject *field = r.object(u"commandField"_s);
        r.object(u"endingBox"_s)->setProperty("currentIndex", 1); // CR LF: one command, not two
        field->setProperty("text", u"AT+VERSION?"_s);
        r.click(u"sendButton"_s);
        QTRY_COMPARE(r.text(u"replyLabel"_s), u"应答: V1.0.1"_s);
        QTRY_COMPARE(r.sensor->commands().last(), u"AT+VERSION?"_s);
        log->flush();
        QVERIFY(log->text().contains(u" TX AT+VERSION?\\r\\n\n"_s));

        // Hex bytes for "AT\r": the sensor answers, the display keeps reading text.
        QMetaObject::invokeMethod(r.object(u"endingBox"_s), "activated", Q_ARG(int, 3));
        field->setProperty("text", u"41 54 0d"_s);
        r.click(u"sendButton"_s);
        QTRY_COMPARE(r.text(u"replyLabel"_s), u"应答: OK"_s);
        QCOMPARE(r.sensor->commands().last(), u"AT"_s);
        r.sensor->setLoad(6.25);
        displayShows(6.25);

        // "!" ending, recalled from the history with the up key.
        r.object(u"endingBox"_s)->setProperty("currentIndex", 2);
        r.item(u"commandField"_s)->forceActiveFocus();
        for (int i = 0; i < 2; ++i)
            QTest::keyClick(r.window, Qt::Key_Up);
        QCOMPARE(field->property("text").toString(), u"AT+VERSION?"_s);
        QTest::keyClick(r.window, Qt::Key_Return);
        QTRY_COMPARE(r.sensor->commands().size() > 0
                             && r.sensor->commands().last() == u"AT+VERSION?"_s
                             && r.text(u"replyLabel"_s) == u"应答: V1.0.1"_s,
                     true);
        // Each command once, newest last; up starts again from the newest.
        QCOMPARE(r.manager->session()->history(), (QStringList{u"41 54 0d"_s, u"AT+VERSION?"_s}));
        QTest::keyClick(r.window, Qt::Key_Up);
        QCOMPARE(field->property("text").toString(), u"AT+VERSION?"_s);
        // Another request's answer is not the console's; an unanswered command says so.
        QSignalSpy replied(r.manager->session()->channel(), &SensorChannel::replied);
        QVERIFY(r.manager->session()->channel()->request(u"AT+SN\r"_s) >= 0);
        QVERIFY(replied.wait());
        QCOMPARE(r.text(u"replyLabel"_s), u"应答: V1.0.1"_s);
        r.sensor->setReplying(false);
        QTest::keyClick(r.window, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(r.text(u"replyLabel"_s), u"无应答"_s, 10000);

        // Paused, the rows in sight turn to hex all the same.
        r.click(u"pauseButton"_s);
        QMetaObject::invokeMethod(r.object(u"viewBox"_s), "activated", Q_ARG(int, 1));
        const auto newest = [view = r.object(u"trafficView"_s)] {
            QQuickItem *row = nullptr; // a received line: the sensor reports 30 times a second
            QMetaObject::invokeMethod(view, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, row),
                                      Q_ARG(int, view->property("count").toInt() - 1));
            return row ? row->property("text").toString() : QString();
        };
        QTRY_VERIFY2(newest().endsWith(u" 0D 0A"_s), qPrintable(newest()));

        // Sent or not (here, disconnected), the history keeps the newest fifty.
        r.manager->disconnectSerialPort();
        for (int i = 0; i < 60; ++i)
            r.manager->session()->sendCommand(QString::number(i), u"x"_s, false);
        QCOMPARE(r.manager->session()->history().first(), u"10"_s);
    }

    // Firmware that ends lines with CR alone: each reply on a row of its own, and with the
    // weights hidden the command and its reply stay in sight.
    void crOnlySensor()
    {
        r.sensor->setLineEnding("\r");
        open("consoleButton", "consolePage");
        TrafficLog *log = r.manager->session()->log();
        const auto lastRows = [log](int n) {
            QStringList rows;
            for (int i = log->count() - n; i < log->count(); ++i)
                rows << log->index(i).data().toString();
            return rows;
        };
        QTRY_VERIFY(log->text().contains(u",1,0\\r\n"_s));
        r.click(u"hideWeightsBox"_s);
        QVERIFY(log->hideWeights());
        r.object(u"endingBox"_s)->setProperty("currentIndex", 0);
        for (const char *command : {"AT+VERSION?", "AT+SN"}) {
            r.object(u"commandField"_s)->setProperty("text", QString::fromLatin1(command));
            r.click(u"sendButton"_s);
            QTRY_VERIFY(r.text(u"replyLabel"_s).startsWith(u"应答: "_s));
        }
        // The link's traffic from before the page opened is there too: the last rows are these.
        QTRY_COMPARE(lastRows(4),
                     (QStringList{"AT+VERSION?\\r", "V1.0.1\\r", "AT+SN\\r", "SN102145\\r"}));
        r.click(u"hideWeightsBox"_s);
        QVERIFY(!log->hideWeights());
        QTRY_VERIFY(log->count() > 4 && lastRows(1).constFirst().endsWith(u",1,0\\r"_s));
    }

    // What was still arriving when a command went out shows before it.
    void arrivingBytesBeforeTheCommand()
    {
        TrafficLog log;
        log.addReceived("123\r\n\x01\xff");
        log.flush();
        QVERIFY(log.text().endsWith(u" RX 123\\r\\n\n"_s)); // the unfinished noise still waits
        log.addSent("AT\r");
        log.flush();
        QVERIFY(log.text().contains(u" RX [01][FF]\n"_s));
        QVERIFY(log.text().endsWith(u" TX AT\\r\n"_s));
    }
};

QTEST_MAIN(TestWorkbench)
#include "tst_workbench.moc"

// The sensor and console pages in the real window, against a simulated sensor on a real
// pseudo-terminal, with the home page's weight display checked all along.

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"
#include "trafficlog.h"

#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
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
    // The console's rows as the window draws them, top to bottom, without their times.
    QStringList shownRows() const
    {
        QList<QQuickItem *> rows;
        for (QQuickItem *row : r.object(u"trafficView"_s)
                                       ->property("contentItem")
                                       .value<QQuickItem *>()
                                       ->childItems()) {
            if (row->isVisible() && row->property("content").isValid()) // a delegate
                rows << row;
        }
        std::sort(rows.begin(), rows.end(), [](auto *a, auto *b) { return a->y() < b->y(); });
        QStringList out;
        for (QQuickItem *row : std::as_const(rows))
            out << row->property("text").toString().section(u"  "_s, 1);
        return out;
    }
    void open(const QString &button, const QString &page, QObject *from = nullptr)
    {
        r.click(button, from);
        QTRY_VERIFY(r.item(page) && r.item(page)->isVisible());
        // Clicks go where the page ends up once the push has slid it in.
        QTRY_COMPARE(r.item(page)->x(), 0.0);
        QTRY_VERIFY(!r.object(u"pageStack"_s)
                    || !r.object(u"pageStack"_s)->property("busy").toBool());
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

    void sensorPageReadsAndSets()
    {
        open("sensorButton", "sensorPage");
        QTRY_COMPARE(r.text(u"versionLabel"_s), u"固件版本: V1.0.1"_s);
        QTRY_COMPARE(r.text(u"snLabel"_s), u"序列号: 102145"_s);
        QCOMPARE(rowState(u"DIV"_s), u"未读取"_s);

        r.click(u"readAllButton"_s);
        const QList<std::pair<QString, QString>> read = {{u"AUTO"_s, u"1 (自动上传)"_s},
                                                         {u"OPENC"_s, u"0 (否)"_s},
                                                         {u"DIV"_s, u"10"_s},
                                                         {u"CAPA"_s, u"200"_s},
                                                         {u"DEC"_s, u"3"_s},
                                                         {u"FILTER"_s, u"0 (自动)"_s},
                                                         {u"ZTRACK"_s, u"0.5"_s},
                                                         {u"PRINTX"_s, u"1 (原始格式)"_s},
                                                         {u"SAMPLERT"_s, u"0 (10 Hz)"_s},
                                                         {u"REPORTRT"_s, u"30"_s},
                                                         {u"CHANNEL"_s, u"UART1"_s},
                                                         {u"DEBUG"_s, u"0 (关)"_s},
                                                         {u"WCAL"_s, u"0"_s},
                                                         {u"QTAR"_s, u"0.000"_s}};
        for (const auto &[key, shown] : read)
            QTRY_COMPARE(rowState(key), shown);
        displayShows(3);

        // Confirmed: the editor's value goes out and shows once the sensor says OK.
        QQuickItem *div = r.item(u"row_DIV"_s);
        QObject *editor = r.object(u"choiceEditor"_s, div);
        editor->setProperty("currentIndex", 4); // 20 g
        r.click(u"setButton"_s, div);
        QTRY_COMPARE(rowState(u"DIV"_s), u"20 (已确认)"_s);
        QCOMPARE(r.sensor->setting(u"DIV"_s), u"20"_s);

        // Refused: a value no editor offers, as a sensor with other ranges would refuse.
        QObject *page = r.object(u"sensorPage"_s);
        const int reportRow = 9;
        QMetaObject::invokeMethod(page, "setRow", Q_ARG(QVariant, reportRow),
                                  Q_ARG(QVariant, u"99"_s));
        QTRY_COMPARE(rowState(u"REPORTRT"_s), u"设置被拒绝: ERR: invalid value"_s);
        QCOMPARE(r.sensor->setting(u"REPORTRT"_s), u"30"_s);
        const auto kept = [page](int row) {
            return page->property("rowStates")
                    .toList()
                    .value(row)
                    .toMap()
                    .value(u"value"_s)
                    .toString();
        };
        QCOMPARE(kept(reportRow), u"30"_s);

        // Silent: the row says so; the confirmed value stays and the editor can try again.
        r.sensor->setReplying(false);
        QQuickItem *capa = r.item(u"row_CAPA"_s);
        r.object(u"rangeEditor"_s, capa)->setProperty("value", 300);
        r.click(u"setButton"_s, capa);
        QTRY_COMPARE(rowState(u"CAPA"_s), u"设置无应答"_s);
        QCOMPARE(kept(3), u"200"_s);
        r.click(u"readButton"_s, r.item(u"row_DEC"_s));
        QTRY_COMPARE(rowState(u"DEC"_s), u"无应答"_s);
        r.sensor->setReplying(true);
        displayShows(3);

        // The output format: set here, stored for the display, which keeps reading.
        QQuickItem *printx = r.item(u"row_PRINTX"_s);
        r.object(u"choiceEditor"_s, printx)->setProperty("currentIndex", 1);
        r.click(u"setButton"_s, printx);
        QTRY_COMPARE(rowState(u"PRINTX"_s), u"2 (SG+ASCII) (已确认)"_s);
        QTRY_COMPARE(QSettings().value(u"scale/outputFormatIndex"_s).toInt(), 2);
        QVERIFY(!r.item(u"formatMismatchLabel"_s)->isVisible());
        r.sensor->setLoad(4.5);
        displayShows(4.5);
        // Changed behind the page's back: the page says the two differ.
        r.sensor->setFormat(3);
        r.click(u"readButton"_s, printx);
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
        QCOMPARE(r.js(u"stack.depth"_s).toInt(), 2);
        QObject::disconnect(r.engine.get(), &QQmlEngine::exit, qApp, nullptr); // only heard here
        QSignalSpy exit(r.engine.get(), &QQmlEngine::exit);
        r.js(u"Components.Router.back()"_s);
        QTRY_COMPARE(r.js(u"stack.depth"_s).toInt(), 1);
        QCOMPARE(exit.count(), 0);
        r.js(u"Components.Router.back()"_s);
        QCOMPARE(exit.count(), 1);
        QCOMPARE(exit.at(0).at(0).toInt(), 0);
        QCOMPARE(r.js(u"stack.depth"_s).toInt(), 1);

        // What the router cannot do, it says, and the stack stays as it was.
        const struct
        {
            const char *code, *said;
        } refusals[] = {
                {"Components.Router.navigate('/nowhere')", "Not Found Route /nowhere"},
                {"Components.Router.setStackView({ depth: 0 }); "
                 "Components.Router.navigate('/records')",
                 "Router.stackView does not support push()."},
                {"Components.Router.setStackView(null); Components.Router.navigate('/sensor')",
                 "Router.stackView is not set; call Router.setStackView(stackView) first."},
        };
        for (const auto &refusal : refusals) {
            QTest::ignoreMessage(QtCriticalMsg, refusal.said);
            r.js(QString::fromLatin1(refusal.code));
        }
        r.js(u"Components.Router.setStackView(stack)"_s);
        QCOMPARE(r.js(u"stack.depth"_s).toInt(), 1);
    }

    void calibration()
    {
        open("sensorButton", "sensorPage");
        r.sensor->setLoad(0);
        displayShows(0);
        r.click(u"calStartButton"_s);
        QCOMPARE(r.text(u"calStepLabel"_s), u"第 1 步 / 共 3 步"_s);
        r.click(u"calZeroButton"_s);
        QTRY_COMPARE(r.text(u"calStepLabel"_s), u"第 2 步 / 共 3 步"_s);
        QCOMPARE(r.sensor->commands().last(), u"AT+ZCAL"_s);

        // 10 kg on the platform, said to be 8000 g: the sensor now reads 8.
        r.sensor->setLoad(10);
        displayShows(10);
        r.object(u"calMassField"_s)->setProperty("text", u"8000"_s);
        r.object(u"calUnitBox"_s)->setProperty("currentIndex", 1);
        r.click(u"calSpanButton"_s);
        QTRY_COMPARE(r.text(u"calStepLabel"_s), u"第 3 步 / 共 3 步"_s);
        QCOMPARE(r.sensor->commands().contains(u"AT+WCAL=8000"_s), true);
        QTRY_COMPARE(r.text(u"calCheckLabel"_s),
                     u"实时读数 8.000 kg   砝码 8.000 kg   差值 0.000 kg"_s);
        QTRY_COMPARE(rowState(u"WCAL"_s), u"8000"_s);
        displayShows(8);
        r.click(u"calCancelButton"_s);
        QCOMPARE(r.text(u"calMessageLabel"_s), u"标定已结束。"_s);

        // Cancelled while the sensor is silent: the page says what may have happened.
        r.sensor->setReplying(false);
        r.click(u"calStartButton"_s);
        r.click(u"calZeroButton"_s);
        QTRY_COMPARE(r.text(u"calMessageLabel"_s), u"等待传感器确认…"_s);
        r.click(u"calCancelButton"_s);
        QCOMPARE(r.text(u"calMessageLabel"_s), u"已取消：零点标定命令已发出，传感器可能已执行。"_s);
        QVERIFY(r.item(u"calStartButton"_s)->isVisible());
    }

    void console()
    {
        open("consoleButton", "consolePage");
        auto *log = qobject_cast<TrafficLog *>(r.object(u"trafficLog"_s));
        QVERIFY(log);
        QTRY_VERIFY(log->count() > 3); // the weight stream, received

        QObject *field = r.object(u"commandField"_s);
        r.object(u"endingBox"_s)->setProperty("currentIndex", 1); // CR LF: one command, not two
        field->setProperty("text", u"AT+VERSION?"_s);
        r.click(u"sendButton"_s);
        QTRY_COMPARE(r.text(u"replyLabel"_s), u"应答: V1.0.1"_s);
        QTRY_COMPARE(r.sensor->commands().last(), u"AT+VERSION?"_s);

        // Hex bytes for "AT\r": the sensor answers, the display keeps reading text.
        r.object(u"endingBox"_s)->setProperty("currentIndex", 3);
        field->setProperty("text", u"41 54 0d"_s);
        r.click(u"sendButton"_s);
        QTRY_COMPARE(r.text(u"replyLabel"_s), u"应答: OK"_s);
        QCOMPARE(r.sensor->commands().last(), u"AT"_s);
        r.sensor->setLoad(6.25);
        displayShows(6.25);

        // "!" ending, recalled from the history with the up key.
        r.object(u"endingBox"_s)->setProperty("currentIndex", 2);
        r.item(u"commandField"_s)->forceActiveFocus();
        QTest::keyClick(r.window, Qt::Key_Up);
        QTest::keyClick(r.window, Qt::Key_Up);
        QCOMPARE(field->property("text").toString(), u"AT+VERSION?"_s);
        QTest::keyClick(r.window, Qt::Key_Return);
        QTRY_COMPARE(r.sensor->commands().size() > 0
                             && r.sensor->commands().last() == u"AT+VERSION?"_s
                             && r.text(u"replyLabel"_s) == u"应答: V1.0.1"_s,
                     true);

        log->flush();
        const QString all = log->text();
        QVERIFY(all.contains(u" TX AT+VERSION?\\r\\n\n"_s));
        QVERIFY(all.contains(u" TX AT+VERSION?!\n"_s));
        QVERIFY(all.contains(u" TX AT\\r\n"_s));
        QVERIFY(all.contains(u" RX V1.0.1\\r\\n\n"_s));
        log->setHexView(true);
        QVERIFY(log->text().contains(u" TX 41 54 0D\n"_s));

        // Saved whole, or a failure said plainly.
        QTemporaryDir dir;
        r.object(u"pathField"_s)->setProperty("text", dir.filePath(u"log.txt"_s));
        r.click(u"saveButton"_s);
        QTRY_VERIFY(r.text(u"saveMessageLabel"_s).startsWith(u"已保存到 "_s));
        QFile saved(dir.filePath(u"log.txt"_s));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("TX 41 54 0D\n"));
        r.object(u"pathField"_s)->setProperty("text", dir.filePath(u"log.txt/log.txt"_s));
        r.click(u"saveButton"_s);
        QTRY_VERIFY(r.text(u"saveMessageLabel"_s).startsWith(u"保存失败: "_s));

        // Nothing to send while disconnected, and the controls show it.
        r.manager->disconnectSerialPort();
        QTRY_VERIFY(r.item(u"notConnectedLabel"_s, r.item(u"consolePage"_s))->isVisible());
        QVERIFY(!r.item(u"sendButton"_s)->isEnabled());
        QVERIFY(!r.item(u"commandField"_s)->isEnabled());
    }

    // Firmware that ends lines with CR alone: each reply on a row of its own, and with the
    // weights hidden the command and its reply stay in sight.
    void crOnlySensor()
    {
        r.sensor->setLineEnding("\r");
        open("consoleButton", "consolePage");
        auto *log = qobject_cast<TrafficLog *>(r.object(u"trafficLog"_s));
        QTRY_VERIFY(log->text().contains(u",1,0\\r\n"_s));
        r.click(u"hideWeightsBox"_s);
        QVERIFY(log->hideWeights());
        r.object(u"endingBox"_s)->setProperty("currentIndex", 0);
        for (const char *command : {"AT+VERSION?", "AT+SN"}) {
            r.object(u"commandField"_s)->setProperty("text", QString::fromLatin1(command));
            r.click(u"sendButton"_s);
            QTRY_VERIFY(r.text(u"replyLabel"_s).startsWith(u"应答: "_s));
        }
        QTRY_COMPARE(shownRows(),
                     (QStringList{"TX  AT+VERSION?\\r", "RX  V1.0.1\\r", "TX  AT+SN\\r",
                                  "RX  SN102145\\r"}));
        r.click(u"hideWeightsBox"_s);
        QVERIFY(!log->hideWeights());
        QTRY_VERIFY(shownRows().size() > 4 && shownRows().last().endsWith(u",1,0\\r"_s));
    }

    void boundedLog()
    {
        TrafficLog log;
        log.setCapacity(100);
        for (int i = 0; i < 250; ++i)
            log.addReceived(QByteArray::number(i) + "\r\n");
        log.addReceived("12");
        log.addReceived("3\r\n\x01\xff");
        log.flush();
        QCOMPARE(log.count(), 100);
        const QStringList lines = log.text().split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(lines.first().endsWith(u" RX 151\\r\\n"_s));
        QVERIFY(lines.last().endsWith(u" RX 123\\r\\n"_s)); // the unfinished noise still waits
        log.setPaused(true);
        log.addSent("AT\r");
        log.flush();
        QVERIFY(!log.text().contains(u"TX"_s));
        log.setPaused(false);
        // What was arriving when the command went out comes before it.
        QVERIFY(log.text().contains(u" RX [01][FF]\n"_s));
        QVERIFY(log.text().endsWith(u" TX AT\\r\n"_s));
        log.clear();
        QCOMPARE(log.count(), 0);
    }
};

QTEST_MAIN(TestWorkbench)
#include "tst_workbench.moc"

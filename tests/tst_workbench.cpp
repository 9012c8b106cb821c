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

#include <memory>

using namespace Qt::Literals::StringLiterals;

class TestWorkbench : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    std::unique_ptr<SensorSimulator> m_sensor;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    SerialPortManager *m_manager = nullptr;

    // Searched through the visual tree: a Repeater's rows are not QObject children.
    static QQuickItem *findItem(QQuickItem *in, const QString &name)
    {
        const QList<QQuickItem *> children = in->childItems();
        for (QQuickItem *child : children) {
            if (child->objectName() == name)
                return child;
        }
        for (QQuickItem *child : children) {
            if (QQuickItem *found = findItem(child, name))
                return found;
        }
        return nullptr;
    }
    template<typename T = QQuickItem>
    T *find(const QString &name, QObject *in = nullptr) const
    {
        if (T *found = (in ? in : m_window)->findChild<T *>(name))
            return found;
        auto *item = qobject_cast<QQuickItem *>(in);
        return qobject_cast<T *>(findItem(item ? item : m_window->contentItem(), name));
    }
    QString text(const QString &name, QObject *in = nullptr) const
    {
        QObject *o = find<QObject>(name, in);
        return o ? o->property("text").toString() : u"<no %1>"_s.arg(name);
    }
    QString rowState(const QString &key) const
    {
        QQuickItem *row = find(u"row_"_s + key);
        return row ? text(u"stateLabel"_s, row) : u"<no row %1>"_s.arg(key);
    }
    void click(QQuickItem *item)
    {
        QVERIFY(item);
        QTRY_VERIFY(item->isVisible() && item->isEnabled());
        // Layouts place a control that just appeared at the next frame.
        QSignalSpy swapped(m_window, &QQuickWindow::frameSwapped);
        m_window->update();
        QVERIFY(swapped.wait());
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, {}, centre.toPoint());
    }
    void click(const QString &name, QObject *in = nullptr) { click(find(name, in)); }
    // The home page stays below the pushed page: its reading must keep following the load.
    void displayShows(double kg)
    {
        QQuickItem *display = find(u"weightDisplay"_s);
        QVERIFY(display);
        QTRY_VERIFY(display->property("live").toBool());
        QTRY_COMPARE(display->property("weightValue").toDouble(), kg);
    }
    void open(const char *button, const char *page)
    {
        click(find(QLatin1String(button)));
        QTRY_VERIFY(find(QLatin1String(page)) && find(QLatin1String(page))->isVisible());
        // Clicks go where the page ends up once the push has slid it in.
        QTRY_COMPARE(find(QLatin1String(page))->x(), 0.0);
        QTRY_VERIFY(!find<QObject>(u"pageStack"_s) || !find<QObject>(u"pageStack"_s)->property("busy").toBool());
        if (qEnvironmentVariableIsSet("PELORA_GRAB"))
            m_window->grabWindow().save(QLatin1String(page) + u".png"_s);
    }

private Q_SLOTS:
    void initTestCase() { Pelora::setIdentity(*qApp, u"PeloraWorkbenchTest"_s); }

    void init()
    {
        QSettings().clear();
        m_sensor = std::make_unique<SensorSimulator>();
        QVERIFY(m_sensor->start());
        m_sensor->setNoiseEnabled(false);
        m_sensor->setResponseTime(0);
        m_sensor->setStableTime(0);
        m_sensor->setReportRate(30);
        SerialPortManager::setDefaultPortEnumerator([this] {
            return m_sensor->isPlugged() ? QStringList{m_sensor->portName()} : QStringList();
        });
        QSettings().setValue(u"serial/portName"_s, m_sensor->portName());
        m_engine = std::make_unique<QQmlApplicationEngine>();
        Pelora::loadRoot(*m_engine, *qApp);
        QCOMPARE(m_engine->rootObjects().size(), 1);
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
        QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
        m_manager = m_window->findChild<SerialPortManager *>();
        QTRY_VERIFY(m_manager->isConnected());
        m_sensor->setLoad(3);
        displayShows(3);
    }
    void cleanup()
    {
        m_engine.reset();
        m_window = nullptr;
        m_sensor.reset();
        SerialPortManager::setDefaultPortEnumerator({});
    }

    void sensorPageReadsAndSets()
    {
        open("sensorButton", "sensorPage");
        QTRY_COMPARE(text(u"versionLabel"_s), u"固件版本: V1.0.1"_s);
        QTRY_COMPARE(text(u"snLabel"_s), u"序列号: 102145"_s);
        QCOMPARE(rowState(u"DIV"_s), u"未读取"_s);

        click(u"readAllButton"_s);
        const QList<std::pair<QString, QString>> read = {
                {u"AUTO"_s, u"1 (自动上传)"_s}, {u"OPENC"_s, u"0 (否)"_s}, {u"DIV"_s, u"10"_s},
                {u"CAPA"_s, u"200"_s}, {u"DEC"_s, u"3"_s}, {u"FILTER"_s, u"0 (自动)"_s},
                {u"ZTRACK"_s, u"0.5"_s}, {u"PRINTX"_s, u"1 (原始格式)"_s},
                {u"SAMPLERT"_s, u"0 (10 Hz)"_s}, {u"REPORTRT"_s, u"30"_s},
                {u"CHANNEL"_s, u"UART1"_s}, {u"DEBUG"_s, u"0 (关)"_s}, {u"WCAL"_s, u"0"_s},
                {u"QTAR"_s, u"0.000"_s}};
        for (const auto &[key, shown] : read)
            QTRY_COMPARE(rowState(key), shown);
        displayShows(3);

        // Confirmed: the editor's value goes out and shows once the sensor says OK.
        QQuickItem *div = find(u"row_DIV"_s);
        QObject *editor = find<QObject>(u"choiceEditor"_s, div);
        editor->setProperty("currentIndex", 4); // 20 g
        click(u"setButton"_s, div);
        QTRY_COMPARE(rowState(u"DIV"_s), u"20 (已确认)"_s);
        QCOMPARE(m_sensor->setting(u"DIV"_s), u"20"_s);

        // Refused: a value no editor offers, as a sensor with other ranges would refuse.
        QObject *page = find<QObject>(u"sensorPage"_s);
        const int reportRow = 9;
        QMetaObject::invokeMethod(page, "setRow", Q_ARG(QVariant, reportRow), Q_ARG(QVariant, u"99"_s));
        QTRY_COMPARE(rowState(u"REPORTRT"_s), u"设置被拒绝: ERR: invalid value"_s);
        QCOMPARE(m_sensor->setting(u"REPORTRT"_s), u"30"_s);
        const auto kept = [page](int row) {
            return page->property("rowStates").toList().value(row).toMap().value(u"value"_s).toString();
        };
        QCOMPARE(kept(reportRow), u"30"_s);

        // Silent: the row says so; the confirmed value stays and the editor can try again.
        m_sensor->setReplying(false);
        QQuickItem *capa = find(u"row_CAPA"_s);
        find<QObject>(u"rangeEditor"_s, capa)->setProperty("value", 300);
        click(u"setButton"_s, capa);
        QTRY_COMPARE(rowState(u"CAPA"_s), u"设置无应答"_s);
        QCOMPARE(kept(3), u"200"_s);
        click(u"readButton"_s, find(u"row_DEC"_s));
        QTRY_COMPARE(rowState(u"DEC"_s), u"无应答"_s);
        m_sensor->setReplying(true);
        displayShows(3);

        // The output format: set here, stored for the display, which keeps reading.
        QQuickItem *printx = find(u"row_PRINTX"_s);
        find<QObject>(u"choiceEditor"_s, printx)->setProperty("currentIndex", 1);
        click(u"setButton"_s, printx);
        QTRY_COMPARE(rowState(u"PRINTX"_s), u"2 (SG+ASCII) (已确认)"_s);
        QTRY_COMPARE(QSettings().value(u"scale/outputFormatIndex"_s).toInt(), 2);
        QVERIFY(!find(u"formatMismatchLabel"_s)->isVisible());
        m_sensor->setLoad(4.5);
        displayShows(4.5);
        // Changed behind the page's back: the page says the two differ.
        m_sensor->setFormat(3);
        click(u"readButton"_s, printx);
        QTRY_VERIFY(find(u"formatMismatchLabel"_s)->isVisible());
        QCOMPARE(text(u"formatMismatchLabel"_s), u"传感器输出格式 (3) 与本机设置 (2) 不一致"_s);
    }

    void calibration()
    {
        open("sensorButton", "sensorPage");
        m_sensor->setLoad(0);
        displayShows(0);
        click(u"calStartButton"_s);
        QCOMPARE(text(u"calStepLabel"_s), u"第 1 步 / 共 3 步"_s);
        click(u"calZeroButton"_s);
        QTRY_COMPARE(text(u"calStepLabel"_s), u"第 2 步 / 共 3 步"_s);
        QCOMPARE(m_sensor->commands().last(), u"AT+ZCAL"_s);

        // 10 kg on the platform, said to be 8000 g: the sensor now reads 8.
        m_sensor->setLoad(10);
        displayShows(10);
        find<QObject>(u"calMassField"_s)->setProperty("text", u"8000"_s);
        find<QObject>(u"calUnitBox"_s)->setProperty("currentIndex", 1);
        click(u"calSpanButton"_s);
        QTRY_COMPARE(text(u"calStepLabel"_s), u"第 3 步 / 共 3 步"_s);
        QCOMPARE(m_sensor->commands().contains(u"AT+WCAL=8000"_s), true);
        QTRY_COMPARE(text(u"calCheckLabel"_s), u"实时读数 8.000 kg   砝码 8.000 kg   差值 0.000 kg"_s);
        QTRY_COMPARE(rowState(u"WCAL"_s), u"8000"_s);
        displayShows(8);
        click(u"calCancelButton"_s);
        QCOMPARE(text(u"calMessageLabel"_s), u"标定已结束。"_s);

        // Cancelled while the sensor is silent: the page says what may have happened.
        m_sensor->setReplying(false);
        click(u"calStartButton"_s);
        click(u"calZeroButton"_s);
        QTRY_COMPARE(text(u"calMessageLabel"_s), u"等待传感器确认…"_s);
        click(u"calCancelButton"_s);
        QCOMPARE(text(u"calMessageLabel"_s), u"已取消：零点标定命令已发出，传感器可能已执行。"_s);
        QVERIFY(find(u"calStartButton"_s)->isVisible());
    }

    void console()
    {
        open("consoleButton", "consolePage");
        auto *log = find<TrafficLog>(u"trafficLog"_s);
        QVERIFY(log);
        QTRY_VERIFY(log->count() > 3); // the weight stream, received

        QObject *field = find<QObject>(u"commandField"_s);
        field->setProperty("text", u"AT+VERSION?"_s);
        click(u"sendButton"_s);
        QTRY_COMPARE(text(u"replyLabel"_s), u"应答: V1.0.1"_s);
        QTRY_COMPARE(m_sensor->commands().last(), u"AT+VERSION?"_s);

        // Hex bytes for "AT\r": the sensor answers, the display keeps reading text.
        find<QObject>(u"endingBox"_s)->setProperty("currentIndex", 3);
        field->setProperty("text", u"41 54 0d"_s);
        click(u"sendButton"_s);
        QTRY_COMPARE(text(u"replyLabel"_s), u"应答: OK"_s);
        QCOMPARE(m_sensor->commands().last(), u"AT"_s);
        m_sensor->setLoad(6.25);
        displayShows(6.25);

        // "!" ending, recalled from the history with the up key.
        find<QObject>(u"endingBox"_s)->setProperty("currentIndex", 2);
        find(u"commandField"_s)->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_Up);
        QTest::keyClick(m_window, Qt::Key_Up);
        QCOMPARE(field->property("text").toString(), u"AT+VERSION?"_s);
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_COMPARE(m_sensor->commands().size() > 0 && m_sensor->commands().last() == u"AT+VERSION?"_s
                             && text(u"replyLabel"_s) == u"应答: V1.0.1"_s,
                     true);

        log->flush();
        const QString all = log->text();
        QVERIFY(all.contains(u" TX AT+VERSION?\\r\n"_s));
        QVERIFY(all.contains(u" TX AT+VERSION?!\n"_s));
        QVERIFY(all.contains(u" TX AT\\r\n"_s));
        QVERIFY(all.contains(u" RX V1.0.1\\r\\n\n"_s));
        log->setHexView(true);
        QVERIFY(log->text().contains(u" TX 41 54 0D\n"_s));

        // Saved whole, or a failure said plainly.
        QTemporaryDir dir;
        find<QObject>(u"pathField"_s)->setProperty("text", dir.filePath(u"log.txt"_s));
        click(u"saveButton"_s);
        QTRY_VERIFY(text(u"saveMessageLabel"_s).startsWith(u"已保存到 "_s));
        QFile saved(dir.filePath(u"log.txt"_s));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("TX 41 54 0D\n"));
        find<QObject>(u"pathField"_s)->setProperty("text", dir.filePath(u"no/such/dir/log.txt"_s));
        click(u"saveButton"_s);
        QTRY_VERIFY(text(u"saveMessageLabel"_s).startsWith(u"保存失败: "_s));

        // Nothing to send while disconnected, and the controls show it.
        m_manager->disconnectSerialPort();
        QTRY_VERIFY(find(u"notConnectedLabel"_s, find(u"consolePage"_s))->isVisible());
        QVERIFY(!find(u"sendButton"_s)->isEnabled());
        QVERIFY(!find(u"commandField"_s)->isEnabled());
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

// Weighing records as an operator makes them: the real window against the simulated sensor
// over a real pseudo-terminal, the records in a scratch application-data folder.

#include "recordstore.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class tst_RecordsWindow : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch; // also the application-data folder
    std::unique_ptr<SensorSimulator> m_sensor;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    RecordStore *m_store = nullptr;

    QQuickItem *find(const char *name) const
    {
        return m_window->findChild<QQuickItem *>(QLatin1String(name));
    }
    void click(QQuickItem *item)
    {
        QVERIFY(item);
        QTRY_VERIFY(item->isVisible() && item->isEnabled());
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, {}, centre.toPoint());
    }
    QList<double> weights() const
    {
        QList<double> out;
        for (const QVariant &r : m_store->recordsBetween(-1, -1))
            out << r.toMap().value(QStringLiteral("weightKg")).toDouble();
        return out;
    }
    // Lets the sensor send this many more readings.
    void readings(int count)
    {
        QSignalSpy lines(m_sensor.get(), &SensorSimulator::lineSent);
        QTRY_VERIFY(lines.count() >= count);
    }
    void put(double kg)
    {
        m_sensor->setLoad(kg);
        readings(25); // the load settles well within this
    }

private Q_SLOTS:
    void initTestCase() { Pelora::setIdentity(*qApp, QStringLiteral("PeloraRecordsTest")); }

    void loadsOnAndOffGiveOneRecordEach()
    {
        m_sensor = std::make_unique<SensorSimulator>();
        QVERIFY(m_sensor->start());
        m_sensor->setNoiseEnabled(false);
        m_sensor->setResponseTime(0);
        m_sensor->setStableTime(150);
        SerialPortManager::setDefaultPortEnumerator([this] {
            return m_sensor->isPlugged() ? QStringList{m_sensor->portName()} : QStringList();
        });
        QSettings().setValue(QStringLiteral("serial/portName"), m_sensor->portName());
        m_engine = std::make_unique<QQmlApplicationEngine>();
        Pelora::loadRoot(*m_engine, *qApp);
        QCOMPARE(m_engine->rootObjects().size(), 1);
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
        QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
        auto *manager = m_window->findChild<SerialPortManager *>();
        QTRY_VERIFY(manager->isConnected());

        put(0);
        // Made with the first reading.
        m_store = m_engine->property("_peloraRecordStore").value<RecordStore *>();
        QVERIFY(m_store);
        QVERIFY(m_store->databasePath().startsWith(m_scratch.path()));
        QVERIFY2(m_store->errorText().isEmpty(), qPrintable(m_store->errorText()));
        put(2.5);
        QCOMPARE(weights(), QList<double>{2.5});
        readings(40); // left standing
        put(0);
        put(4);
        put(7); // added on top
        put(250); // beyond the capacity
        put(7);
        QCOMPARE(weights(), (QList<double>{2.5, 4, 7}));

        // Stale: the sensor stops reporting; the display stops being live.
        auto *display = find("weightDisplay");
        m_sensor->setAutoReport(false);
        QTRY_VERIFY_WITH_TIMEOUT(!display->property("live").toBool(), 5000);
        m_sensor->unplug();
        QTRY_VERIFY(!manager->isConnected());
        QCOMPARE(weights(), (QList<double>{2.5, 4, 7}));

        // The records page shows them newest first; the manual button follows the reading.
        click(find("recordsButton"));
        QQuickItem *button = nullptr;
        QTRY_VERIFY((button = find("recordNowButton")));
        QTRY_VERIFY(find("recordList") && find("recordList")->isVisible());
        QVERIFY(!button->isEnabled());
        QCOMPARE(find("todaySummary")->property("text").toString(),
                 QStringLiteral("今日 3 条，合计 13.500 公斤"));
        QVERIFY(m_sensor->plug());
        QTRY_VERIFY_WITH_TIMEOUT(manager->isConnected(), 5000);
        m_sensor->setAutoReport(true);
        put(7); // the same load after a reconnect: nothing new
        QCOMPARE(weights().size(), 3);
        QTRY_VERIFY(button->isEnabled());
        click(button);
        QTRY_COMPARE(weights().size(), 4);
        QVERIFY(m_store->records().first().toMap().value(QStringLiteral("manual")).toBool());
        QTRY_VERIFY(find("recordMarks")->property("count").toInt() >= 3);

        const QByteArray shots = qgetenv("PELORA_RECORDS_SHOTS");
        if (!shots.isEmpty())
            QVERIFY(m_window->grabWindow().save(QString::fromLocal8Bit(shots)
                                                + QStringLiteral("/records-page.png")));
        m_engine.reset();
        m_sensor.reset();
        SerialPortManager::setDefaultPortEnumerator({});
    }
};

QTEST_MAIN(tst_RecordsWindow)
#include "tst_recordswindow.moc"

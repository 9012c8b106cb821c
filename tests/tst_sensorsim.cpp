// The simulated sensor, seen through the tool's own serial port manager: it answers the
// commands the tool sends, and its lines carry the load it was given, with the stability and
// net/gross letters right, in each output format.

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "testsupport.h"

#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class TestSensorSim : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_settings;
    std::unique_ptr<SensorSimulator> m_sim;
    std::unique_ptr<SerialPortManager> m_manager;

    void send(const QString &command) { m_manager->sendData(command + u'\r', false); }
    QString received() const { return m_manager->receivedData(); }
    QString newestLine() const
    {
        const QStringList lines = received().split(u"\r\n"_s);
        return lines.size() > 1 ? lines.at(lines.size() - 2) : QString();
    }

private Q_SLOTS:
    void init()
    {
        m_manager.reset();
        m_sim = std::make_unique<SensorSimulator>();
        m_sim->setNoiseEnabled(false);
        m_sim->setResponseTime(0);
        m_sim->setAutoReport(false);
        QVERIFY(m_sim->start());
        m_manager = std::make_unique<SerialPortManager>();
        m_manager->setPortEnumerator([sim = m_sim.get()] {
            return sim->isPlugged() ? QStringList{sim->portName()} : QStringList{};
        });
        QVERIFY(m_manager->connectSerialPort(m_sim->portName(), 115200, 8, 0, 1, 0));
    }

    // Steps: a number puts that load (kg) on the platform, "AT..." is sent as a command, "="
    // and a line is a reply that must arrive, anything else is what the newest line must become.
    void readings_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("native") << QStringList{"AT+PRINTX=1", "5.2", "ST005.200,1,0", "-1.23",
                                               "ST-001.230,1,0"};
        QTest::newRow("SG+ASCII") << QStringList{"AT+PRINTX=2", "5.2", "sg0005.200kg", "-1.23",
                                                 "sg-001.230kg"};
        QTest::newRow("number") << QStringList{"AT+PRINTX=3", "5.2", "5.200", "-1.23", "-1.230"};
        // Tare shows net from the present load; zero makes the present load zero and drops it.
        QTest::newRow("tare, zero") << QStringList{
                "AT+PRINTX=2",    "3", "sg0003.000kg", "AT+TARE", "sn0000.000kg", "AT+QTAR",
                "=AT+QTAR=3.000", "5", "sn0002.000kg", "AT+ZERO", "sg0000.000kg", "4",
                "sg-001.000kg"};
    }

    void readings()
    {
        QFETCH(QStringList, steps);
        send(u"AT+AUTO=1"_s);
        for (const QString &step : std::as_const(steps)) {
            bool isLoad = false;
            const double kg = step.toDouble(&isLoad);
            if (isLoad)
                m_sim->setLoad(kg);
            else if (step.startsWith(u"AT"))
                send(step);
            else if (step.startsWith(u'='))
                QTRY_VERIFY(received().contains(u"\r\n"_s + step.mid(1) + u"\r\n"_s));
            else
                QTRY_COMPARE(newestLine(), step);
        }
    }
};

QTEST_MAIN(TestSensorSim)
#include "tst_sensorsim.moc"

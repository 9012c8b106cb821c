// The audit log's events, noticed on a real link to the simulated sensor with the habits of
// real firmware: slow answers, every command line echoed, CR line ends, one command at a time.
// Each event is compared as "type key=value ..." (keys in order), in the order they came.

#include "appsettings.h"
#include "recordstore.h"
#include "scaleaudit.h"
#include "sensorchannel.h"
#include "sensorparameters.h"
#include "sensorsession.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"
#include "weighrecorder.h"

#include <QQmlEngine>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

void qml_register_types_Pelora(); // the module's generated type registration

class TestScaleAudit : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    std::unique_ptr<SensorSimulator> m_sim;
    std::unique_ptr<SerialPortManager> m_manager;
    std::unique_ptr<ScaleAudit> m_audit;
    std::unique_ptr<QSignalSpy> m_events;

    static QStringList render(const QSignalSpy &spy, const QString &port = {})
    {
        QStringList out;
        for (const QList<QVariant> &event : spy) {
            QString line = event.at(0).toString();
            const QVariantMap fields = event.at(1).toMap();
            for (auto it = fields.begin(); it != fields.end(); ++it) {
                QString value = it.value().toString();
                line += u' ' + it.key() + u'='
                        + (value == port && !port.isEmpty() ? u"SIM"_s : value);
            }
            out << line;
        }
        return out;
    }
    QStringList events() const { return render(*m_events, m_sim->portName()); }
    SensorSession *session() const { return m_manager->session(); }
    // What the weight display's buttons do: straight onto the wire, past the channel.
    void press(const QString &command) { m_manager->sendData(command + u'\r', false); }

private Q_SLOTS:
    void initTestCase()
    {
        Pelora::setIdentity(*QCoreApplication::instance(), u"PeloraScaleAuditTest"_s);
    }
    void init()
    {
        m_sim = std::make_unique<SensorSimulator>();
        m_sim->setNoiseEnabled(false);
        m_sim->setResponseTime(0);
        m_sim->setLineEnding("\r");
        m_sim->setConfirmation(SensorSimulator::Confirmation::CommandEcho);
        m_sim->setReplyLatency(150, 600);
        m_sim->setOneCommandAtATime(true);
        m_sim->setLoad(5);
        QVERIFY(m_sim->start());
        m_manager = std::make_unique<SerialPortManager>();
        m_manager->setPortEnumerator([] { return QStringList(); });
        session()->channel()->setTimeout(1500);
        m_audit = std::make_unique<ScaleAudit>(nullptr);
        m_events = std::make_unique<QSignalSpy>(m_audit.get(), &ScaleAudit::happened);
        m_audit->follow(m_manager.get());
        QVERIFY(m_manager->connectSerialPort(m_sim->portName(), 115200, 8, 0, 1, 0));
        QTRY_COMPARE(m_sim->reading().weight, 5.0); // the span can be calibrated on it
    }
    void cleanup()
    {
        m_events.reset();
        m_audit.reset();
        m_manager.reset();
        m_sim.reset();
    }

    // Zero, tare and calibration from the display, the console and the sensor page, each with
    // what the sensor said, and the link's ends.
    void commandsAndTheLink()
    {
        press(u"AT+ZERO"_s);
        QTRY_COMPARE(m_events->count(), 2);
        // Refused by the sensor; the page's span calibration waits until the tare is answered.
        m_sim->setRefusedActions({u"TARE"_s});
        press(u"AT+TARE"_s);
        QVERIFY(session()->channel()->request(u"AT+WCAL=5000\r"_s) > 0);
        QTRY_COMPARE(m_events->count(), 4);
        m_sim->setRefusedActions({});
        // Silence: nothing but the channel's timeout ends it.
        m_sim->setReplying(false);
        press(u"AT+ZERO"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_events->count(), 5, 5000);
        m_sim->setReplying(true);
        QVERIFY(session()->sendCommand(u"at+zcal"_s, u"at+zcal\r"_s, false));
        QTRY_COMPARE(m_events->count(), 6);
        // The adapter pulled while the tare's answer is still due.
        QSignalSpy heard(m_sim.get(), &SensorSimulator::commandReceived);
        press(u"AT+TARE"_s);
        QVERIFY(heard.wait());
        m_sim->unplug();
        QTRY_COMPARE(m_events->count(), 8);
        QCOMPARE(events(),
                 QStringList({u"connect baud=115200 port=SIM"_s,
                              u"zero command=AT+ZERO outcome=ok reply=OK"_s,
                              u"tare command=AT+TARE outcome=refused reply=ERR: unstable"_s,
                              u"calibrate-span grams=5000 outcome=ok reply=OK"_s,
                              u"zero command=AT+ZERO outcome=timeout reply="_s,
                              u"calibrate-zero outcome=ok reply=OK"_s,
                              u"tare command=AT+TARE outcome=closed reply="_s,
                              u"disconnect port=SIM"_s}));
    }

    // The sensor page's writes are told once, when read back, with the value known before;
    // a setting typed in the console is told with the sensor's answer.
    void settings()
    {
        SensorParameters *parameters = session()->parameters();
        QVERIFY(parameters->read(u"DIV"_s, u"AT+DIV?\r"_s));
        QTRY_VERIFY(parameters->hasValue(u"DIV"_s));
        const auto write = [parameters](const QString &key, const QString &value) {
            return parameters->write(key, u"AT+%1=%2\r"_s.arg(key, value), value,
                                     u"AT+%1?\r"_s.arg(key));
        };
        QVERIFY(write(u"DIV"_s, u"20"_s));
        QTRY_COMPARE(m_events->count(), 2);
        QVERIFY(write(u"DIV"_s, u"0"_s));
        QTRY_COMPARE(m_events->count(), 3);
        // A sealed scale answers yes and keeps its value.
        m_sim->setSettingsLocked(true);
        QVERIFY(write(u"CAPA"_s, u"300"_s));
        QTRY_COMPARE(m_events->count(), 4);
        m_sim->setSettingsLocked(false);
        QVERIFY(session()->sendCommand(u"AT+FILTER=2"_s, u"AT+FILTER=2\r"_s, false));
        QVERIFY(session()->sendCommand(u"AT+DIV=7"_s, u"AT+DIV=7\r"_s, false));
        QTRY_COMPARE(m_events->count(), 6);
        QTRY_COMPARE(session()->channel()->pendingCount(), 0);
        QCOMPARE(events(),
                 QStringList({u"connect baud=115200 port=SIM"_s,
                              u"setting key=DIV new=20 old=10 outcome=confirmed reply=OK"_s,
                              u"setting key=DIV new=0 old=20 outcome=refused "
                              u"reply=ERR: invalid value"_s,
                              u"setting key=CAPA new=300 old= outcome=not-applied reply=OK"_s,
                              u"setting key=FILTER new=2 old= outcome=accepted reply=OK"_s,
                              u"setting key=DIV new=7 old=20 outcome=accepted reply=OK"_s}));
        m_manager->disconnectSerialPort();
        QCOMPARE(events().last(), u"disconnect port=SIM"_s);
    }

    // What the tool itself keeps: the output format and unit, and the recorder's minimum load,
    // through the engine's one audit, which follows the application's settings.
    void toolSettings()
    {
        qml_register_types_Pelora();
        QQmlEngine engine;
        auto *audit
                = engine.singletonInstance<ScaleAudit *>(qmlTypeId("Pelora", 254, 0, "ScaleAudit"));
        QVERIFY(audit);
        QCOMPARE(ScaleAudit::create(&engine, &engine), audit);
        QSignalSpy events(audit, &ScaleAudit::happened);
        WeighRecorder recorder(nullptr);
        audit->followRecorder(&recorder);
        AppSettings *settings = AppSettings::instance();
        settings->setOutputFormat(3);
        settings->setWeightUnit(0);
        settings->setOutputFormat(2);
        settings->setOutputFormat(2);
        recorder.setMinDivisions(50);
        settings->setWeightUnit(1);
        QCOMPARE(render(events),
                 QStringList({u"format new=3 old=1"_s, u"unit new=0 old=1"_s,
                              u"format new=2 old=3"_s, u"min-load new=50 old=20"_s,
                              u"unit new=1 old=0"_s}));
    }
};

QTEST_MAIN(TestScaleAudit)
#include "tst_scaleaudit.moc"

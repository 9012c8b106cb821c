// The simulated sensor, seen through the tool's own serial port manager and its protocol
// script: what the tool sends must reach the sensor as commands, and what the sensor sends
// must parse back to the readings it was given.

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class TestSensorSim : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_settings;
    QQmlEngine m_engine;
    std::unique_ptr<QObject> m_protocol;
    std::unique_ptr<SensorSimulator> m_sim;
    std::unique_ptr<SerialPortManager> m_manager;

    // Calls a function of the protocol object below; each returns text.
    template<typename... Args>
    QString js(const char *function, const Args &...args)
    {
        QVariant r;
        QMetaObject::invokeMethod(m_protocol.get(), function, Q_RETURN_ARG(QVariant, r),
                                  Q_ARG(QVariant, QVariant(args))...);
        return r.toString();
    }
    void send(const QString &builder, const QVariantList &args = {})
    {
        m_manager->sendData(js("call", builder, args), false);
    }
    QString received() const { return m_manager->receivedData(); }
    int completeLines() const { return int(received().count(u"\r\n"_s)); }
    QStringList replies() { return js("replies", received()).split(u'\n', Qt::SkipEmptyParts); }
    QString shown(int format) { return js("shown", format, received()); }

private Q_SLOTS:
    void initTestCase()
    {
        TestSupport::prepareEngine(m_engine);
        QQmlComponent component(&m_engine);
        component.setData(R"(
            import QtQml
            import "qrc:/qt/qml/Pelora/src/protocol/WeighProtocol.js" as P
            QtObject {
                function call(name, args) {
                    const f = P[name] // a builder, or a table looked up by key
                    return typeof f === "function" ? f.apply(null, args) : f[args[0]]
                }
                // Each complete line as parseLine reads it (kind, then its fields), one a line.
                function replies(data) {
                    return data.split("\r\n").slice(0, -1).map(line => {
                        const r = P.parseLine(line) || {}
                        return [r.kind, r.version, r.sn, r.key, r.value]
                                .filter(x => x !== undefined).join(" ")
                    }).join("\n")
                }
                // The latest reading as "status weight flags": s(table), o(verload), n(et).
                function shown(format, data) {
                    const f = P[["parseLatestWeightFromBuffer", "parseLatestMerovantWeightFromBuffer",
                                 "parseLatestNumericWeightFromBuffer"][format - 1]](data) || {}
                    return [f.status || "", f.weight, (f.stable ? "s" : "-")
                            + (f.overload ? "o" : "-") + (f.net ? "n" : "-")].join(" ")
                }
            })",
                          QUrl(u"qrc:/tst_sensorsim.qml"_s));
        m_protocol.reset(component.create());
        QVERIFY2(m_protocol, qPrintable(component.errorString()));
    }

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

    // Steps: a number puts that load (kg) on the platform, a word sends that command with its
    // argument, anything else is what the latest reading must come to show.
    void readings_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("native") << 1 << QStringList{"5.2", "ST 5.2 s--", "-1.23", "ST -1.23 s--"};
        QTest::newRow("Merovant") << 2 << QStringList{"5.2", "SG 5.2 s--", "-1.23", "SG -1.23 s--"};
        QTest::newRow("number") << 3 << QStringList{"5.2", " 5.2 s--", "-1.23", " -1.23 s--"};
        // Tare shows net from the present load; zero makes the present load zero and drops it.
        QTest::newRow("tare, zero")
                << 2
                << QStringList{"3", "SG 3 s--", "tare", "SN 0 s-n", "qtarQuery", "echo QTAR 3.000",
                               "5", "SN 2 s-n", "zero", "SG 0 s--", "4",         "SG -1 s--"};
    }

    void readings()
    {
        QFETCH(int, format);
        QFETCH(QStringList, steps);
        send(u"printxSet"_s, {format});
        send(u"autoSet"_s, {true});
        for (const QString &step : std::as_const(steps)) {
            bool isLoad = false;
            const double kg = step.toDouble(&isLoad);
            const QStringList words = step.split(u' ');
            if (isLoad)
                m_sim->setLoad(kg);
            else if (step.startsWith(u"echo"))
                QTRY_VERIFY(replies().contains(step));
            else if (step.front().isLower())
                send(words.first(), QVariantList(words.begin() + 1, words.end()));
            else
                QTRY_COMPARE(shown(format), step);
        }
    }

    void streamingRate_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("5/s") << 5;
        QTest::newRow("30/s") << 30;
    }

    void streamingRate()
    {
        QFETCH(int, rate);
        QElapsedTimer clock;
        clock.start();
        send(u"reportrtSet"_s, {rate});
        send(u"autoSet"_s, {1});
        // Two OKs, then rate + 1 lines spanning rate periods: about one second.
        QTRY_VERIFY(completeLines() >= 2 + rate + 1);
        QVERIFY2(clock.elapsed() > 750 && clock.elapsed() < 2000,
                 qPrintable(QString::number(clock.elapsed())));

        // Rate 0 stops the stream; a weight query still answers, once, and nothing follows.
        send(u"reportrtSet"_s, {0});
        QTRY_VERIFY(received().endsWith(u"OK\r\n"_s));
        m_manager->clearReceivedData();
        send(u"weightQuery"_s);
        QTRY_COMPARE(completeLines(), 1);
        QSignalSpy changed(m_manager.get(), &SerialPortManager::receivedDataChanged);
        QVERIFY(!changed.wait(300));
    }
};

QTEST_MAIN(TestSensorSim)
#include "tst_sensorsim.moc"

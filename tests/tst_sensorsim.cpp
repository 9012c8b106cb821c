// The simulated sensor, seen through the tool's own serial port manager and its protocol
// script: what the tool sends must reach the sensor as commands, and what the sensor sends
// must parse back to the readings it was given.

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QJSValue>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class TestSensorSim : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void commandRoundTrip_data();
    void commandRoundTrip();
    void weightFormats_data();
    void weightFormats();
    void streamingRate_data();
    void streamingRate();
    void tareAndZero();
    void overloadFollowsCapacity();
    void unplugAndPlug();
    void linkFaults();

private:
    // Calls a function of the protocol script; objects come back as maps, null as empty.
    QVariant call(const QString &function, const QVariantList &args = {});
    QString command(const QString &builder, const QVariantList &args = {});
    void send(const QString &text) { m_manager->sendData(text, false); }
    QVariantMap latestFrame(int format);
    int completeLines() const
    {
        return int(m_manager->receivedData().count(QStringLiteral("\r\n")));
    }

    TestSupport::ScratchSettings m_settings;
    QQmlEngine m_engine;
    std::unique_ptr<QObject> m_protocol;
    std::unique_ptr<SensorSimulator> m_sim;
    std::unique_ptr<SerialPortManager> m_manager;
};

void TestSensorSim::initTestCase()
{
    TestSupport::prepareEngine(m_engine);
    QQmlComponent component(&m_engine);
    component.setData(R"(
        import QtQml
        import "qrc:/qt/qml/Pelora/src/protocol/WeighProtocol.js" as P
        QtObject {
            function call(name, args) { return P[name].apply(null, args) }
            function ending(key) { return P.LineEnding[key] }
        })",
                      QUrl(QStringLiteral("qrc:/tst_sensorsim.qml")));
    m_protocol.reset(component.create());
    QVERIFY2(m_protocol, qPrintable(component.errorString()));
}

void TestSensorSim::init()
{
    m_sim = std::make_unique<SensorSimulator>();
    m_sim->setNoiseEnabled(false);
    m_sim->setResponseTime(0);
    m_sim->setAutoReport(false);
    QVERIFY(m_sim->start());

    m_manager = std::make_unique<SerialPortManager>();
    SensorSimulator *sim = m_sim.get();
    m_manager->setPortEnumerator(
            [sim] { return sim->isPlugged() ? QStringList{sim->portName()} : QStringList{}; });
    m_manager->refreshPorts();
    QCOMPARE(m_manager->portList(), QStringList{m_sim->portName()});
    QVERIFY(m_manager->connectSerialPort(m_sim->portName(), 115200, 8, 0, 1, 0));
}

void TestSensorSim::cleanup()
{
    m_manager.reset();
    m_sim.reset();
}

QVariant TestSensorSim::call(const QString &function, const QVariantList &args)
{
    QVariant result;
    QMetaObject::invokeMethod(m_protocol.get(), "call", Q_RETURN_ARG(QVariant, result),
                              Q_ARG(QVariant, function), Q_ARG(QVariant, QVariant(args)));
    if (result.metaType() == QMetaType::fromType<QJSValue>())
        result = result.value<QJSValue>().toVariant();
    return result.isNull() ? QVariant(QVariantMap{}) : result;
}

QString TestSensorSim::command(const QString &builder, const QVariantList &args)
{
    return call(builder, args).toString();
}

QVariantMap TestSensorSim::latestFrame(int format)
{
    static const char *parsers[]
            = {"parseLatestWeightFromBuffer", "parseLatestMerovantWeightFromBuffer",
               "parseLatestNumericWeightFromBuffer"};
    return call(QLatin1String(parsers[format - 1]), {m_manager->receivedData()}).toMap();
}

void TestSensorSim::commandRoundTrip_data()
{
    QTest::addColumn<QString>("endingKey");
    QTest::newRow("CR") << QStringLiteral("CR");
    QTest::newRow("CRLF") << QStringLiteral("CRLF");
    QTest::newRow("BANG") << QStringLiteral("BANG");
}

void TestSensorSim::commandRoundTrip()
{
    QFETCH(QString, endingKey);
    QVariant ending;
    QMetaObject::invokeMethod(m_protocol.get(), "ending", Q_RETURN_ARG(QVariant, ending),
                              Q_ARG(QVariant, endingKey));
    QVERIFY(!ending.toString().isEmpty());
    const QVariant e = ending;

    // Builder, its arguments, and the reply record expected back: kind, then one field.
    struct Exchange
    {
        const char *builder;
        QVariantList args;
        const char *kind;
        const char *field;
        QString value;
    };
    const QList<Exchange> exchanges = {
            {"at", {e}, "ok", "", {}},
            {"versionQuery", {e}, "version", "version", QStringLiteral("V1.0.1")},
            {"snQuery", {e}, "sn", "sn", QStringLiteral("102145")},
            {"autoQuery", {e}, "echo", "value", QStringLiteral("0")},
            {"divSet", {20, e}, "ok", "", {}},
            {"divQuery", {e}, "echo", "value", QStringLiteral("20")},
            {"ztrackSet", {QStringLiteral("1.50"), e}, "ok", "", {}},
            {"ztrackQuery", {e}, "echo", "value", QStringLiteral("1.5")},
            {"channelSet", {QStringLiteral("UART2"), e}, "ok", "", {}},
            {"channelQuery", {e}, "echo", "value", QStringLiteral("UART2")},
            {"debugSet", {true, e}, "ok", "", {}},
            {"debugQuery", {e, QStringLiteral("DEBUG")}, "echo", "value", QStringLiteral("1")},
            {"qtarQuery", {e}, "echo", "key", QStringLiteral("QTAR")},
            {"reportrtSet", {99, e}, "text", "", {}}, // out of range: refused
            {"encodeCommand", {QStringLiteral("AT+NOSUCH"), e}, "text", "", {}},
    };

    QStringList sent;
    for (const Exchange &x : exchanges) {
        const QString text = command(QLatin1String(x.builder), x.args);
        QVERIFY(text.endsWith(ending.toString()));
        sent.append(text.chopped(ending.toString().size()));
        send(text);
    }
    QTRY_COMPARE(completeLines(), int(exchanges.size()));

    // Each command arrived once and whole: a CR LF must not add an empty command.
    QCOMPARE(m_sim->commands(), sent);
    const QStringList lines = m_manager->receivedData().split(QStringLiteral("\r\n"));
    for (int i = 0; i < exchanges.size(); ++i) {
        const QVariantMap reply = call(QStringLiteral("parseLine"), {lines.at(i)}).toMap();
        QCOMPARE(reply.value(QStringLiteral("kind")).toString(), QLatin1String(exchanges[i].kind));
        if (*exchanges[i].field)
            QCOMPARE(reply.value(QLatin1String(exchanges[i].field)).toString(), exchanges[i].value);
    }
    QCOMPARE(m_sim->setting(QStringLiteral("DIV")), QStringLiteral("20"));
    QCOMPARE(m_sim->setting(QStringLiteral("REPORTRT")), QStringLiteral("10"));
}

void TestSensorSim::weightFormats_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<double>("load");
    QTest::addColumn<QString>("status");
    for (int format = 1; format <= 3; ++format) {
        const QString status = format == 1 ? QStringLiteral("ST")
                : format == 2              ? QStringLiteral("SG")
                                           : QString();
        QTest::addRow("format %d, 5.2 kg", format) << format << 5.2 << status;
        QTest::addRow("format %d, -1.23 kg", format) << format << -1.23 << status;
    }
}

void TestSensorSim::weightFormats()
{
    QFETCH(int, format);
    QFETCH(double, load);
    QFETCH(QString, status);

    send(command(QStringLiteral("printxSet"), {format}));
    send(command(QStringLiteral("autoSet"), {true}));
    m_sim->setLoad(load);
    QTRY_VERIFY_WITH_TIMEOUT(
            qFuzzyCompare(latestFrame(format).value(QStringLiteral("weight")).toDouble(), load)
                    && latestFrame(format).value(QStringLiteral("stable")).toBool(),
            5000);
    const QVariantMap frame = latestFrame(format);
    QCOMPARE(frame.value(QStringLiteral("status")).toString(), status);
    QCOMPARE(frame.value(QStringLiteral("overload")).toBool(), false);
    if (format == 2)
        QCOMPARE(frame.value(QStringLiteral("net")).toBool(), false);
}

void TestSensorSim::streamingRate_data()
{
    QTest::addColumn<int>("rate");
    QTest::newRow("5/s") << 5;
    QTest::newRow("30/s") << 30;
}

void TestSensorSim::streamingRate()
{
    QFETCH(int, rate);
    int lines = 0;
    QElapsedTimer clock;
    connect(m_manager.get(), &SerialPortManager::debugLog, this, [&](const QString &log) {
        if (log.startsWith(QLatin1String("[SerialPort RX]"))) {
            if (lines == 0)
                clock.start();
            lines += int(log.count(QLatin1String("\\n")));
        }
    });
    send(command(QStringLiteral("reportrtSet"), {rate}));
    send(command(QStringLiteral("autoSet"), {1}));
    // rate lines after the first span rate periods: about one second.
    QTRY_VERIFY_WITH_TIMEOUT(lines >= 2 + rate + 1, 5000); // the two OKs come first
    const double seconds = clock.elapsed() / 1000.0;
    QVERIFY2(seconds > 0.75 && seconds < 2.0, qPrintable(QString::number(seconds)));

    // Rate 0 stops the stream; a weight query still answers, once.
    send(command(QStringLiteral("reportrtSet"), {0}));
    QTRY_VERIFY(m_manager->receivedData().endsWith(QLatin1String("OK\r\n")));
    QSignalSpy received(m_manager.get(), &SerialPortManager::receivedDataChanged);
    QVERIFY(!received.wait(500));
    m_manager->clearReceivedData();
    send(command(QStringLiteral("weightQuery")));
    QTRY_COMPARE(completeLines(), 1);
    QVERIFY(!received.wait(300));
    QCOMPARE(completeLines(), 1);
}

void TestSensorSim::tareAndZero()
{
    send(command(QStringLiteral("printxSet"), {2}));
    send(command(QStringLiteral("autoSet"), {1}));
    auto shows = [this](double kg, bool net) {
        const QVariantMap f = latestFrame(2);
        return f.value(QStringLiteral("stable")).toBool()
                && f.value(QStringLiteral("net")).toBool() == net
                && qAbs(f.value(QStringLiteral("weight")).toDouble() - kg) < 1e-9;
    };
    m_sim->setLoad(3);
    QTRY_VERIFY(shows(3, false));

    send(command(QStringLiteral("tare")));
    QTRY_VERIFY(shows(0, true));
    m_manager->clearReceivedData();
    send(command(QStringLiteral("qtarQuery")));
    QTRY_VERIFY(m_manager->receivedData().contains(QLatin1String("AT+QTAR=")));
    const qsizetype at = m_manager->receivedData().indexOf(QLatin1String("AT+QTAR="));
    QTRY_VERIFY(m_manager->receivedData().indexOf(QLatin1String("\r\n"), at) > at);
    const QString line = m_manager->receivedData().mid(at).section(QLatin1Char('\r'), 0, 0);
    const QVariantMap echo = call(QStringLiteral("parseLine"), {line}).toMap();
    QCOMPARE(echo.value(QStringLiteral("key")).toString(), QStringLiteral("QTAR"));
    QCOMPARE(echo.value(QStringLiteral("value")).toDouble(), 3.0);

    m_sim->setLoad(5);
    QTRY_VERIFY(shows(2, true));

    // Zero takes the present load as the new zero and drops the tare.
    send(command(QStringLiteral("zero")));
    QTRY_VERIFY(shows(0, false));
    m_sim->setLoad(4);
    QTRY_VERIFY(shows(-1, false));
}

void TestSensorSim::overloadFollowsCapacity()
{
    send(command(QStringLiteral("autoSet"), {1}));
    m_sim->setLoad(250);
    QTRY_VERIFY(latestFrame(1).value(QStringLiteral("overload")).toBool());
    QVariantMap frame = latestFrame(1);
    QCOMPARE(frame.value(QStringLiteral("status")).toString(), QStringLiteral("OL"));
    QCOMPARE(frame.value(QStringLiteral("stable")).toBool(), false);

    send(command(QStringLiteral("capaSet"), {300}));
    QTRY_VERIFY(latestFrame(1).value(QStringLiteral("stable")).toBool());
    frame = latestFrame(1);
    QCOMPARE(frame.value(QStringLiteral("overload")).toBool(), false);
    QCOMPARE(frame.value(QStringLiteral("weight")).toDouble(), 250.0);
}

void TestSensorSim::unplugAndPlug()
{
    QSignalSpy connection(m_manager.get(), &SerialPortManager::connectionChanged);
    m_sim->unplug();
    QVERIFY(connection.wait());
    QVERIFY(!m_manager->isConnected());
    QCOMPARE(m_manager->statusMessage().left(6), QStringLiteral("串口错误: "));
    m_manager->refreshPorts();
    QVERIFY(m_manager->portList().isEmpty());
    QVERIFY(!m_manager->connectSerialPort(m_sim->portName(), 115200, 8, 0, 1, 0));

    QVERIFY(m_sim->plug());
    m_manager->refreshPorts();
    QCOMPARE(m_manager->portList(), QStringList{m_sim->portName()});
    QVERIFY(m_manager->connectSerialPort(m_sim->portName(), 115200, 8, 0, 1, 0));
    m_manager->clearReceivedData();
    send(command(QStringLiteral("versionQuery")));
    QTRY_VERIFY(m_manager->receivedData().endsWith(QLatin1String("V1.0.1\r\n")));
}

void TestSensorSim::linkFaults()
{
    m_sim->setLoad(5.2);
    QTRY_VERIFY(m_sim->reading().stable);
    int chunks = 0;
    connect(m_manager.get(), &SerialPortManager::debugLog, this, [&chunks](const QString &log) {
        chunks += log.startsWith(QLatin1String("[SerialPort RX]"));
    });

    // Noise on the line, then a reply in pieces: the reader sees the noise marked and still
    // finds the whole reading once its last piece is in.
    m_sim->sendGarbage(4);
    m_sim->splitNextLine(3);
    send(command(QStringLiteral("weightQuery")));
    QTRY_VERIFY(m_manager->receivedData().endsWith(QLatin1String("\r\n")));
    QVERIFY(chunks >= 3);
    const QString data = m_manager->receivedData();
    QCOMPARE(data.count(QLatin1Char('[')), 4);
    QVERIFY(data.endsWith(QLatin1String("]ST005.200,1,0\r\n")));
    QCOMPARE(latestFrame(1).value(QStringLiteral("weight")).toDouble(), 5.2);

    // A burst leaves at the wire's speed and arrives complete.
    m_manager->clearReceivedData();
    const QByteArray line = m_sim->weightLine();
    constexpr int count = 200;
    QSignalSpy finished(m_sim.get(), &SensorSimulator::burstFinished);
    QElapsedTimer clock;
    clock.start();
    m_sim->burst(count);
    QTRY_COMPARE(completeLines(), count);
    const double wireSeconds = double(count * line.size()) / SensorSimulator::WireBytesPerSecond;
    QVERIFY2(clock.elapsed() / 1000.0 >= 0.9 * wireSeconds,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(m_manager->receivedData(), QString::fromLatin1(line.repeated(count)));
}

QTEST_MAIN(TestSensorSim)
#include "tst_sensorsim.moc"

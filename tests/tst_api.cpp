// The live API as other programs meet it: a real Python WebSocket client (Debian's
// python3-websockets, in a process of its own) against the real window and against
// pelora-station, both reading a simulated sensor over a real pseudo-terminal.

#include "apihub.h"
#include "recordstore.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
const QString clientScript = QStringLiteral(PELORA_SOURCE_DIR "/tests/api/apiclient.py");
const QString token = QStringLiteral("0123456789abcdef0123456789abcdef");

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One client process: what it printed, as it arrives.
class Client
{
public:
    Client(const QString &url, const QStringList &options = {})
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(python, QStringList{clientScript, url} + options);
    }
    ~Client()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    void send(const QJsonObject &message)
    {
        m_process.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    }
    void sendRaw(const QByteArray &line) { m_process.write(line + '\n'); }

    // Waits (the event loop running) for a line that satisfies match, from `from` on; the
    // index of that line, or -1 after timeoutMs.
    int waitFor(const std::function<bool(const QByteArray &)> &match, int from = 0,
                int timeoutMs = 15000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_process.canReadLine())
                m_lines.append(m_process.readLine().trimmed());
            for (int i = from; i < m_lines.size(); ++i)
                if (match(m_lines[i]))
                    return i;
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return -1;
            QSignalSpy more(&m_process, &QProcess::readyReadStandardOutput);
            more.wait(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }
    // The first message whose JSON has every field of `fields` equal, from `from` on.
    QJsonObject waitMessage(const QJsonObject &fields, int from = 0, int timeoutMs = 15000,
                            int *at = nullptr)
    {
        QJsonObject found;
        const int i = waitFor(
                [&](const QByteArray &line) {
                    if (!line.startsWith("MSG "))
                        return false;
                    const QJsonObject m = QJsonDocument::fromJson(line.mid(4)).object();
                    for (auto it = fields.begin(); it != fields.end(); ++it)
                        if (m.value(it.key()) != it.value())
                            return false;
                    found = m;
                    return true;
                },
                from, timeoutMs);
        if (at)
            *at = i;
        return found;
    }
    QJsonObject reply(int id, int timeoutMs = 15000)
    {
        return waitMessage(
                {{QStringLiteral("type"), QStringLiteral("reply")}, {QStringLiteral("id"), id}}, 0,
                timeoutMs);
    }
    QList<QByteArray> lines() const { return m_lines; }
    int lineCount() const { return int(m_lines.size()); }

private:
    QProcess m_process;
    QList<QByteArray> m_lines;
};

} // namespace

class TestApi : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::Rig r;
    int m_port = 0;

    QString url(const QString &t = token) const
    {
        return QStringLiteral("ws://127.0.0.1:%1/?token=%2").arg(m_port).arg(t);
    }

    // The window with the API on, connected to the sensor.
    void startWindow()
    {
        m_port = freePort();
        QSettings s;
        s.setValue(QStringLiteral("api/enabled"), true);
        s.setValue(QStringLiteral("api/port"), m_port);
        s.setValue(QStringLiteral("api/token"), token);
        r.remember(r.sensor->portName());
        s.sync();
        QVERIFY(r.load());
        QTRY_VERIFY_WITH_TIMEOUT(r.manager->isConnected(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(r.js(QStringLiteral("ApiServer.listening")).toBool(), 10000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        Pelora::setIdentity(*qApp, QStringLiteral("PeloraApiTest"));
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        QProcess probe;
        probe.start(python, {QStringLiteral("-c"), QStringLiteral("import websockets")});
        QVERIFY2(probe.waitForFinished(20000) && probe.exitCode() == 0,
                 "python3-websockets is missing: run scripts/setup.sh");
    }

    void init()
    {
        QSettings().clear();
        QVERIFY(r.startSensor());
    }

    void cleanup()
    {
        r.closeWindow();
        r.sensor.reset();
    }

    // Without the token, or with another, a client gets one refusal and the connection
    // closed: no greeting, no reading. With it, in the address or in a header, it is served.
    void tokenRefusals()
    {
        startWindow();
        if (QTest::currentTestFailed())
            return;
        r.sensor->setLoad(3.0);
        for (const QString &t : {QString(), QStringLiteral("nottheone"), token.left(31)}) {
            Client c(url(t));
            QVERIFY(c.waitFor([](const QByteArray &l) { return l.startsWith("CLOSED"); }) >= 0);
            const QList<QByteArray> lines = c.lines();
            QCOMPARE(lines.size(), 3); // OPEN, the refusal, CLOSED
            const QJsonObject refusal = QJsonDocument::fromJson(lines[1].mid(4)).object();
            QCOMPARE(refusal.value(u"type").toString(), u"refused"_s);
            const QString reason = t.isEmpty() ? u"missing-token"_s : u"wrong-token"_s;
            QCOMPARE(refusal.value(u"reason").toString(), reason);
            QVERIFY(!refusal.value(u"message").toString().isEmpty());
            QCOMPARE(lines[2], "CLOSED 1008 " + reason.toUtf8());
        }
        QCOMPARE(r.js(QStringLiteral("ApiServer.clientCount")).toInt(), 0);

        Client bearer(QStringLiteral("ws://127.0.0.1:%1/").arg(m_port), {u"--bearer"_s, token});
        QCOMPARE(bearer.waitMessage({{u"type"_s, u"hello"_s}}).value(u"api").toInt(), 1);
        QVERIFY(!bearer.waitMessage({{u"type"_s, u"reading"_s}, {u"weightKg"_s, 3.0}}).isEmpty());
        QTRY_COMPARE(r.js(QStringLiteral("ApiServer.clientCount")).toInt(), 1);

        // A new token lets the old one's clients go, and refuses the old token.
        r.js(QStringLiteral("ApiServer.newToken()"));
        QVERIFY(bearer.waitFor([](const QByteArray &l) { return l.startsWith("CLOSED"); }) >= 0);
        Client old(url());
        QVERIFY(!old.waitMessage({{u"type"_s, u"refused"_s}, {u"reason"_s, u"wrong-token"_s}})
                         .isEmpty());
        Client renewed(url(r.js(QStringLiteral("ApiServer.token")).toString()));
        QVERIFY(!renewed.waitMessage({{u"type"_s, u"hello"_s}}).isEmpty());
    }

    // A port another program holds: the dialog says so, and saving again once it is free
    // starts the server.
    void portInUse()
    {
        startWindow();
        if (QTest::currentTestFailed())
            return;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        const QString apply = u"ApiServer.apply(true, '127.0.0.1', %1)"_s.arg(holder.serverPort());
        QCOMPARE(r.js(apply).toString(), QString());
        QTRY_VERIFY(r.js(u"ApiServer.statusText"_s).toString().startsWith(u"无法在 127.0.0.1:"_s));
        QCOMPARE(r.js(u"ApiServer.listening"_s).toBool(), false);
        holder.close();
        QCOMPARE(r.js(apply).toString(), QString());
        QTRY_VERIFY(r.js(u"ApiServer.listening"_s).toBool());
        QCOMPARE(r.js(u"ApiServer.apply(true, 'not an address', 8765)"_s).toString(),
                 u"地址应是本机的一个 IP 地址，例如 127.0.0.1"_s);
    }

    // The readings as the display shows them (weight in kg, the unit shown, stable, overload,
    // live), and each record as it is written.
    void streamsReadingsAndRecords()
    {
        startWindow();
        if (QTest::currentTestFailed())
            return;
        Client c(url());
        QVERIFY(!c.waitMessage({{u"type"_s, u"hello"_s}}).isEmpty());
        r.sensor->setLoad(12.35);
        int at = -1;
        QJsonObject m = c.waitMessage(
                {{u"type"_s, u"reading"_s}, {u"weightKg"_s, 12.35}, {u"stable"_s, true}}, 0, 15000,
                &at);
        QCOMPARE(m.value(u"unit").toString(), u"kg"_s);
        QCOMPARE(m.value(u"shown").toString(), u"12.350"_s);
        QCOMPARE(m.value(u"live").toBool(), true);
        QCOMPARE(m.value(u"overload").toBool(), false);

        // The record the recorder makes of this load, as the file has it.
        const QJsonObject record = c.waitMessage({{u"type"_s, u"record"_s}});
        QCOMPARE(record.value(u"weightKg").toDouble(), 12.35);
        QCOMPARE(record.value(u"manual").toBool(), false);
        const QVariantList stored = TestSupport::storedRecords(
                r.js(QStringLiteral("RecordStore.databasePath")).toString());
        QCOMPARE(stored.size(), 1);
        QCOMPARE(record.value(u"id").toInt(),
                 stored.first().toMap().value(QStringLiteral("id")).toInt());

        // A sensor that stops sending: the last weight is still there, no longer live.
        r.sensor->setAutoReport(false);
        m = c.waitMessage({{u"type"_s, u"reading"_s}, {u"state"_s, u"stale"_s}}, at);
        QCOMPARE(m.value(u"live").toBool(), false);
        QCOMPARE(m.value(u"weightKg").toDouble(), 12.35);
        r.sensor->setAutoReport(true);
        QVERIFY(!c.waitMessage({{u"type"_s, u"reading"_s}, {u"live"_s, true}}, at).isEmpty());

        r.js(QStringLiteral("AppSettings.weightUnit = 0")); // 斤
        m = c.waitMessage({{u"type"_s, u"reading"_s}, {u"unit"_s, u"jin"_s}}, at);
        QCOMPARE(m.value(u"weightKg").toDouble(), 12.35);
        QCOMPARE(m.value(u"shown").toString(), u"24.700"_s);

        r.sensor->setLoad(100000);
        m = c.waitMessage({{u"type"_s, u"reading"_s}, {u"overload"_s, true}}, at);
        QCOMPARE(m.value(u"stable").toBool(), false);

        // A pulled adapter: the reading is no longer live.
        r.sensor->unplug();
        m = c.waitMessage({{u"type"_s, u"reading"_s}, {u"state"_s, u"disconnected"_s}}, at);
        QCOMPARE(m.value(u"live").toBool(), false);
        QVERIFY(r.sensor->plug());
        QVERIFY(!c.waitMessage({{u"type"_s, u"reading"_s}, {u"live"_s, true}}, at, 20000)
                         .isEmpty());
    }

    // Each request against firmware that is slow, echoes, ends lines with CR and takes one
    // command at a time: answered once its outcome is known, never claimed before.
    void answersEachRequest()
    {
        startWindow();
        if (QTest::currentTestFailed())
            return;
        r.sensor->setReplyLatency(600, 900);
        r.sensor->setConfirmation(SensorSimulator::Confirmation::CommandEcho);
        r.sensor->setLineEnding("\r");
        r.sensor->setOneCommandAtATime(true);
        r.sensor->setLoad(0.05);
        Client c(url());
        QVERIFY(!c.waitMessage({{u"type"_s, u"reading"_s}, {u"weightKg"_s, 0.05}}).isEmpty());

        c.send({{u"id"_s, 1}, {u"request"_s, u"reading"_s}});
        QCOMPARE(c.reply(1).value(u"reading").toObject().value(u"weightKg").toDouble(), 0.05);

        // Below the minimum load (or not yet settled) the record is refused, with the reason.
        c.send({{u"id"_s, 2}, {u"request"_s, u"record"_s}});
        QJsonObject reply = c.reply(2);
        QCOMPARE(reply.value(u"ok").toBool(), false);
        QCOMPARE(reply.value(u"error").toString(), u"refused"_s);
        QVERIFY(!reply.value(u"message").toString().isEmpty()); // the recorder's reason

        // Zero and tare go to the sensor one at a time, answered by its OK.
        c.send({{u"id"_s, 3}, {u"request"_s, u"zero"_s}});
        c.send({{u"id"_s, u"t"_s}, {u"request"_s, u"tare"_s}});
        reply = c.reply(3);
        QCOMPARE(reply.value(u"ok").toBool(), true);
        QCOMPARE(reply.value(u"request").toString(), u"zero"_s);
        reply = c.waitMessage({{u"type"_s, u"reply"_s}, {u"id"_s, u"t"_s}});
        QCOMPARE(reply.value(u"ok").toBool(), true);
        QVERIFY(r.sensor->commands().contains(u"AT+ZERO"_s));
        QVERIFY(r.sensor->commands().contains(u"AT+TARE"_s));

        // A record on request, answered once it is in the file, with its number; asked
        // once the load has settled (the automatic record of it says so).
        r.sensor->setLoad(5.55); // 5.5 net of the tare of 0.05
        const QJsonObject automatic = c.waitMessage({{u"type"_s, u"record"_s}});
        QCOMPARE(automatic.value(u"weightKg").toDouble(), 5.5);
        c.send({{u"id"_s, 4}, {u"request"_s, u"record"_s}});
        reply = c.reply(4);
        QVERIFY2(reply.value(u"ok").toBool(), qPrintable(reply.value(u"message").toString()));
        const QJsonObject made = reply.value(u"record").toObject();
        QCOMPARE(made.value(u"weightKg").toDouble(), 5.5);
        QCOMPARE(made.value(u"manual").toBool(), true);
        QCOMPARE(made.value(u"number").toInt(), automatic.value(u"number").toInt() + 1);
        const QVariantList stored = TestSupport::storedRecords(
                r.js(QStringLiteral("RecordStore.databasePath")).toString());
        const auto inFile = std::find_if(stored.begin(), stored.end(), [&](const QVariant &row) {
            return row.toMap().value(QStringLiteral("id")).toInt() == made.value(u"id").toInt();
        });
        QVERIFY(inFile != stored.end());
        QCOMPARE(inFile->toMap().value(QStringLiteral("weightKg")).toDouble(), 5.5);

        // A refused tare is a failure, and a sensor that says nothing is no confirmation.
        r.sensor->setRefusedActions({u"TARE"_s});
        c.send({{u"id"_s, 5}, {u"request"_s, u"tare"_s}});
        reply = c.reply(5);
        QCOMPARE(reply.value(u"ok").toBool(), false);
        QCOMPARE(reply.value(u"error").toString(), u"refused"_s);
        r.sensor->setReplying(false);
        c.send({{u"id"_s, 6}, {u"request"_s, u"zero"_s}});
        reply = c.reply(6);
        QCOMPARE(reply.value(u"ok").toBool(), false);
        QCOMPARE(reply.value(u"error").toString(), u"no-answer"_s);
        r.sensor->setReplying(true);

        // Requests it cannot carry out, and ones it does not know.
        c.send({{u"id"_s, 7}, {u"request"_s, u"calibrate"_s}});
        QCOMPARE(c.reply(7).value(u"error").toString(), u"unknown-request"_s);
        c.sendRaw("{not json");
        QVERIFY(!c.waitMessage({{u"type"_s, u"error"_s}, {u"error"_s, u"bad-request"_s}})
                         .isEmpty());
        r.manager->disconnectSerialPort();
        c.send({{u"id"_s, 8}, {u"request"_s, u"zero"_s}});
        QCOMPARE(c.reply(8).value(u"error").toString(), u"not-connected"_s);
    }

    // A client that stops reading is let go; the others go on being served.
    void slowClientIsDropped()
    {
        startWindow();
        if (QTest::currentTestFailed())
            return;
        Client reader(url());
        Client stuck(url(), {u"--stall"_s});
        QVERIFY(stuck.waitFor([](const QByteArray &l) { return l == "OPEN"; }) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(r.js(QStringLiteral("ApiServer.clientCount")).toInt(), 2, 10000);
        r.sensor->burst(8000); // weights as fast as the wire carries them
        QVERIFY(stuck.waitFor([](const QByteArray &l) { return l.startsWith("CLOSED"); }, 0, 120000)
                >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(r.js(QStringLiteral("ApiServer.clientCount")).toInt(), 1, 10000);
        const int seen = reader.lineCount();
        r.sensor->setLoad(7.25);
        // Once the burst has passed, the reader has everything up to the newest weight.
        QVERIFY(!reader.waitMessage({{u"type"_s, u"reading"_s}, {u"weightKg"_s, 7.25}}, seen, 60000)
                         .isEmpty());
        QCOMPARE(r.js(QStringLiteral("ApiServer.clientCount")).toInt(), 1);
    }

    // The station without a window: the same API over the same settings store and records
    // file, logging to the journal's standard error, stopped cleanly by SIGTERM.
    void stationWithoutWindow()
    {
        QTemporaryDir home;
        const QString config = home.filePath(QStringLiteral("config"));
        m_port = freePort();
        {
            QSettings s(config + QStringLiteral("/Pelora/Pelora.conf"), QSettings::IniFormat);
            s.setValue(QStringLiteral("serial/portName"), r.sensor->portName());
            s.setValue(QStringLiteral("api/enabled"), true);
            s.setValue(QStringLiteral("api/port"), m_port);
            s.setValue(QStringLiteral("api/token"), token);
        }
        r.sensor->setAutoReport(false); // the station turns the stream on itself
        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:1234"));
        station.setProcessEnvironment(env);
        QByteArray log;
        QObject::connect(&station, &QProcess::readyReadStandardError, &station,
                         [&] { log += station.readAllStandardError(); });
        station.start(QStringLiteral(PELORA_STATION), {});
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("listening on 127.0.0.1"), 20000);

        Client c(url());
        QVERIFY(!c.waitMessage({{u"type"_s, u"hello"_s}}).isEmpty());
        r.sensor->setLoad(8.8);
        QVERIFY(!c.waitMessage({{u"type"_s, u"reading"_s}, {u"weightKg"_s, 8.8}, {u"live"_s, true}})
                         .isEmpty());
        const QJsonObject automatic = c.waitMessage({{u"type"_s, u"record"_s}});
        QCOMPARE(automatic.value(u"weightKg").toDouble(), 8.8);
        c.send({{u"id"_s, 1}, {u"request"_s, u"zero"_s}});
        QCOMPARE(c.reply(1).value(u"ok").toBool(), true);
        c.send({{u"id"_s, 2}, {u"request"_s, u"record"_s}});
        const QJsonObject made = c.reply(2).value(u"record").toObject();
        QCOMPARE(made.value(u"manual").toBool(), true);

        // The example client of the API's documentation, as a user would copy it.
        const QByteArray doc
                = TestSupport::readAll(QStringLiteral(PELORA_SOURCE_DIR "/docs/api.md"));
        const qsizetype from = doc.indexOf("```python\n") + 10;
        QVERIFY(from >= 10);
        QTemporaryDir scratch;
        const QString example = scratch.filePath(QStringLiteral("client.py"));
        QVERIFY(TestSupport::writeFile(example,
                                       doc.mid(from, doc.indexOf("```", from) - from)
                                               .replace("8765", QByteArray::number(m_port))));
        QProcess copied;
        copied.start(python, {example, token});
        QByteArray printed;
        QTRY_VERIFY_WITH_TIMEOUT((printed += copied.readAllStandardOutput()).contains("kg 稳定"),
                                 15000);
        QVERIFY2(printed.contains("'request': 'reading', 'type': 'reply'"), printed.constData());
        copied.kill();
        copied.waitForFinished();

        station.terminate();
        QVERIFY(QSignalSpy(&station, &QProcess::finished).wait(20000)
                || station.state() == QProcess::NotRunning);
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 0);
        log += station.readAllStandardError();
        const QList<QByteArray> lines = log.trimmed().split('\n');
        for (const QByteArray &line : lines)
            QVERIFY2(line.startsWith("<") && line.contains(">pelora-station: "), line.constData());
        QVERIFY(log.contains("<6>pelora-station: station: stopping (SIGTERM)"));
        QVERIFY(lines.last().endsWith("station: stopped"));
        QVERIFY(c.waitFor([](const QByteArray &l) { return l.startsWith("CLOSED"); }) >= 0);

        // Both records are in the file the window would open.
        const QVariantList stored = TestSupport::storedRecords(
                home.filePath(QStringLiteral("data/Pelora/Pelora/records.sqlite")));
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.last().toMap().value(QStringLiteral("id")).toInt(),
                 made.value(u"id").toInt());
    }
};

QTEST_MAIN(TestApi)
#include "tst_api.moc"

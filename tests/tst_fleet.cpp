// Stations replicating their records files to a real PostgreSQL server that the test starts
// itself, through every fault a shop's network and office bring: the server stopped and
// started mid-batch, the station killed, the connection cut or silent, two stations at once,
// a record changed on the server, a wrong password, a server of an older version. After each,
// the server must hold the station's chain exactly as the file does (each entry once, in
// order, checked whole), and the file must have lost nothing.

#include "fleetlink.h"
#include "pgserver.h"
#include "recordstore.h"
#include "serverschema.h"
#include "startup.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// A station: its records file, its store and its link to the server.
struct Station
{
    QTemporaryDir dir;
    std::unique_ptr<RecordStore> store;
    std::unique_ptr<FleetLink> link;

    explicit Station(int backlog = 0, const QString &file = QString()) : m_file(file)
    {
        if (backlog > 0)
            TestSupport::makeRecords(path(), backlog, 1'700'000'000'000, 1000);
        store = std::make_unique<RecordStore>(path());
        link = std::make_unique<FleetLink>(store.get(), nullptr);
    }
    QString path() const { return m_file.isEmpty() ? dir.filePath(u"records.sqlite"_s) : m_file; }
    QString m_file;
    QString connect(int port, const QString &user, const QString &db = u"pelora"_s)
    {
        return link->apply(true, u"127.0.0.1"_s, port, db, user, u"disable"_s);
    }
    // seq:hash of every entry of the file, in order.
    QStringList chain() const
    {
        const QString name = QUuid::createUuid().toString();
        QStringList out;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
            db.setDatabaseName(path());
            db.setConnectOptions(u"QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"_s);
            db.open();
            QSqlQuery q(db);
            q.exec(u"SELECT seq, hash FROM entries ORDER BY seq"_s);
            while (q.next())
                out << q.value(0).toString() + u':' + q.value(1).toByteArray().toHex();
        }
        QSqlDatabase::removeDatabase(name);
        return out;
    }
};

// Keeps a timer running on the window's thread and notes the longest pause between its
// ticks: database work on that thread would stop it for as long as the work takes (a
// connection into silence takes 5 s to give up).
struct GuiWatch
{
    QTimer timer;
    QElapsedTimer since;
    qint64 longest = 0;
    GuiWatch()
    {
        since.start();
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, &timer,
                         [this] { longest = qMax(longest, since.restart()); });
        timer.start();
    }
};

} // namespace

// Records are taken at once and written a moment later: the station is synced once what was
// taken is in the file and the server has all of the file.
#define WAIT_SYNCED(s, timeout) \
    do { \
        QVERIFY(TestSupport::drain((s).store.get())); \
        QTRY_VERIFY2_WITH_TIMEOUT(synced(s), qPrintable(said(s)), timeout); \
    } while (false)

class TestFleet : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::PgServer m_server;

    QString sql(const QString &statements, const QString &db = u"pelora"_s)
    {
        bool ok = false;
        const QString out = m_server.sql(statements, db, &ok);
        if (!ok)
            qWarning() << m_server.errorText();
        return out;
    }
    QStringList serverChain(const QString &station, const QString &db = u"pelora"_s)
    {
        const QString out = sql(u"SELECT seq || ':' || encode(hash, 'hex') FROM pelora.entries"
                                " WHERE station = '%1' ORDER BY seq"_s.arg(station),
                                db);
        return out.isEmpty() ? QStringList() : out.split(u'\n');
    }
    QString serverCheck(const QString &station, const QString &db = u"pelora"_s)
    {
        return sql(u"SELECT entries || ' ' || break_seq || ' ' || problem FROM pelora.check('%1')"_s
                           .arg(station),
                   db);
    }
    // Everything the file holds is on the server, in order, once, and the server's copy is
    // whole.
    bool sameOnServer(Station &s, const QString &db = u"pelora"_s)
    {
        const QStringList local = s.chain();
        const QStringList remote = serverChain(s.store->stationId(), db);
        if (local != remote) {
            qWarning() << "file" << local.size() << "server" << remote.size();
            return false;
        }
        const QString check = serverCheck(s.store->stationId(), db);
        if (check != u"%1 0"_s.arg(local.size())) {
            qWarning() << check;
            return false;
        }
        return true;
    }
    // How the link stands, for a failure's message.
    static QString said(Station &s)
    {
        return u"[%1 %2/%3 %4 | %5]"_s.arg(s.link->state())
                .arg(s.link->confirmed())
                .arg(s.chain().size())
                .arg(s.link->lastError(), s.link->serverChainText());
    }
    static bool synced(Station &s)
    {
        return s.link->synced() && s.link->confirmed() == s.chain().size();
    }
    // A connection of the test's own as a role, to try what the role may do.
    static QSqlDatabase as(const QString &role, int port, const QString &db = u"pelora"_s)
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(u"QPSQL"_s, QUuid::createUuid().toString());
        c.setHostName(u"127.0.0.1"_s);
        c.setPort(port);
        c.setDatabaseName(db);
        c.setUserName(role);
        c.open();
        return c;
    }

private Q_SLOTS:
    void initTestCase()
    {
        Pelora::setIdentity(*QCoreApplication::instance(), u"PeloraFleetTest"_s);
        if (!QSqlDatabase::isDriverAvailable(u"QPSQL"_s))
            QFAIL("Qt's PostgreSQL driver is missing: run scripts/setup.sh");
        QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
        sql(u"CREATE ROLE pelora_station NOLOGIN"_s, u"postgres"_s);
        QVERIFY(m_server.addRole(u"office"_s, u"office-pw"_s));
        QVERIFY(m_server.addRole(u"scale_a"_s, u"a-pw"_s, {u"pelora_station"_s}));
        QVERIFY(m_server.addRole(u"scale_b"_s, u"b-pw"_s, {u"pelora_station"_s}));
        QVERIFY(m_server.addDatabase(u"pelora"_s, u"office"_s));
        QVERIFY(m_server.addDatabase(u"pelora_old"_s, u"office"_s));
        m_server.passwordFile();
        // The office's role makes the tables, as an office does once before its stations come.
        QSqlDatabase office = as(u"office"_s, m_server.port());
        QString why;
        QVERIFY2(ServerSchema::ensure(office, &why), qPrintable(why + office.lastError().text()));
    }

    // Records made while connected reach the server at once and in order, voids and events
    // with them; a batch sent again inserts nothing; and a station's role can do nothing but
    // append to its own chain and publish its own status.
    void replicatesOnceAndOnlyItsOwn()
    {
        Station a, b;
        QVERIFY(a.connect(m_server.port(), u"scale_a"_s).isEmpty());
        QTRY_VERIFY2_WITH_TIMEOUT(a.link->state() == Replicator::Synced, qPrintable(said(a)),
                                  20000);
        QVERIFY(b.connect(m_server.port(), u"scale_b"_s).isEmpty());
        for (int i = 1; i <= 5; ++i)
            a.store->addRecord(i * 1.5, u"公斤"_s, u"毛重"_s, u"/dev/ttyUSB0"_s, i == 3);
        b.store->addRecord(9.25, u"斤"_s, u"净重"_s, u"COM\t3"_s, false);
        QVERIFY(TestSupport::drain(a.store.get()));
        a.store->addEvent(u"zero"_s, {{u"outcome"_s, u"ok"_s}});
        WAIT_SYNCED(a, 20000);
        WAIT_SYNCED(b, 20000);
        QCOMPARE(a.link->statusText(), u"已同步"_s);
        QVERIFY(sameOnServer(a));
        QVERIFY(sameOnServer(b));
        // The records as the server reads them out of the entries.
        QCOMPARE(sql(u"SELECT string_agg(number || '=' || weight_kg || unit || manual, ' '"
                     " ORDER BY number) FROM pelora.records WHERE station = '%1'"_s.arg(
                             a.store->stationId())),
                 u"1=1.5公斤false 2=3公斤false 3=4.5公斤true 4=6公斤false 5=7.5公斤false"_s);
        QCOMPARE(sql(u"SELECT port FROM pelora.records WHERE station = '%1'"_s.arg(
                         b.store->stationId())),
                 u"COM\t3"_s);
        QCOMPARE(sql(u"SELECT count(*) FROM pelora.events WHERE station = '%1'"
                     " AND body LIKE 'type\tzero\n%%'"_s.arg(a.store->stationId())),
                 u"1"_s);

        // Sending the whole chain again (a lost reply) inserts nothing twice.
        const QString entries = sql(
                u"SELECT jsonb_agg(jsonb_build_object('seq', seq, 'kind', kind, 'time', time_ms,"
                " 'body', body, 'prev', encode(prev_hash, 'hex'), 'hash', encode(hash, 'hex'))"
                " ORDER BY seq) FROM pelora.entries WHERE station = '%1'"_s.arg(
                        a.store->stationId()));
        const int count = int(a.chain().size());
        QCOMPARE(sql(u"SELECT pelora.append('%1', '%2')"_s.arg(a.store->stationId(), entries)),
                 QString::number(count));
        QVERIFY(sameOnServer(a));

        // What a station's own role may not do.
        QSqlDatabase role = as(u"scale_b"_s, m_server.port());
        QVERIFY2(role.isOpen(), qPrintable(role.lastError().text()));
        const QString other = a.store->stationId();
        const QStringList refused{
                u"UPDATE pelora.records SET weight_kg = 1 WHERE station = '%1'"_s.arg(other),
                u"DELETE FROM pelora.records"_s,
                u"DELETE FROM pelora.entries WHERE station = '%1'"_s.arg(b.store->stationId()),
                u"INSERT INTO pelora.stations (id, name) VALUES ('x1', 'x')"_s,
                u"UPDATE pelora.status SET weight_kg = 0"_s,
                u"SELECT pelora.append('%1', '%2')"_s.arg(other, entries),
                u"SELECT pelora.register('%1', 'mine now')"_s.arg(other),
                u"SELECT pelora.publish('%1', '{\"weight\": 1}')"_s.arg(other),
                u"DROP TABLE pelora.records"_s,
        };
        for (const QString &statement : refused) {
            QSqlQuery q(role);
            QVERIFY2(!q.exec(statement), qPrintable(statement));
            QVERIFY2(q.lastError().text().contains(u"permission denied"_s)
                             || q.lastError().text().contains(u"belongs to role"_s)
                             || q.lastError().text().contains(u"must be owner"_s),
                     qPrintable(statement + u" → "_s + q.lastError().text()));
        }
        QSqlQuery own(role);
        QVERIFY2(own.exec(u"SELECT pelora.publish('%1', '{\"weight\": 2.5, \"online\": true}')"_s
                                  .arg(b.store->stationId())),
                 qPrintable(own.lastError().text()));
        // Not even the office's own role changes a record in place.
        QSqlDatabase office = as(u"office"_s, m_server.port());
        QSqlQuery change(office);
        QVERIFY(!change.exec(u"UPDATE pelora.records SET weight_kg = 1"_s));
        QVERIFY(change.lastError().text().contains(u"not allowed"_s));
        QVERIFY(sameOnServer(a));
    }

    // A day's backlog, and the server stopped in the middle of it and started again: the
    // station waits, says why, and sends the rest by itself; the window never waits.
    void serverStoppedMidBatch()
    {
        Station s(20000);
        GuiWatch gui;
        QVERIFY(s.connect(m_server.port(), u"scale_a"_s).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(s.link->confirmed() > 0, 30000);
        QVERIFY(s.link->pendingCount() > 0);
        QVERIFY2(m_server.stop(u"immediate"_s), qPrintable(m_server.errorText()));
        QTRY_VERIFY_WITH_TIMEOUT(s.link->state() == Replicator::Failing, 20000);
        QVERIFY(!s.link->lastError().isEmpty());
        QVERIFY(s.link->statusText().startsWith(u"待同步 "_s));
        s.store->addRecord(3.25, u"公斤"_s, u"毛重"_s, u"/dev/ttyUSB0"_s, true);
        QVERIFY2(m_server.restart(), qPrintable(m_server.errorText()));
        WAIT_SYNCED(s, 60000);
        QVERIFY(sameOnServer(s));
        QCOMPARE(s.store->count(), 20001);
        QVERIFY2(gui.longest < 3000, qPrintable(QString::number(gui.longest)));
    }

    // Killed (SIGKILL) in the middle of sending its backlog, the station sends the rest at its
    // next start; the batch it was sending is not inserted twice.
    void stationKilledMidBatch()
    {
#ifndef Q_OS_UNIX
        QSKIP("kills with SIGKILL");
#else
        QTemporaryDir dir;
        const QString path = dir.filePath(u"records.sqlite"_s);
        QVERIFY(TestSupport::makeRecords(path, 30000, 1'700'000'000'000, 1000));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {u"--station"_s, path, QString::number(m_server.port())});
        qint64 confirmed = 0;
        while (confirmed == 0) {
            QVERIFY(child.waitForReadyRead(30000));
            const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
            confirmed = lines.last().toLongLong();
        }
        child.kill(); // in the middle of its next batch
        QVERIFY(child.waitForFinished());
        Station s(0, path);
        QVERIFY(s.connect(m_server.port(), u"scale_a"_s).isEmpty());
        WAIT_SYNCED(s, 60000);
        QVERIFY(sameOnServer(s));
        QCOMPARE(s.store->count(), 30000);
#endif
    }

    // The network between them cut, then silent (every packet dropped), then back: the
    // station notices within seconds, the window never waits, and nothing is lost or doubled.
    void connectionCutAndSilent()
    {
        // The station goes before the relay, which runs on this thread.
        Station s(20000);
        TestSupport::TcpProxy proxy(m_server.port());
        GuiWatch gui;
        QVERIFY(s.connect(proxy.port(), u"scale_a"_s).isEmpty());
        QTRY_VERIFY2_WITH_TIMEOUT(s.link->confirmed() > 0, qPrintable(said(s)), 30000);
        proxy.setSilent(true);
        proxy.cut();
        QTRY_VERIFY_WITH_TIMEOUT(s.link->state() == Replicator::Failing, 30000);
        QVERIFY(!s.link->lastError().isEmpty());
        // Trying again into the silence waits out its timeout on its own thread.
        QTRY_VERIFY_WITH_TIMEOUT(s.link->state() == Replicator::Connecting, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(s.link->state() == Replicator::Failing, 30000);
        proxy.setSilent(false);
        proxy.cut();
        WAIT_SYNCED(s, 60000);
        QVERIFY(sameOnServer(s));
        QVERIFY2(gui.longest < 3000, qPrintable(QString::number(gui.longest)));
    }

    // Two stations sending their backlogs at once, while both go on weighing.
    void twoStationsAtOnce()
    {
        Station a(8000), b(8000);
        QVERIFY(a.connect(m_server.port(), u"scale_a"_s).isEmpty());
        QVERIFY(b.connect(m_server.port(), u"scale_b"_s).isEmpty());
        for (int i = 0; i < 50; ++i) {
            a.store->addRecord(1 + i, u"公斤"_s, u"毛重"_s, u"A"_s, false);
            b.store->addRecord(2 + i, u"公斤"_s, u"毛重"_s, u"B"_s, false);
        }
        WAIT_SYNCED(a, 60000);
        WAIT_SYNCED(b, 60000);
        QVERIFY(sameOnServer(a));
        QVERIFY(sameOnServer(b));
        QCOMPARE(sql(u"SELECT count(*) FROM pelora.records WHERE station IN ('%1', '%2')"_s.arg(
                         a.store->stationId(), b.store->stationId())),
                 u"16100"_s);
    }

    // Someone with the server's superuser changes what a station sent: the station's check of
    // the server names the place; a server whose last entry differs from the file is refused.
    void tamperedOnServer()
    {
        Station s;
        QVERIFY(s.connect(m_server.port(), u"scale_a"_s).isEmpty());
        for (int i = 1; i <= 4; ++i)
            s.store->addRecord(i, u"公斤"_s, u"毛重"_s, u"P"_s, false);
        WAIT_SYNCED(s, 20000);
        const QString id = s.store->stationId();
        QTRY_COMPARE(s.link->serverChainText(), u"记录链完整 · 5 条"_s);
        // Renamed on its records page, renamed on the server.
        s.store->setStationName(u"东门地磅"_s);
        QTRY_COMPARE(sql(u"SELECT name FROM pelora.stations WHERE id = '%1'"_s.arg(id)),
                     u"东门地磅"_s);
        sql(u"SET session_replication_role = replica;"
            " UPDATE pelora.records SET weight_kg = 40 WHERE station = '%1' AND number = 3"_s.arg(
                    id));
        s.link->checkServer();
        QTRY_COMPARE(s.link->serverChainText(),
                     u"服务器上的记录链在第 4 条处断开：记录编号 3 与其条目不符，被改动"_s);
        sql(u"SET session_replication_role = replica;"
            " UPDATE pelora.records SET weight_kg = 3 WHERE station = '%1' AND number = 3;"
            " UPDATE pelora.entries SET body = replace(body, 'weight\t2', 'weight\t20')"
            " WHERE station = '%1' AND seq = 3"_s.arg(id));
        s.link->checkServer();
        QTRY_COMPARE(s.link->serverChainText(),
                     u"服务器上的记录链在第 3 条处断开：内容与校验值不符，被改动"_s);
        // New records still go on, after the changed one.
        s.store->addRecord(5, u"公斤"_s, u"毛重"_s, u"P"_s, false);
        WAIT_SYNCED(s, 20000);
        QCOMPARE(serverChain(id), s.chain());

        // The last entry rewritten with a hash of its own: the server no longer holds what
        // the file holds, and the station stops sending rather than build on it.
        sql(u"SET session_replication_role = replica;"
            " UPDATE pelora.entries SET hash = sha256(hash) WHERE station = '%1' AND seq = %2"_s
                    .arg(id)
                    .arg(s.chain().size()));
        QVERIFY(serverChain(id).last() != s.chain().last());
        s.store->addRecord(6, u"公斤"_s, u"毛重"_s, u"P"_s, false);
        s.link->retry();
        QTRY_VERIFY2_WITH_TIMEOUT(s.link->lastError().contains(u"服务器拒绝了本站的记录"_s),
                                  qPrintable(said(s)), 20000);
        QCOMPARE(s.link->state(), int(Replicator::Failing));
        QCOMPARE(s.link->pendingCount(), 1);
        QCOMPARE(serverChain(id).size(), s.chain().size() - 1);
    }

    // A wrong password (from the password file) says so, keeps every record in the file and
    // sends them once the password is right.
    void wrongPassword()
    {
        Station s;
        s.store->addRecord(7, u"公斤"_s, u"毛重"_s, u"P"_s, false);
        QVERIFY(TestSupport::drain(s.store.get()));
        sql(u"ALTER ROLE scale_a PASSWORD 'changed-by-the-office'"_s, u"postgres"_s);
        GuiWatch gui;
        QVERIFY(s.connect(m_server.port(), u"scale_a"_s).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(s.link->lastError().contains(u"password authentication failed"_s),
                                 20000);
        QCOMPARE(s.link->statusText(), u"待同步 2 条"_s);
        QCOMPARE(s.chain().size(), 2);
        sql(u"ALTER ROLE scale_a PASSWORD 'a-pw'"_s, u"postgres"_s);
        s.link->retry();
        WAIT_SYNCED(s, 20000);
        QVERIFY(sameOnServer(s));
        QVERIFY2(gui.longest < 3000, qPrintable(QString::number(gui.longest)));
    }

    // A server of the version before (no live status yet): a station's role may not upgrade
    // it, so it sends its records and says why its live weight waits; the office's role
    // upgrades it when it connects.
    void olderServerSchema()
    {
        {
            QSqlDatabase office = as(u"office"_s, m_server.port(), u"pelora_old"_s);
            QString why;
            QVERIFY2(ServerSchema::ensure(office, &why, 1), qPrintable(why));
        }
        QCOMPARE(sql(u"SELECT value FROM pelora.meta"_s, u"pelora_old"_s), u"1"_s);
        Station s;
        s.store->addRecord(4.5, u"公斤"_s, u"毛重"_s, u"P"_s, false);
        QVERIFY(s.connect(m_server.port(), u"scale_b"_s, u"pelora_old"_s).isEmpty());
        WAIT_SYNCED(s, 20000);
        QVERIFY(sameOnServer(s, u"pelora_old"_s));
        QVERIFY2(s.link->serverChainText().contains(u"旧版本（1）"_s),
                 qPrintable(s.link->serverChainText()));
        QCOMPARE(sql(u"SELECT value FROM pelora.meta"_s, u"pelora_old"_s), u"1"_s);
        Station office;
        QVERIFY(office.connect(m_server.port(), u"office"_s, u"pelora_old"_s).isEmpty());
        WAIT_SYNCED(office, 20000);
        QCOMPARE(sql(u"SELECT value FROM pelora.meta"_s, u"pelora_old"_s), u"2"_s);
        QVERIFY(sameOnServer(s, u"pelora_old"_s));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--station") == 0) {
        // The child of stationKilledMidBatch: sends its backlog, telling how far the server
        // has it after each batch, until it is killed.
        RecordStore store(QString::fromLocal8Bit(argv[2]));
        FleetLink link(&store, nullptr);
        QTextStream out(stdout);
        QObject::connect(&link, &FleetLink::confirmedChanged, &link,
                         [&](qint64 confirmed) { out << confirmed << Qt::endl; });
        link.apply(true, u"127.0.0.1"_s, QByteArray(argv[3]).toInt(), u"pelora"_s, u"scale_a"_s,
                   u"disable"_s);
        return app.exec();
    }
    TestFleet test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fleet.moc"

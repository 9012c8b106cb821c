// Stations and one shared PostgreSQL server on this machine (started by the benchmark in a
// scratch folder, as the tests start theirs).
//
//   build/bench/bench_fleet [stations [seconds]]      (20 stations for 600 s by default)
//
// Each station records every 2 s and publishes its live reading every second. Printed: the
// time from a record made to its arrival on the server (p50, p99, worst), and from a reading
// taken to its first arrival at a listener of the fleet page's channel (a heartbeat repeats
// it), against the floor of the same run: a bare NOTIFY from this process to the same
// listener.
//
//   build/bench/bench_fleet backlog [count]           (100,000 records by default)
//
// A station that was offline comes back with `count` records waiting: the time until the
// server holds them all, checked, against the floor of the same rows inserted into a bare
// table in the same batches.

#include "fleetlink.h"
#include "pgserver.h"
#include "recordstore.h"
#include "serverschema.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

QSqlDatabase connectAs(const QString &role, int port, const QString &name)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(port);
    db.setDatabaseName(QStringLiteral("pelora"));
    db.setUserName(role);
    if (!db.open())
        std::fprintf(stderr, "%s\n", qPrintable(db.lastError().text()));
    return db;
}

bool startServer(TestSupport::PgServer &server, int stations)
{
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorText()));
        return false;
    }
    server.sql(QStringLiteral("CREATE ROLE pelora_station NOLOGIN"));
    server.addRole(QStringLiteral("office"), QStringLiteral("office-pw"));
    for (int i = 1; i <= stations; ++i) {
        server.addRole(QStringLiteral("scale_%1").arg(i), QStringLiteral("pw-%1").arg(i),
                       {QStringLiteral("pelora_station")});
    }
    server.addDatabase(QStringLiteral("pelora"), QStringLiteral("office"));
    server.passwordFile();
    QSqlDatabase office = connectAs(QStringLiteral("office"), server.port(), QStringLiteral("o"));
    QString why;
    if (!ServerSchema::ensure(office, &why)) {
        std::fprintf(stderr, "schema: %s\n", qPrintable(why));
        return false;
    }
    return true;
}

void printSpread(const char *what, std::vector<double> v)
{
    if (v.empty()) {
        std::printf("%-34s none\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * v.size()))]; };
    std::printf("%-34s n %6zu  p50 %7.1f ms  p99 %7.1f ms  worst %7.1f ms\n", what, v.size(),
                at(0.5), at(0.99), v.back());
}

struct Station
{
    QTemporaryDir dir;
    std::unique_ptr<RecordStore> store;
    std::unique_ptr<FleetLink> link;
};

int fleet(int stations, int seconds)
{
    TestSupport::PgServer server;
    if (!startServer(server, stations))
        return 1;
    // The listener: what the fleet page is told, on the channel it listens to.
    QSqlDatabase listener = connectAs(QStringLiteral("office"), server.port(), QStringLiteral("l"));
    std::vector<double> readingMs, floorMs;
    QSet<QPair<QString, qint64>> seen;
    QObject::connect(
            listener.driver(), &QSqlDriver::notification, listener.driver(),
            [&](const QString &, QSqlDriver::NotificationSource, const QVariant &payload) {
                const qint64 now = QDateTime::currentMSecsSinceEpoch();
                const QJsonObject o = QJsonDocument::fromJson(payload.toString().toUtf8()).object();
                if (o.contains(QStringLiteral("floor")))
                    floorMs.push_back(now - o.value(QStringLiteral("floor")).toInteger());
                else if (const qint64 read = o.value(QStringLiteral("read_ms")).toInteger();
                         read > 0) {
                    // A heartbeat sends the same reading again: only its first arrival counts.
                    const QPair<QString, qint64> key{o.value(QStringLiteral("station")).toString(),
                                                     read};
                    if (!seen.contains(key)) {
                        seen.insert(key);
                        readingMs.push_back(now - read);
                    }
                }
            });
    listener.driver()->subscribeToNotification(ServerSchema::statusChannel());
    QSqlDatabase floor = connectAs(QStringLiteral("office"), server.port(), QStringLiteral("f"));

    std::vector<std::unique_ptr<Station>> all;
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    for (int i = 1; i <= stations; ++i) {
        auto s = std::make_unique<Station>();
        s->store = std::make_unique<RecordStore>(s->dir.filePath(QStringLiteral("r.sqlite")));
        s->store->setStationName(QStringLiteral("秤 %1").arg(i));
        s->link = std::make_unique<FleetLink>(s->store.get(), nullptr);
        s->link->apply(true, QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("pelora"),
                       QStringLiteral("scale_%1").arg(i), QStringLiteral("disable"));
        Station *p = s.get();
        auto *records = new QTimer(p->link.get());
        QObject::connect(records, &QTimer::timeout, p->link.get(), [p, i] {
            p->store->addRecord(1.0 + i, QStringLiteral("公斤"), QStringLiteral("毛重"),
                                QStringLiteral("/dev/ttyUSB0"), false);
        });
        records->start(2000 + i * 7); // not all at the same moment
        auto *readings = new QTimer(p->link.get());
        QObject::connect(readings, &QTimer::timeout, p->link.get(), [p, i] {
            p->link->publish({{QStringLiteral("live"), true},
                              {QStringLiteral("weight"), 1.0 + i},
                              {QStringLiteral("unit"), QStringLiteral("公斤")},
                              {QStringLiteral("stable"), true}});
        });
        readings->start(1000 + i * 3);
        all.push_back(std::move(s));
    }
    auto *floorTimer = new QTimer(listener.driver());
    QObject::connect(floorTimer, &QTimer::timeout, listener.driver(), [&] {
        QSqlQuery q(floor);
        q.prepare(QStringLiteral("SELECT pg_notify(?, ?)"));
        q.addBindValue(ServerSchema::statusChannel());
        q.addBindValue(QStringLiteral("{\"floor\": %1}").arg(QDateTime::currentMSecsSinceEpoch()));
        q.exec();
    });
    floorTimer->start(1000);
    std::printf("%d stations for %d s ...\n", stations, seconds);
    std::fflush(stdout);
    QTest::qWait(seconds * 1000); // the benchmark's own running time
    floorTimer->stop();
    for (auto &s : all)
        TestSupport::drain(s->store.get());
    // The last records on their way.
    QElapsedTimer settle;
    settle.start();
    const auto allSynced = [&] {
        for (auto &s : all) {
            if (!s->link->synced())
                return false;
        }
        return true;
    };
    while (!allSynced() && settle.elapsed() < 60000)
        QTest::qWait(50);
    std::vector<double> recordMs;
    {
        QSqlQuery q(floor);
        q.exec(QStringLiteral("SELECT (extract(epoch FROM e.received) * 1000)::bigint - e.time_ms"
                              " FROM pelora.entries e WHERE e.kind = 'record' AND e.time_ms >= %1")
                       .arg(start));
        while (q.next())
            recordMs.push_back(q.value(0).toDouble());
    }
    qint64 made = 0;
    for (auto &s : all)
        made += s->store->count();
    std::printf("records made %lld, on the server %zu\n", made, recordMs.size());
    printSpread("record made -> on the server", recordMs);
    printSpread("reading taken -> fleet listener", readingMs);
    printSpread("floor: bare NOTIFY -> listener", floorMs);
    all.clear();
    return 0;
}

int backlog(int count)
{
    TestSupport::PgServer server;
    if (!startServer(server, 1))
        return 1;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("records.sqlite"));
    TestSupport::makeRecords(path, count, 1'700'000'000'000, 1000);
    RecordStore store(path);
    TestSupport::drain(&store, 600000);
    FleetLink link(&store, nullptr);
    QElapsedTimer clock;
    clock.start();
    link.apply(true, QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("pelora"),
               QStringLiteral("scale_1"), QStringLiteral("disable"));
    const qint64 entries = count + 1;
    while (!(link.synced() && link.confirmed() == entries) && clock.elapsed() < 600000)
        QTest::qWait(50);
    const double ours = clock.elapsed() / 1000.0;
    // The floor: the same rows, in the same batches, into a bare table.
    QSqlDatabase office = connectAs(QStringLiteral("office"), server.port(), QStringLiteral("b"));
    QSqlQuery q(office);
    q.exec(QStringLiteral("CREATE TABLE bare (seq bigint, kind text, time bigint, body text,"
                          " prev text, hash text)"));
    QSqlDatabase file = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("s"));
    file.setDatabaseName(path);
    file.open();
    clock.restart();
    for (qint64 from = 0; from < entries; from += Replicator::batchSize) {
        QSqlQuery read(file);
        read.exec(QStringLiteral("SELECT seq, kind, time_ms, body, hex(prev_hash), hex(hash)"
                                 " FROM entries WHERE seq > %1 ORDER BY seq LIMIT %2")
                          .arg(from)
                          .arg(Replicator::batchSize));
        QJsonArray batch;
        while (read.next()) {
            batch.append(QJsonObject{{QStringLiteral("seq"), read.value(0).toLongLong()},
                                     {QStringLiteral("kind"), read.value(1).toString()},
                                     {QStringLiteral("time"), read.value(2).toLongLong()},
                                     {QStringLiteral("body"), read.value(3).toString()},
                                     {QStringLiteral("prev"), read.value(4).toString()},
                                     {QStringLiteral("hash"), read.value(5).toString()}});
        }
        QSqlQuery insert(office);
        insert.prepare(QStringLiteral("INSERT INTO bare SELECT * FROM jsonb_to_recordset(?::jsonb)"
                                      " AS x(seq bigint, kind text, time bigint, body text,"
                                      " prev text, hash text)"));
        insert.addBindValue(QString::fromUtf8(QJsonDocument(batch).toJson(QJsonDocument::Compact)));
        insert.exec();
    }
    const double bare = clock.elapsed() / 1000.0;
    std::printf("backlog of %d records (%lld entries): on the server, checked, in %.1f s"
                " (%.0f entries/s); %s\n",
                count, entries, ours, entries / ours, link.serverChainText().toUtf8().constData());
    std::printf("floor: the same rows into a bare table in %.1f s; ratio %.1f\n", bare,
                ours / bare);
    return link.synced() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestSupport::ScratchSettings scratch;
    const QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args.first() == QStringLiteral("backlog"))
        return backlog(args.size() > 1 ? args.at(1).toInt() : 100000);
    return fleet(args.size() > 0 ? args.at(0).toInt() : 20,
                 args.size() > 1 ? args.at(1).toInt() : 600);
}

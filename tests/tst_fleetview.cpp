// The fleet page's view of a real PostgreSQL server holding three stations' chains and live
// readings, and the page itself in the real window.

#include "chainentry.h"
#include "fleetview.h"
#include "pgserver.h"
#include "serverschema.h"
#include "settingsstore.h"
#include "startup.h"
#include "testsupport.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using namespace Qt::StringLiterals;

static const QString A = u"a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1"_s;
static const QString B = u"b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2"_s;
static const QString C = u"c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"_s;

class TestFleetView : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::PgServer m_pg;
    QSqlDatabase m_db;
    QHash<QString, QPair<qint64, QByteArray>> m_heads; // each station's last seq and hash

    static SettingsStore *store() { return SettingsStore::create(nullptr, nullptr); }
    static qint64 at(int daysAgo, int hour)
    {
        return QDateTime(QDate::currentDate().addDays(-daysAgo), QTime(hour, 0))
                .toMSecsSinceEpoch();
    }

    bool exec(const QString &sql, const QVariantList &values = {})
    {
        QSqlQuery q(m_db);
        q.prepare(sql);
        for (const QVariant &v : values)
            q.addBindValue(v);
        if (!q.exec())
            qWarning() << sql << q.lastError().text();
        return q.isActive();
    }
    // Appends one entry to a station's chain, as a station would.
    bool append(const QString &station, const QString &kind, qint64 timeMs, const QString &body)
    {
        auto &[seq, prev] = m_heads[station];
        ChainEntry e;
        e.seq = seq + 1;
        e.station = station;
        e.kind = kind;
        e.timeMs = timeMs;
        e.body = body;
        e.prevHash = prev.isEmpty() ? ChainEntry::zeroHash() : prev;
        e.hash = e.computeHash();
        const QJsonObject entry{{u"seq"_s, e.seq},
                                {u"kind"_s, kind},
                                {u"time"_s, timeMs},
                                {u"body"_s, body},
                                {u"prev"_s, QString::fromLatin1(e.prevHash.toHex())},
                                {u"hash"_s, QString::fromLatin1(e.hash.toHex())}};
        seq = e.seq;
        prev = e.hash;
        return exec(u"SELECT pelora.append(?, ?::jsonb)"_s,
                    {station, QString::fromUtf8(QJsonDocument(QJsonArray{entry}).toJson())});
    }
    bool record(const QString &station, qint64 number, qint64 timeMs, double kg,
                const QString &unit = u"公斤"_s)
    {
        return append(station, ChainEntry::recordKind(), timeMs,
                      ChainEntry::recordBody(number, kg, 0.5, unit, u"净重"_s, u"/dev/ttyUSB0"_s,
                                             false, false));
    }
    bool publish(const QString &station, double kg, const QString &unit, bool stable,
                 bool overload = false)
    {
        const QJsonObject state{
                {u"online"_s, true},   {u"live"_s, true},
                {u"weight"_s, kg},     {u"unit"_s, unit},
                {u"stable"_s, stable}, {u"overload"_s, overload},
                {u"net"_s, false},     {u"sent"_s, QDateTime::currentMSecsSinceEpoch()}};
        return exec(u"SELECT pelora.publish(?, ?::jsonb)"_s,
                    {station, QString::fromUtf8(QJsonDocument(state).toJson())});
    }
    void useServer(int port, bool enabled = true)
    {
        store()->setValue(u"server/host"_s, u"127.0.0.1"_s);
        store()->setValue(u"server/port"_s, port);
        store()->setValue(u"server/database"_s, u"pelora"_s);
        store()->setValue(u"server/user"_s, u"admin"_s);
        store()->setValue(u"server/sslmode"_s, u"disable"_s);
        store()->setValue(u"server/enabled"_s, enabled);
    }
    static QVariantMap row(FleetView &view, const QString &station)
    {
        return view.stationModel()->get(view.stationModel()->indexOf(station));
    }
    static QVariantMap record(FleetView &view, int i) { return view.recordModel()->get(i); }

private Q_SLOTS:
    void initTestCase()
    {
        Pelora::setIdentity(*qApp, u"PeloraFleetViewTest"_s);
        QVERIFY2(m_pg.start(), qPrintable(m_pg.errorText()));
        QVERIFY(m_pg.addRole(u"admin"_s, u"secret"_s));
        bool made = false;
        m_pg.sql(u"CREATE ROLE pelora_station NOLOGIN"_s, u"postgres"_s, &made);
        QVERIFY(made);
        QVERIFY(m_pg.addDatabase(u"pelora"_s, u"admin"_s));
        m_pg.passwordFile();
        m_db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"test-admin"_s);
        m_db.setHostName(u"127.0.0.1"_s);
        m_db.setPort(m_pg.port());
        m_db.setDatabaseName(u"pelora"_s);
        m_db.setUserName(u"admin"_s);
        QVERIFY2(m_db.open(), qPrintable(m_db.lastError().text()));
        QString why;
        QVERIFY2(ServerSchema::ensure(m_db, &why), qPrintable(why));
        QVERIFY(exec(u"SELECT pelora.register(?, ?)"_s, {A, u"东门地磅"_s}));
        QVERIFY(exec(u"SELECT pelora.register(?, ?)"_s, {B, u"北门"_s}));
        QVERIFY(exec(u"SELECT pelora.register(?, ?)"_s, {C, u"+西门地磅"_s}));
        // A: three today, the last voided; B: one yesterday, one today, in 斤; C: one earlier.
        QVERIFY(record(A, 1, at(0, 9), 12.5) && record(A, 2, at(0, 10), 20.25)
                && record(A, 3, at(0, 11), 7));
        QVERIFY(append(A, ChainEntry::voidKind(), at(0, 11) + 1000,
                       ChainEntry::makeBody({{u"target"_s, u"3"_s}, {u"reason"_s, u"重称"_s}})));
        QVERIFY(record(B, 1, at(1, 9), 50, u"斤"_s) && record(B, 2, at(0, 8), 30, u"斤"_s));
        QVERIFY(record(C, 1, at(2, 9), 100));
        QVERIFY(publish(A, 12.345, u"公斤"_s, true) && publish(B, 3.5, u"斤"_s, false)
                && publish(C, 600, u"公斤"_s, false, true));
        useServer(m_pg.port());
    }

    // Every station with its day, its last record and its chain; a live reading arrives by
    // itself, a reading no heartbeat follows turns offline, a new batch counts at once.
    void showsEveryStationLive()
    {
        FleetView view(store());
        QTRY_VERIFY(view.connected());
        QCOMPARE(view.statusText(), u"已连接 admin@127.0.0.1:%1/pelora"_s.arg(m_pg.port()));
        QTRY_COMPARE(view.stationModel()->rowCount(), 3);
        QTRY_COMPARE(row(view, A).value(u"chainText"_s).toString(), u"记录链完整 · 4 条"_s);
        QVariantMap a = row(view, A);
        QCOMPARE(a.value(u"name"_s).toString(), u"东门地磅"_s);
        QCOMPARE(a.value(u"todayCount"_s).toLongLong(), 2); // the voided one not counted
        QCOMPARE(a.value(u"todayTotalKg"_s).toDouble(), 32.75);
        QCOMPARE(a.value(u"lastRecordWeightKg"_s).toDouble(), 20.25);
        QCOMPARE(a.value(u"lastRecordTimeMs"_s).toLongLong(), at(0, 10));
        QCOMPARE(a.value(u"badgeText"_s).toString(), u"稳定"_s);
        const QVariantMap b = row(view, B);
        QCOMPARE(b.value(u"todayCount"_s).toLongLong(), 1);
        QCOMPARE(b.value(u"weightText"_s).toString(), u"7.000"_s); // 3.5 kg shown in 斤
        QCOMPARE(b.value(u"unitText"_s).toString(), u"斤"_s);
        QCOMPARE(b.value(u"badgeText"_s).toString(), u"不稳定"_s);
        QCOMPARE(row(view, C).value(u"badgeText"_s).toString(), u"超载"_s);
        QCOMPARE(row(view, C).value(u"todayCount"_s).toLongLong(), 0);
        QCOMPARE(view.stationChoices().size(), 4);

        QVERIFY(publish(A, 42.5, u"公斤"_s, false));
        QTRY_COMPARE(row(view, A).value(u"weightText"_s).toString(), u"42.500"_s);
        QCOMPARE(row(view, A).value(u"stateText"_s).toString(), u"在线"_s);
        QTRY_COMPARE_WITH_TIMEOUT(row(view, A).value(u"stateText"_s).toString(), u"离线"_s, 8000);
        QCOMPARE(row(view, A).value(u"weightText"_s).toString(), u"—"_s);

        QVERIFY(record(B, 3, at(0, 12), 1.25, u"斤"_s));
        QTRY_COMPARE(row(view, B).value(u"todayCount"_s).toLongLong(), 2);
        QCOMPARE(row(view, B).value(u"chainText"_s).toString(), u"记录链完整 · 3 条"_s);
        QTRY_COMPARE(view.recordTotal(), 7);
        QCOMPARE(record(view, 0).value(u"number"_s).toLongLong(), 3);
    }

    // The records by station and by day, and their export as a spreadsheet reads it.
    void filtersAndExports()
    {
        FleetView view(store());
        QTRY_COMPARE(view.recordTotal(), 7);
        QCOMPARE(view.setFilter(B, {}, {}), QString());
        QTRY_COMPARE(view.recordTotal(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(record(view, i).value(u"stationName"_s).toString(), u"北门"_s);
        const QString yesterday = QDate::currentDate().addDays(-1).toString(u"yyyy-MM-dd"_s);
        QCOMPARE(view.setFilter({}, yesterday, yesterday), QString());
        QTRY_COMPARE(view.recordTotal(), 1);
        QCOMPARE(record(view, 0).value(u"weightText"_s).toString(), u"100.000"_s); // 50 kg in 斤
        QVERIFY(!view.setFilter({}, u"2025-13-01"_s, {}).isEmpty());
        QCOMPARE(view.setFilter({}, {}, yesterday), QString());
        QTRY_COMPARE(view.recordTotal(), 2);

        QTemporaryDir dir;
        const QString path = dir.filePath(u"fleet.csv"_s);
        QSignalSpy finished(&view, &FleetView::exportFinished);
        QCOMPARE(view.exportCsv(path), QString());
        QVERIFY(finished.wait());
        QCOMPARE(finished.at(0).at(1).toString(), QString());
        QVERIFY(TestSupport::readAll(path).startsWith("\xEF\xBB\xBF")); // for Excel
        const QStringList lines = QString::fromUtf8(TestSupport::readAll(path)).split(u"\r\n"_s);
        QCOMPARE(lines.value(0),
                 u"站点,站点ID,记录编号,日期,时间,重量,单位,皮重(kg),模式,手动/自动,作废,校验值"_s);
        QCOMPARE(lines.size(), 4); // the header, two records, the last line's end
        QCOMPARE(lines.value(1).section(u',', 0, 10),
                 u"\"'+西门地磅\",%1,1,%2,09:00:00,100.000,公斤,0.500,净重,自动,"_s.arg(
                         C, QDate::currentDate().addDays(-2).toString(u"yyyy-MM-dd"_s)));
        QCOMPARE(lines.value(2).section(u',', 0, 6),
                 u"北门,%1,1,%2,09:00:00,100.000,斤"_s.arg(B, yesterday));
        QSqlQuery q(m_db);
        QVERIFY(q.exec(u"SELECT encode(hash, 'hex') FROM pelora.records WHERE station = '%1'"_s.arg(
                               B)
                       + u" AND number = 1"_s)
                && q.next());
        QCOMPARE(lines.value(2).section(u',', 11), q.value(0).toString());
        // All days: the voided record says so.
        QCOMPARE(view.setFilter(A, {}, {}), QString());
        QTRY_COMPARE(view.recordTotal(), 3);
        QCOMPARE(view.exportCsv(path), QString());
        QVERIFY(finished.wait());
        const QString all = QString::fromUtf8(TestSupport::readAll(path));
        QCOMPARE(all.count(u",作废,"_s), 2); // the header and the voided record
        QVERIFY(all.contains(
                u",3,%1,11:00:00,7.000,"_s.arg(QDate::currentDate().toString(u"yyyy-MM-dd"_s))));
    }

    // A record changed on the server behind the functions' back breaks that station's chain.
    void tamperedRecordBreaksItsChain()
    {
        FleetView view(store());
        QTRY_COMPARE(row(view, C).value(u"chainText"_s).toString(), u"记录链完整 · 1 条"_s);
        bool ok = false;
        m_pg.sql(u"SET session_replication_role = replica; UPDATE pelora.records SET weight_kg = 1"
                 " WHERE station = '%1';"_s.arg(C),
                 u"pelora"_s, &ok);
        QVERIFY2(ok, qPrintable(m_pg.errorText()));
        view.refresh();
        QTRY_VERIFY(row(view, C).value(u"chainBroken"_s).toBool());
        QCOMPARE(row(view, C).value(u"chainText"_s).toString(),
                 u"记录链在第 1 条处断开：记录 №1 与链中所记不符"_s);
        QVERIFY(!row(view, A).value(u"chainBroken"_s).toBool());
    }

    // The server goes away and comes back: the view says so, tries again by itself, listens
    // again, and the window's own timers run on all the while.
    void survivesTheServerGoingAway()
    {
        FleetView view(store());
        QTRY_VERIFY(view.connected());
        QTRY_COMPARE(view.stationModel()->rowCount(), 3);
        int ticks = 0;
        QTimer timer;
        timer.setInterval(20);
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start();
        QVERIFY(m_pg.stop());
        QTRY_VERIFY_WITH_TIMEOUT(!view.connected(), 10000);
        QVERIFY2(view.statusText().startsWith(u"无法连接服务器："_s),
                 qPrintable(view.statusText()));
        const int before = ticks;
        QTRY_VERIFY(ticks > before + 10);
        QVERIFY(m_pg.restart());
        QTRY_VERIFY_WITH_TIMEOUT(view.connected(), 20000);
        m_db.close();
        QVERIFY(m_db.open());
        QVERIFY(publish(B, 9, u"公斤"_s, true));
        QTRY_COMPARE(row(view, B).value(u"weightText"_s).toString(), u"9.000"_s);
    }

    // A server that takes the connection and never answers holds up the worker alone; off
    // in the settings, the view says where to set it.
    void neverWaitsOnTheServer()
    {
        QTcpServer hole; // the kernel takes the connection; nobody ever answers it
        QVERIFY(hole.listen(QHostAddress::LocalHost));
        useServer(hole.serverPort());
        auto restore = qScopeGuard([this] { useServer(m_pg.port()); });
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start(20);
        FleetView view(store());
        // The window's loop went round while the attempt lasted: it was never waited on.
        int ticksAtFailure = -1;
        const auto seen = [&] {
            if (ticksAtFailure < 0 && view.statusText().startsWith(u"无法连接服务器："_s))
                ticksAtFailure = ticks;
        };
        seen();
        connect(&view, &FleetView::stateChanged, this, seen);
        QTRY_VERIFY_WITH_TIMEOUT(ticksAtFailure >= 0, 15000);
        QVERIFY2(ticksAtFailure >= 10, qPrintable(QString::number(ticksAtFailure)));
        useServer(m_pg.port(), false);
        QTRY_COMPARE(view.statusText(), u"未设置服务器"_s);
        QVERIFY(!view.configured());
        QCOMPARE(view.stationModel()->rowCount(), 0);
    }

    // The page in the real window at a small and a full-HD size: every station's card, the
    // records, no text cut; without a server only the way to set one.
    void pageInTheWindow()
    {
        TestSupport::Rig r;
        QVERIFY(r.load());
        r.click(u"fleetButton"_s);
        QTRY_VERIFY(r.item(u"fleetPage"_s) && r.item(u"fleetPage"_s)->x() == 0);
        QVERIFY(publish(A, 88.8, u"公斤"_s, true) && publish(B, 12.5, u"斤"_s, false));
        for (const QSize size : {QSize(800, 600), QSize(1920, 1080)}) {
            r.window->resize(size);
            QTRY_COMPARE(r.window->contentItem()->size(), QSizeF(size));
            QTRY_COMPARE(r.text(u"stationChain"_s).isEmpty(), false);
            // The first text cut or spilling out of its box, once the layout has settled.
            const auto cut = [&]() -> QString {
                QList<QQuickItem *> texts;
                int cards = 0;
                const std::function<void(QQuickItem *)> walk = [&](QQuickItem *item) {
                    if (!item->isVisible())
                        return;
                    cards += item->objectName() == u"stationCard"_s;
                    if (item->inherits("QQuickText"))
                        texts << item;
                    for (QQuickItem *child : item->childItems())
                        walk(child);
                };
                walk(r.item(u"fleetPage"_s));
                // The three stations, and the window's own: set to the server, it is a
                // station too.
                if (cards != 4)
                    return u"%1 cards"_s.arg(cards);
                for (QQuickItem *text : std::as_const(texts)) {
                    if (text->property("truncated").toBool()
                        || (text->property("contentWidth").toReal() > text->width() + 1
                            && text->property("wrapMode").toInt() == 0))
                        return text->objectName() + u' ' + text->property("text").toString();
                }
                return {};
            };
            QTRY_COMPARE(cut(), QString());
            QVERIFY(r.item(u"fleetRecordList"_s)->property("count").toInt() > 0);
            const QImage shot = r.window->grabWindow();
            if (const QString folder = qEnvironmentVariable("PELORA_FLEET_PICTURES");
                !folder.isEmpty())
                shot.save(u"%1/fleet-%2x%3.png"_s.arg(folder).arg(size.width()).arg(size.height()));
        }
        // The window is a station of the same server: its records page says how far the
        // server has them, and the server dialog shows the settings it runs with.
        const auto picture = [&](const QString &name) {
            if (const QString folder = qEnvironmentVariable("PELORA_FLEET_PICTURES");
                !folder.isEmpty())
                r.window->grabWindow().save(u"%1/%2.png"_s.arg(folder, name));
        };
        // Clicks a control once it is there to click (a page slides in first).
        const auto tap = [&](const QString &name) {
            QQuickItem *item = nullptr;
            if (!QTest::qWaitFor([&] {
                    item = r.item(name);
                    return item && item->isVisible() && item->isEnabled();
                }))
                return false;
            r.click(item);
            return true;
        };
        r.js(u"Components.Router.navigate('/records')"_s);
        QTRY_VERIFY(r.item(u"recordsPage"_s) && r.item(u"recordsPage"_s)->x() == 0);
        QTRY_VERIFY(r.item(u"syncStatus"_s) && r.item(u"syncStatus"_s)->isVisible());
        QTRY_COMPARE(r.text(u"syncStatus"_s), u"已同步"_s);
        picture(u"records-synced-1920x1080"_s);
        r.js(u"Components.Router.navigate('/home')"_s);
        // The home page, slid all the way in, holds the settings.
        QTRY_VERIFY(!r.item(u"recordsPage"_s) || !r.item(u"recordsPage"_s)->isVisible());
        QTRY_VERIFY(r.item(u"weightDisplay"_s)->mapToScene({0, 0}).x() >= 0);
        QTRY_VERIFY(r.item(u"header"_s)->mapToScene({0, 0}).x() == 0);
        QVERIFY(tap(u"settingsButton"_s));
        QTRY_VERIFY(r.object(u"settingsDialog"_s)->property("opened").toBool());
        QTRY_VERIFY(r.object(u"settingsDialog"_s)->property("opened").toBool());
        QVERIFY(tap(u"serverButton"_s));
        QTRY_VERIFY(r.object(u"serverDialog"_s)->property("opened").toBool());
        QCOMPARE(r.item(u"serverHostField"_s)->property("text").toString(), u"127.0.0.1"_s);
        QCOMPARE(r.item(u"serverUserField"_s)->property("text").toString(), u"admin"_s);
        QVERIFY(r.text(u"serverPasswordHint"_s).contains(u".pgpass"_s));
        picture(u"server-dialog-1920x1080"_s);
        r.window->resize(800, 600);
        QTRY_COMPARE(r.window->contentItem()->size(), QSizeF(800, 600));
        QTRY_VERIFY(r.item(u"serverSaveButton"_s)->isVisible());
        picture(u"server-dialog-800x600"_s);
        QMetaObject::invokeMethod(r.object(u"serverDialog"_s), "close");
        QMetaObject::invokeMethod(r.object(u"settingsDialog"_s), "close");
        QTRY_VERIFY(!r.object(u"settingsDialog"_s)->property("visible").toBool());
        r.js(u"Components.Router.navigate('/fleet')"_s);
        QTRY_VERIFY(r.item(u"fleetPage"_s) && r.item(u"fleetPage"_s)->isVisible());

        useServer(m_pg.port(), false);
        QTRY_VERIFY(r.item(u"fleetNoServerHint"_s)->isVisible());
        QVERIFY(!r.item(u"fleetRecordList"_s)->isVisible());
        useServer(m_pg.port());
    }

    // A station that registers while the page is open turns up with its first reading.
    void newStationAppearsByItself()
    {
        FleetView view(store());
        QTRY_VERIFY(view.stationModel()->rowCount() >= 3);
        const int known = view.stationModel()->rowCount();
        const QString d = u"d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4d4"_s;
        QVERIFY(exec(u"SELECT pelora.register(?, ?)"_s, {d, u"南门"_s}));
        QVERIFY(publish(d, 2.5, u"公斤"_s, true));
        QTRY_COMPARE(view.stationModel()->rowCount(), known + 1);
        QTRY_COMPARE(row(view, d).value(u"weightText"_s).toString(), u"2.500"_s);
        QCOMPARE(row(view, d).value(u"name"_s).toString(), u"南门"_s);
        QCOMPARE(row(view, d).value(u"stateText"_s).toString(), u"在线"_s);
        QCOMPARE(view.stationChoices().size(), known + 2); // and "all stations"
    }
};

QTEST_MAIN(TestFleetView)
#include "tst_fleetview.moc"

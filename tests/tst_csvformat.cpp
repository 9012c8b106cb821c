#include "csvformat.h"

#include <QDateTime>
#include <QFile>
#include <QScopeGuard>
#include <QTest>
#include <QTimeZone>

#include <ctime>

using namespace Qt::StringLiterals;

class tst_CsvFormat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cells()
    {
        for (const QString &text : {u"/dev/ttyUSB0"_s, QString(), u"a=b-c"_s}) // "=" inside only
            QCOMPARE(CsvFormat::textCell(text), text);
        // Text starting as a formula would is quoted, after an apostrophe.
        for (const QString &text : {u"+1"_s, u"-2"_s, u"@x"_s, u"\tx"_s, u"\r=1"_s})
            QCOMPARE(CsvFormat::textCell(text), u"\"'"_s + text + u'"');
        const QList<std::pair<QString, QString>> quoted{
                {u"净,毛"_s, u"\"净,毛\""_s},
                {u"COM3 \"x\""_s, u"\"COM3 \"\"x\"\"\""_s},
                {u"a\nb"_s, u"\"a\nb\""_s},
                {u"=HYPERLINK(\"x\",\"点我\")"_s, u"\"'=HYPERLINK(\"\"x\"\",\"\"点我\"\")\""_s}};
        for (const auto &[text, cell] : quoted)
            QCOMPARE(CsvFormat::textCell(text), cell);
    }

    // The same moment in three zones; the local columns follow the zone, the weight stays a
    // number whatever its sign.
    void rows_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("zone");
        QTest::newRow("east") << 7200 << u"2025-06-01 10:00:00"_s << u"UTC+02:00"_s;
        QTest::newRow("half hour") << 19800 << u"2025-06-01 13:30:00"_s << u"UTC+05:30"_s;
        QTest::newRow("west") << -12600 << u"2025-06-01 04:30:00"_s << u"UTC-03:30"_s;
        QTest::newRow("utc") << 0 << u"2025-06-01 08:00:00"_s << u"UTC+00:00"_s;
    }
    void rows()
    {
        QFETCH(int, offset);
        QFETCH(QString, local);
        QFETCH(QString, zone);
        const QDateTime utc(QDate(2025, 6, 1), QTime(8, 0), QTimeZone::utc());
        const QDateTime time = utc.toTimeZone(QTimeZone(offset));
        QCOMPARE(CsvFormat::dateTimeCell(time), local);
        QCOMPARE(CsvFormat::offsetCell(time), zone);

        const QDateTime here = utc.toLocalTime();
        const QVariantMap record{{u"timeMs"_s, utc.toMSecsSinceEpoch()},
                                 {u"weightKg"_s, -1.25},
                                 {u"unit"_s, u"公斤"_s},
                                 {u"mode"_s, QString()},
                                 {u"port"_s, u"@COM3"_s},
                                 {u"manual"_s, true}};
        QCOMPARE(CsvFormat::row(record),
                 CsvFormat::dateTimeCell(here) + u',' + CsvFormat::offsetCell(here)
                         + u",-1.250,公斤,—,\"'@COM3\",手动\r\n"_s);
        QVERIFY(CsvFormat::head().startsWith(u"\uFEFF时间,时区(UTC偏移),重量(kg),"_s));
    }

    // A long export counts wall times out from the zone's offset per quarter hour: across a
    // change of summer time (both ways), before 1970 and in a zone on half hours, every
    // minute reads as the zone itself says.
    void wallTimesAcrossZoneChanges()
    {
#ifndef Q_OS_UNIX
        QSKIP("sets the zone through TZ");
#else
        const QByteArray old = qgetenv("TZ");
        const auto restore = qScopeGuard([&] {
            qputenv("TZ", old);
            tzset();
        });
        const QTimeZone utc = QTimeZone::utc();
        const QList<std::pair<QByteArray, QDateTime>> changes{
                {"Europe/Berlin", QDateTime(QDate(2025, 3, 30), QTime(0, 0), utc)},
                {"Europe/Berlin", QDateTime(QDate(2025, 10, 26), QTime(0, 0), utc)},
                {"Australia/Adelaide", QDateTime(QDate(2025, 4, 5), QTime(15, 0), utc)},
                {"America/New_York", QDateTime(QDate(1969, 12, 31), QTime(22, 0), utc)}};
        for (const auto &[zone, from] : changes) {
            if (!QFile::exists("/usr/share/zoneinfo/" + QString::fromLatin1(zone)))
                QSKIP("no time zone data");
            qputenv("TZ", zone);
            tzset();
            CsvFormat::LocalTimes times;
            for (qint64 t = from.toMSecsSinceEpoch(), end = t + 4 * 3600 * 1000; t < end;
                 t += 60 * 1000 + 7) {
                const QDateTime time = QDateTime::fromMSecsSinceEpoch(t);
                const auto [offset, wall] = times.at(t);
                QCOMPARE(wall, CsvFormat::dateTimeCell(time));
                QCOMPARE(offset, CsvFormat::offsetCell(time));
            }
        }
#endif
    }
};

QTEST_APPLESS_MAIN(tst_CsvFormat)
#include "tst_csvformat.moc"

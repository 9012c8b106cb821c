#include "chainentry.h"
#include "recordlistmodel.h"
#include "recordstore.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimeZone>

using namespace Qt::StringLiterals;
using TestSupport::readAll;

class tst_RecordStore : public QObject
{
    Q_OBJECT

private:
    // Waits for a store to open (or to find it cannot), as the window does: without blocking.
    static bool opened(RecordStore &store, RecordWorker::Health expected = RecordWorker::Ok)
    {
        return QTest::qWaitFor([&] { return store.health() == expected; }, 20000)
                && TestSupport::drain(&store);
    }

private Q_SLOTS:
    // The records are there after a restart; a range exports only its own, in a file that
    // opens with its BOM and its Chinese.
    void recordsSurviveRestartAndExportAsCsv()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"sub/records.sqlite"_s);
        const qint64 t0 = QDateTime(QDate(2026, 3, 1), QTime(8, 0)).toMSecsSinceEpoch();
        {
            RecordStore store(path);
            QVERIFY2(opened(store), qPrintable(store.errorText()));
            store.addRecord(1.25, u"公斤"_s, u"净重"_s, u"/dev/ttyUSB0"_s, false, t0);
            store.addRecord(2.5, u"斤"_s, u"净,毛"_s, u"COM3 \"x\""_s, true, t0 + 60000);
            store.addRecord(9, {}, {}, {}, false, t0 + 120000);
            QVERIFY(TestSupport::drain(&store));
        }
        RecordStore store(path);
        QVERIFY(opened(store));
        QCOMPARE(store.count(), 3);

        const QString csv = dir.filePath(u"out.csv"_s);
        QSignalSpy done(&store, &RecordStore::exportFinished);
        QCOMPARE(store.exportCsvToPath(csv, t0, t0 + 60000), QString());
        QVERIFY(done.wait());
        QCOMPARE(done.first().at(1).toString(), QString());
        const QByteArray bytes = readAll(csv);
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList rows = QString::fromUtf8(bytes.mid(3)).split(u"\r\n"_s);
        QCOMPARE(rows.size(), 4); // and an empty piece after the last line break
        // The seven columns a spreadsheet user reads come first, as they always did.
        QVERIFY(rows[0].startsWith(u"时间,时区(UTC偏移),重量(kg),显示单位,净重/毛重,端口,方式,"_s));
        QVERIFY(rows[1].section(u',', 2).startsWith(u"1.250,公斤,净重,/dev/ttyUSB0,自动,"_s));
        QVERIFY(rows[2].section(u',', 2).startsWith(
                u"2.500,斤,\"净,毛\",\"COM3 \"\"x\"\"\",手动,"_s));
        // Local wall time, and the offset that makes it the same moment anywhere.
        for (int i : {1, 2}) {
            QDateTime time
                    = QDateTime::fromString(rows[i].section(u',', 0, 0), u"yyyy-MM-dd HH:mm:ss"_s);
            const QString zone = rows[i].section(u',', 1, 1);
            time.setTimeZone(QTimeZone((zone[3] == u'-' ? -60 : 60)
                                       * (zone.mid(4, 2).toInt() * 60 + zone.mid(7, 2).toInt())));
            QCOMPARE(time.toMSecsSinceEpoch(), t0 + (i - 1) * 60000);
        }
    }

    // The bytes hashed are fixed: the same entry hashes the same on any machine and in any
    // version that reads the file, a tab or line break in a value cannot pass for a field,
    // and a weight is written as the shortest text that reads back as itself.
    void chainFormIsFixed()
    {
        ChainEntry entry;
        entry.seq = 2;
        entry.station = u"a1b2c3d4e5f60718293a4b5c6d7e8f90"_s;
        entry.kind = ChainEntry::recordKind();
        entry.timeMs = 1769823000123;
        entry.body = ChainEntry::recordBody(1, 0.1 + 0.2, 0.5, u"公斤"_s, u"净重"_s,
                                            u"COM3\tx\\y"_s, false, true);
        QCOMPARE(entry.body,
                 u"number\t1\nweight\t0.30000000000000004\ntare\t0.5\nunit\t公斤\n"
                 "mode\t净重\nport\tCOM3\\tx\\\\y\nmanual\t0\nmigrated\t1\n"_s);
        entry.prevHash = QByteArray(32, '\x11');
        // As Python's hashlib makes it of the same bytes, written out by hand.
        QCOMPARE(entry.computeHash().toHex(),
                 "016aa57df554593546f4bb242631aef792f651ac544b13b490a5004d3e0fa8e9");
        ChainEntry::Fields fields;
        QVERIFY(ChainEntry::parseBody(entry.body, &fields));
        QCOMPARE(ChainEntry::value(fields, u"port"_s), u"COM3\tx\\y"_s);
    }

    // Only real calendar days in the form shown bound an export; a day ends at the next one.
    void dayRanges()
    {
        QTemporaryDir dir;
        RecordStore store(dir.filePath(u"records.sqlite"_s));
        for (const auto &[from, to] : {std::pair{"2025-02-30", ""},
                                       {"", "2025-13-01"},
                                       {"2025-6-1", ""},
                                       {"2025-06-01T10:00", ""},
                                       {"2025-06-02", "2025-06-01"}})
            QVERIFY2(store.dayRange(from, to).contains(u"error"_s), from);
        const QVariantMap range = store.dayRange(u" 2024-02-29"_s, "2024-02-29");
        QCOMPARE(range.value(u"fromMs"_s), QDate(2024, 2, 29).startOfDay().toMSecsSinceEpoch());
        QCOMPARE(range.value(u"toMs"_s), QDate(2024, 3, 1).startOfDay().toMSecsSinceEpoch() - 1);
        QCOMPARE(store.dayRange({}, {}).value(u"toMs"_s), -1);
    }

    void killedWriterLosesNothingCommitted()
    {
#ifndef Q_OS_UNIX
        QSKIP("kills with SIGKILL");
#else
        QTemporaryDir dir;
        const QString path = dir.filePath(u"records.sqlite"_s);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--write-records"_s, path});
        int told = 0;
        while (told < 20) {
            QVERIFY(child.waitForReadyRead(10000));
            told += child.readAllStandardOutput().count('\n');
        }
        child.kill(); // SIGKILL, in the middle of its next records
        QVERIFY(child.waitForFinished());
        RecordStore store(path);
        QVERIFY2(opened(store), qPrintable(store.errorText()));
        QVERIFY2(store.count() >= told, qPrintable(QString::number(store.count())));
        // Each record went in with its entry, or neither did: the chain has no hole.
        QTRY_COMPARE(store.chainText(),
                     u"记录链完整 · %1 条"_s.arg(store.count() + 1)); // and its first entry
#endif
    }

    // Someone changes the file behind the tool's back, with the sqlite3 a person would use,
    // or edits an export: the page, pelora-verify and the CSV check each name the first
    // break, where it is and what was done.
    void tamperingIsNamed_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("said");
        QTest::addColumn<int>("csvLine"); // the export's line to edit, 0 for none
        QTest::addColumn<QString>("csvEdit"); // "port", "delete" or "swap" (with the next)
        QTest::addColumn<QString>("csvSaid");
        QTest::addColumn<int>("count"); // valid records, as the store counts them afterwards
        // Entry 1 starts the chain; record number n is entry n + 1, line n + 1 of the export.
        QTest::newRow("one byte")
                << u"UPDATE records SET port = '/dev/ttyUSB1' WHERE number = 3"_s
                << u"第 4 条处断开：记录编号 3 的端口被改动（/dev/ttyUSB0 → /dev/ttyUSB1）"_s << 4
                << u"port"_s
                << u"第 4 条处断开：表格中的端口与记录不符（/dev/ttyUSB0 → /dev/ttyUSB1）"_s << 4;
        QTest::newRow("weight, in the entry too")
                << u"UPDATE records SET weight_kg = 2.26 WHERE number = 2;"
                   "UPDATE entries SET body = replace(body, 'weight	2.25', 'weight	2.26')"
                   " WHERE seq = 3"_s
                << u"第 3 条处断开：内容被改动（校验值不符）"_s << 0 << QString() << QString() << 4;
        QTest::newRow("record deleted") << u"DELETE FROM records WHERE number = 3"_s
                                        << u"第 4 条处断开：记录被删除（记录编号 3）"_s << 4
                                        << u"delete"_s << u"第 4 条处断开：缺少第 4 条"_s << 3;
        QTest::newRow("entry deleted")
                << u"DELETE FROM entries WHERE seq = 4"_s << u"第 4 条处断开：缺少第 4 条"_s << 0
                << QString() << QString() << 4;
        QTest::newRow("swapped")
                << u"UPDATE entries SET seq = -1 WHERE seq = 4; UPDATE entries SET seq = 4 WHERE"
                   " seq = 5; UPDATE entries SET seq = 5 WHERE seq = -1"_s
                << u"第 4 条处断开：条目顺序被调换（第 4 条与第 5 条）"_s << 4 << u"swap"_s
                << u"第 4 条处断开：条目顺序被调换（第 5 条出现在第 4 条之前）"_s << 4;
        QTest::newRow("void undone") << u"UPDATE records SET voided_seq = NULL"_s
                                     << u"第 8 条处断开：作废标记与作废条目不符（作废标记被改动）"_s
                                     << 0 << QString() << QString() << 5;
        // A record slipped in under the number of an event, and one hidden under
        // another's void.
        QTest::newRow("record added")
                << u"INSERT INTO records (time_ms, weight_kg, seq, number) VALUES (0, 9.99, 6, 6)"_s
                << u"第 9 条处断开：记录 6 不在记录链中（被添加）"_s << 0 << QString() << QString()
                << 5;
        QTest::newRow("chain dropped")
                << u"DROP TABLE entries"_s << u"第 1 条处断开：记录链无法读取（"_s << 0 << QString()
                << QString() << 4;
        QTest::newRow("void borrowed")
                << u"UPDATE records SET voided_seq = 8 WHERE number = 1"_s
                << u"第 8 条处断开：作废标记与作废条目不符（作废标记被改动）"_s << 0 << QString()
                << QString() << 3;
    }

    void tamperingIsNamed()
    {
        QFETCH(QString, sql);
        QFETCH(QString, said);
        QFETCH(int, csvLine);
        QFETCH(QString, csvEdit);
        QFETCH(QString, csvSaid);
        QFETCH(int, count);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"records.sqlite"_s);
        const QString csv = dir.filePath(u"all.csv"_s);
        {
            RecordStore store(path);
            QVERIFY(opened(store));
            QSignalSpy saved(&store, &RecordStore::recordSaved);
            for (int i = 1; i <= 4; ++i)
                store.addRecord(i + 0.25, u"公斤"_s, u"净重"_s, u"/dev/ttyUSB0"_s, false, i * 1000);
            store.addEvent(u"zero"_s, {{u"outcome"_s, u"ok"_s}});
            store.addRecord(5.25, u"公斤"_s, u"毛重"_s, u"/dev/ttyUSB0"_s, true, 5000);
            QTRY_COMPARE(saved.size(), 5);
            QCOMPARE(store.voidRecord(saved.last().at(1).toLongLong(), u"称错了"_s), QString());
            QTRY_COMPARE(store.chainText(), u"记录链完整 · 8 条"_s);
            QCOMPARE(store.count(), 4); // the void one is kept, not counted
            QSignalSpy done(&store, &RecordStore::exportFinished);
            QCOMPARE(store.exportCsvToPath(csv), QString());
            QVERIFY(done.wait());
            // The export checks whole on its own.
            QSignalSpy checked(&store, &RecordStore::csvChecked);
            store.verifyCsv(QUrl::fromLocalFile(csv));
            QTRY_COMPARE(checked.size(), 2);
            QCOMPARE(checked.last().at(2).toString(), u"记录链完整 · 8 条"_s);
        }
        QProcess sqlite3;
        sqlite3.start(u"sqlite3"_s, {u"-bail"_s, path, sql});
        QVERIFY(sqlite3.waitForFinished());
        QVERIFY2(sqlite3.exitCode() == 0, sqlite3.readAllStandardError().constData());
        {
            RecordStore store(path);
            QVERIFY(opened(store));
            QTRY_VERIFY(store.chainBroken());
            QVERIFY2(store.chainText().startsWith(u"记录链在"_s + said),
                     qPrintable(store.chainText()));
            QCOMPARE(store.count(), count); // the void one left out after a restart too
        }
        QProcess verify;
        verify.start(QStringLiteral(PELORA_VERIFY), {path});
        QVERIFY(verify.waitForFinished());
        QCOMPARE(verify.exitCode(), 1);
        const QString printed = QString::fromUtf8(verify.readAllStandardError()).trimmed();
        QVERIFY2(printed.startsWith(u"记录链在"_s + said), qPrintable(printed));
        if (csvLine == 0)
            return;
        QList<QByteArray> lines = readAll(csv).split('\r'); // each line starts with its '\n'

        if (csvEdit == u"port"_s)
            lines[csvLine].replace("/dev/ttyUSB0,", "/dev/ttyUSB1,");
        else if (csvEdit == u"delete"_s)
            lines.removeAt(csvLine);
        else
            lines.swapItemsAt(csvLine, csvLine + 1);
        QVERIFY(TestSupport::writeFile(csv, lines.join('\r')));
        verify.start(QStringLiteral(PELORA_VERIFY), {csv});
        QVERIFY(verify.waitForFinished());
        QCOMPARE(verify.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(verify.readAllStandardError()).trimmed(),
                 u"记录链在"_s + csvSaid);
    }

    // Files of the versions before the chain: a file Pelora 1.0 wrote (kept in tests/data)
    // and the first version's, without the state table. Their records keep their order and
    // join the chain numbered, marked as migrated; new records follow them.
    void olderFilesJoinTheChain()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"records.sqlite"_s);
        for (const bool first : {false, true}) {
            QFile::remove(path);
            QVERIFY(QFile::copy(
                    QStringLiteral(PELORA_SOURCE_DIR "/tests/data/records-pelora-1.0.sqlite"),
                    path));
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
            const QVariantList before = TestSupport::storedRecords(path);
            if (first) {
                QProcess::execute(u"sqlite3"_s,
                                  {path,
                                   u"DROP TABLE state; PRAGMA user_version = 1;"
                                   " UPDATE records SET time_ms = 0 WHERE id = 7"_s});
            }
            RecordStore store(path);
            QVERIFY2(opened(store), qPrintable(store.errorText()));
            QTRY_COMPARE(store.chainText(), u"记录链完整 · %1 条"_s.arg(before.size() + 1));
            QSignalSpy saved(&store, &RecordStore::recordSaved);
            store.addRecord(7.5, u"公斤"_s, {}, {}, true);
            QVERIFY(saved.wait());
            QTRY_COMPARE(store.chainText(), u"记录链完整 · %1 条"_s.arg(before.size() + 2));
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"look"_s);
            {
                db.setDatabaseName(path);
                QVERIFY(db.open());
                QSqlQuery q(db);
                // In the order of their times (the record moved to 1970 first), then by id.
                QVERIFY(q.exec(u"SELECT r.id, r.number, e.body FROM records r JOIN entries e"
                               " ON e.seq = r.seq ORDER BY r.number"_s));
                QList<qint64> ids;
                int migrated = 0;
                while (q.next()) {
                    ids << q.value(0).toLongLong();
                    QCOMPARE(q.value(1).toInt(), ids.size());
                    migrated += q.value(2).toString().endsWith(u"migrated\t1\n"_s);
                }
                QCOMPARE(migrated, before.size());
                QCOMPARE(ids.size(), before.size() + 1);
                QCOMPARE(ids.first(), first ? 7 : 1);
                QVERIFY(q.exec(u"PRAGMA user_version"_s) && q.next());
                QCOMPARE(q.value(0).toInt(), RecordStore::schemaVersion);
            }
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(u"look"_s);
        }
    }

    // Damaged files, a foreign one and one cut short by a byte (which SQLite's quick check
    // passes), are said to be damaged, take nothing and are left exactly as they were.
    void unusableFilesAreReportedAndLeftAlone()
    {
#ifndef Q_OS_UNIX
        QSKIP("the whole file is made by a shell script");
#endif
        QTemporaryDir dir;
        const QString path = dir.filePath(u"records.sqlite"_s);
        QVERIFY(TestSupport::makeRecords(path, 3000, 0, 1000));
        QByteArray cutByOne = readAll(path);
        cutByOne.chop(1);
        for (const QByteArray &content :
             {QByteArray("not a database, just text").repeated(200), cutByOne}) {
            QVERIFY(TestSupport::writeFile(path, content));
            RecordStore store(path);
            QVERIFY(opened(store, RecordWorker::Unusable));
            QVERIFY2(store.errorText().contains(u"损坏"_s), qPrintable(store.errorText()));
            QVERIFY(!store.writable());
            QCOMPARE(store.addRecord(1, {}, {}, {}, false), -1);
            QVERIFY(!store.voidAll(u"x"_s).isEmpty());
            QCOMPARE(readAll(path), content);
        }
    }

    // Another program holding the file (a backup, an SQLite browser with a transaction open):
    // it is said to be held, not damaged; records made meanwhile wait in order and are
    // written, once each, when it lets go, with no restart.
    void lockHeldBySecondProcess()
    {
#ifndef Q_OS_UNIX
        QSKIP("holds the lock from a child process");
#else
        QTemporaryDir dir;
        const QString path = dir.filePath(u"records.sqlite"_s);
        RecordStore store(path);
        QVERIFY(opened(store));
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {u"--hold-lock"_s, path});
        QVERIFY(holder.waitForReadyRead(10000));
        QVERIFY(holder.readAllStandardOutput().startsWith("held"));
        for (int i = 0; i < 3; ++i)
            QVERIFY(store.addRecord(10 + i, {}, {}, {}, false, 5000 + i) > 0);
        QTRY_VERIFY(store.health() == RecordWorker::Busy);
        QTRY_VERIFY2(store.errorText().contains(u"记录文件被其他程序占用"_s)
                             && store.errorText().contains(u"3 条"_s),
                     qPrintable(store.errorText()));
        QVERIFY(!store.errorText().contains(u"损坏"_s));
        QVERIFY(store.writable());
        QCOMPARE(store.pendingCount(), 3);
        // A check of the chain meanwhile waits for the file too, rather than calling it broken.
        store.verifyChain();
        QVERIFY(TestSupport::drain(&store) && TestSupport::drain(&store));
        QVERIFY2(!store.chainBroken(), qPrintable(store.chainText()));

        holder.closeWriteChannel(); // the other program lets go
        QVERIFY(holder.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 10000);
        QVERIFY(TestSupport::drain(&store));
        QCOMPARE(store.errorText(), QString());
        QList<double> weights;
        for (const QVariant &r : TestSupport::storedRecords(path))
            weights << r.toMap().value(u"weightKg"_s).toDouble();
        QCOMPARE(weights, (QList<double>{10, 11, 12}));
        QTRY_COMPARE(store.chainText(), u"记录链完整 · 4 条"_s);
#endif
    }

    // A long history, made by the script a tester would use: the list shows
    // its newest page and takes a new record on top; an export of all of it can be cancelled
    // half-way, leaving nothing behind.
    void longHistoryPages()
    {
#ifndef Q_OS_UNIX
        QSKIP("the history is made by a shell script");
#endif
        QTemporaryDir dir;
        const QString path = dir.filePath(u"records.sqlite"_s);
        const int total = 200000;
        const qint64 newest = QDateTime::currentDateTime().addDays(-1).toMSecsSinceEpoch();
        QVERIFY(TestSupport::makeRecords(path, total, newest - qint64(total - 1) * 100, 100));
        RecordStore store(path);
        QVERIFY(opened(store));
        QCOMPARE(store.count(), total);
        RecordListModel *list = store.list();
        QCOMPARE(list->rowCount(), RecordListModel::pageSize);
        QCOMPARE(list->get(0).value(u"timeMs"_s).toLongLong(), newest);
        QSignalSpy saved(&store, &RecordStore::recordSaved);
        QVERIFY(store.addRecord(42, {}, {}, {}, true) > 0);
        QVERIFY(saved.wait());
        QCOMPARE(list->get(0).value(u"weightKg"_s), 42.0);

        const QString cancelled = dir.filePath(u"cancelled.csv"_s);
        QSignalSpy done(&store, &RecordStore::exportFinished);
        QCOMPARE(store.exportCsvToPath(cancelled), QString());
        QTRY_VERIFY(store.exportProgress() > 0.1);
        store.cancelExport();
        QVERIFY(done.wait());
        QCOMPARE(done.first().at(1).toString(), u"导出已取消"_s);
        QVERIFY(!QFile::exists(cancelled));
    }

    // "Today" is the local calendar day, and becomes the next at midnight with nothing else
    // happening.
    void todayTurnsAtMidnight()
    {
        QTemporaryDir dir;
        RecordStore store(dir.filePath(u"records.sqlite"_s));
        const QDateTime lateEvening(QDate(2026, 5, 20), QTime(23, 59, 59, 700));
        QElapsedTimer since;
        since.start();
        store.setClock([&] { return lateEvening.addMSecs(since.elapsed()); });
        QVERIFY(opened(store));
        const QDate day = lateEvening.date();
        store.addRecord(1, {}, {}, {}, false, QDateTime(day, QTime(12, 0)).toMSecsSinceEpoch());
        store.addRecord(4, {}, {}, {}, false,
                        QDateTime(day.addDays(1), QTime(0, 0, 30)).toMSecsSinceEpoch());
        QTRY_COMPARE(store.todayTotalKg(), 4.0); // past midnight, by itself
        QCOMPARE(store.todayCount(), 1);
    }

    void readOnlyFolderAndFullDisk()
    {
#ifndef Q_OS_LINUX
        QSKIP("mounts a tmpfs");
#else
        QTemporaryDir dir;
        TestSupport::SmallDisk disk(dir.filePath(u"disk"_s));
        if (!disk.isMounted())
            QSKIP("mounting a small tmpfs needs root");
        const QString path = disk.path() + u"/records.sqlite"_s;
        int made = 0;
        {
            RecordStore store(path);
            QVERIFY2(opened(store), qPrintable(store.errorText()));
            // The disk fills: what does not fit waits, said on screen, and is written in
            // order, once each, when room is made.
            QVERIFY(disk.fill(65536));
            const QString filler(300, u'满');
            while (store.health() == RecordWorker::Ok && made < 2000) {
                QVERIFY(store.addRecord(made, filler, {}, {}, false, made) > 0);
                ++made;
                QVERIFY(TestSupport::drain(&store));
            }
            QVERIFY2(made > 5, qPrintable(QString::number(made)));
            for (int i = 0; i < 3; ++i)
                QVERIFY(store.addRecord(made + i, filler, {}, {}, false, made + i) > 0);
            made += 3;
            QVERIFY(TestSupport::drain(&store));
            QCOMPARE(store.health(), RecordWorker::Failing);
            QVERIFY2(store.errorText().contains(u"未能保存"_s)
                             && store.errorText().contains(u"等待保存"_s),
                     qPrintable(store.errorText()));
            QVERIFY(store.pendingCount() >= 4);
            // An export that does not fit fails and leaves no cut file behind, even one small
            // enough to fail only in the final flush.
            const QString csv = disk.path() + u"/out.csv"_s;
            QSignalSpy done(&store, &RecordStore::exportFinished);
            for (qint64 to : {qint64(made), qint64(1)}) {
                QVERIFY(disk.fill(0));
                QCOMPARE(store.exportCsvToPath(csv, 0, to), QString());
                QVERIFY(done.wait());
                QVERIFY(!done.takeLast().at(1).toString().isEmpty());
                QVERIFY(!QFile::exists(csv));
            }
            disk.empty();
            QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 10000);
            QVERIFY(TestSupport::drain(&store));
            QCOMPARE(store.errorText(), QString());
            // Each waiting record kept the number it was given first: no gap, none twice.
            QTRY_COMPARE(store.chainText(), u"记录链完整 · %1 条"_s.arg(made + 1));
            const QVariantList stored = TestSupport::storedRecords(path);
            QCOMPARE(stored.size(), made);
            for (int i = 0; i < made; ++i)
                QCOMPARE(stored[i].toMap().value(u"weightKg"_s).toInt(), i);
        }
        // A read-only mount: the records are seen, and the file is left as it was.
        QVERIFY(disk.remountReadOnly());
        const QByteArray before = readAll(path);
        RecordStore store(path);
        QVERIFY(opened(store, RecordWorker::ReadOnly));
        QCOMPARE(store.count(), made);
        QVERIFY(!store.writable());
        QCOMPARE(store.addRecord(2, {}, {}, {}, false), -1);
        QCOMPARE(readAll(path), before);
#endif
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--write-records") == 0) {
        // The child of killedWriterLosesNothingCommitted: writes until it is killed, telling
        // each record once it is in the file.
        RecordStore store(QString::fromLocal8Bit(argv[2]));
        QTextStream out(stdout);
        int next = 0;
        QObject::connect(&store, &RecordStore::recordSaved, &store, [&] {
            out << next << Qt::endl;
            store.addRecord(++next, {}, {}, {}, false);
        });
        store.addRecord(next, {}, {}, {}, false);
        return app.exec();
    }
    if (argc == 3 && qstrcmp(argv[1], "--hold-lock") == 0) {
        // The other program of lockHeldBySecondProcess: holds the file's exclusive lock, as an
        // SQLite browser with a transaction open does, until its input is closed.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QString::fromLocal8Bit(argv[2]));
        QSqlQuery lock(db);
        if (!db.open() || !lock.exec(QStringLiteral("BEGIN EXCLUSIVE"))
            || !lock.exec(QStringLiteral("UPDATE records SET unit = unit")))
            return 1;
        QTextStream(stdout) << "held" << Qt::endl;
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly))
            return 1;
        in.readAll();
        lock.exec(QStringLiteral("ROLLBACK"));
        return 0;
    }
    tst_RecordStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recordstore.moc"

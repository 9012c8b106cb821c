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
    // An export, waited for; "" or what went wrong.
    static QString exported(RecordStore &store, const QString &path, qint64 from = -1,
                            qint64 to = -1)
    {
        QSignalSpy done(&store, &RecordStore::exportFinished);
        const QString refused = store.exportCsvToPath(path, from, to);
        if (!refused.isEmpty())
            return refused;
        if (!done.wait(60000))
            return QStringLiteral("no answer");
        return done.first().at(1).toString();
    }

private Q_SLOTS:
    void recordsSurviveRestartAndExportAsCsv()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sub/records.sqlite"));
        const qint64 t0 = QDateTime(QDate(2026, 3, 1), QTime(8, 0)).toMSecsSinceEpoch();
        {
            RecordStore store(path);
            QVERIFY2(opened(store), qPrintable(store.errorText()));
            QSignalSpy saved(&store, &RecordStore::recordSaved);
            QSignalSpy removed(&store, &RecordStore::recordsRemoved);
            QVERIFY(store.addRecord(1.25, QStringLiteral("公斤"), QStringLiteral("净重"),
                                    QStringLiteral("/dev/ttyUSB0"), false, t0)
                    > 0);
            QVERIFY(store.addRecord(2.5, QStringLiteral("斤"), QStringLiteral("净,毛"),
                                    QStringLiteral("COM3 \"x\""), true, t0 + 60000)
                    > 0);
            const qint64 ticket
                    = store.addRecord(9, QString(), QString(), QString(), false, t0 + 120000);
            QTRY_COMPARE(saved.count(), 3);
            QCOMPARE(saved.last().at(0).toLongLong(), ticket);
            const qint64 gone = saved.last().at(1).toLongLong();
            QVERIFY(store.removeRecord(gone));
            QVERIFY(store.removeRecord(gone)); // taken, and nothing to do
            QVERIFY(store.addRecord(3, QString(), QString(), QString(), false) > 0); // now
            QVERIFY(TestSupport::drain(&store));
            QCOMPARE(removed.count(), 1);
            QCOMPARE(store.pendingCount(), 0);
            QCOMPARE(store.count(), 3);
        }
        RecordStore store(path);
        QVERIFY(opened(store));
        QCOMPARE(store.count(), 3);
        QCOMPARE(store.todayCount(), 1);
        QCOMPARE(store.todayTotalKg(), 3.0);
        QCOMPARE(store.list()->get(0).value(QStringLiteral("weightKg")), 3.0);
        QCOMPARE(store.list()->get(2).value(QStringLiteral("port")),
                 QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(TestSupport::storedRecords(path).size(), 3);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "peek");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(QStringLiteral("PRAGMA user_version"), db);
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toInt(), RecordStore::schemaVersion);
        }
        QSqlDatabase::removeDatabase("peek");

        // A range takes only the records in it; the file opens with its BOM and its Chinese.
        const QString csv = dir.filePath(QStringLiteral("out.csv"));
        QCOMPARE(exported(store, csv, t0, t0 + 60000), QString());
        const QByteArray bytes = readAll(csv);
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList rows = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
        QCOMPARE(rows.size(), 4); // and an empty piece after the last line break
        QCOMPARE(rows[0],
                 QStringLiteral("时间,时区(UTC偏移),重量(kg),显示单位,净重/毛重,端口,方式"));
        QCOMPARE(rows[1].section(u',', 2), QStringLiteral("1.250,公斤,净重,/dev/ttyUSB0,自动"));
        QCOMPARE(rows[2].section(u',', 2),
                 QStringLiteral("2.500,斤,\"净,毛\",\"COM3 \"\"x\"\"\",手动"));
        // Local wall time, and the offset that makes it the same moment anywhere.
        for (int i : {1, 2}) {
            QDateTime time = QDateTime::fromString(rows[i].section(u',', 0, 0),
                                                   QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            const QString zone = rows[i].section(u',', 1, 1);
            time.setTimeZone(QTimeZone((zone[3] == u'-' ? -60 : 60)
                                       * (zone.mid(4, 2).toInt() * 60 + zone.mid(7, 2).toInt())));
            QCOMPARE(time.toMSecsSinceEpoch(), t0 + (i - 1) * 60000);
        }
        const QString all = dir.filePath(QStringLiteral("all.csv"));
        QSignalSpy done(&store, &RecordStore::exportFinished);
        QCOMPARE(store.exportCsv(QUrl::fromLocalFile(all)), QString());
        QVERIFY(!store.exportCsv(QUrl::fromLocalFile(all)).isEmpty()); // one at a time
        QVERIFY(done.wait());
        QCOMPARE(readAll(all).count("\r\n"), 4);

        QVERIFY(store.clearAll());
        QVERIFY(TestSupport::drain(&store));
        QCOMPARE(store.count(), 0);
        QCOMPARE(store.list()->rowCount(), 0);
        QCOMPARE(TestSupport::storedRecords(path).size(), 0);
    }

    // Only real calendar days in the form shown bound an export; a day ends at the next one.
    void dayRanges()
    {
        QTemporaryDir dir;
        RecordStore store(dir.filePath(QStringLiteral("records.sqlite")));
        for (const auto &[from, to] : {std::pair{"2025-02-30", ""},
                                       {"", "2025-13-01"},
                                       {"2025-6-1", ""},
                                       {"2025-06-01T10:00", ""},
                                       {"2025-06-02", "2025-06-01"}})
            QVERIFY2(store.dayRange(from, to).contains(QStringLiteral("error")), from);
        const QVariantMap range = store.dayRange(QStringLiteral(" 2024-02-29"), "2024-02-29");
        QCOMPARE(range.value(QStringLiteral("fromMs")),
                 QDate(2024, 2, 29).startOfDay().toMSecsSinceEpoch());
        QCOMPARE(range.value(QStringLiteral("toMs")),
                 QDate(2024, 3, 1).startOfDay().toMSecsSinceEpoch() - 1);
        QCOMPARE(store.dayRange({}, {}).value(QStringLiteral("toMs")), -1);
    }

    void killedWriterLosesNothingCommitted()
    {
#ifndef Q_OS_UNIX
        QSKIP("kills with SIGKILL");
#else
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("records.sqlite"));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--write-records"), path});
        QVERIFY(child.waitForStarted());
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
        QSignalSpy saved(&store, &RecordStore::recordSaved);
        QVERIFY(store.addRecord(1, {}, {}, {}, false) > 0); // and it goes on
        QVERIFY(saved.wait());
#endif
    }

    // Damaged files, a foreign one and one cut short by a byte (which SQLite's quick check
    // passes), are said to be damaged, take nothing and are left exactly as they were.
    void unusableFilesAreReportedAndLeftAlone()
    {
        QTemporaryDir made;
        const QString whole = made.filePath(QStringLiteral("whole.sqlite"));
#ifdef Q_OS_UNIX
        QVERIFY(TestSupport::makeRecords(whole, 3000, 0, 1000));
#endif
        QByteArray cutByOne = readAll(whole);
        cutByOne.chop(1);
        QByteArray cutHeader("SQLite format 3");
        cutHeader.append('\0').append(100, '\x7f');
        for (const QByteArray &content :
             {QByteArray("not a database at all, just text").repeated(200), cutHeader, cutByOne}) {
            if (content.isEmpty())
                continue; // no script to make the cut one with
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("records.sqlite"));
            QVERIFY(TestSupport::writeFile(path, content));
            RecordStore store(path);
            QVERIFY(opened(store, RecordWorker::Unusable));
            QVERIFY2(store.errorText().contains(QStringLiteral("损坏")),
                     qPrintable(store.errorText()));
            QVERIFY(!store.writable());
            QCOMPARE(store.addRecord(1, {}, {}, {}, false), -1);
            QVERIFY(!store.clearAll());
            QCOMPARE(readAll(path), content);
        }
    }

    // Another program holding the file (a backup, an SQLite browser with a transaction open):
    // at start it is said to be held, not damaged; records made meanwhile wait in order and
    // are written, once each, when it lets go, with no restart.
    void lockHeldBySecondProcess()
    {
#ifndef Q_OS_UNIX
        QSKIP("holds the lock from a child process");
#else
        for (const bool atStart : {true, false}) {
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("records.sqlite"));
            {
                RecordStore made(path); // a file with its tables, closed again
                QVERIFY(QTest::qWaitFor([&] { return made.health() == RecordWorker::Ok; }));
                made.addRecord(1, {}, {}, {}, false, 0);
                made.addRecord(2, {}, {}, {}, false, 1000);
            }
            QProcess holder;
            const auto hold = [&] {
                holder.start(QCoreApplication::applicationFilePath(),
                             {QStringLiteral("--hold-lock"), path});
                return holder.waitForReadyRead(10000)
                        && holder.readAllStandardOutput().startsWith("held");
            };
            if (atStart)
                QVERIFY(hold());
            RecordStore store(path);
            if (atStart) {
                QVERIFY(opened(store, RecordWorker::Busy));
            } else {
                QVERIFY(opened(store));
                QVERIFY(hold());
            }
            QSignalSpy saved(&store, &RecordStore::recordSaved);
            for (int i = 0; i < 3; ++i)
                QVERIFY(store.addRecord(10 + i, {}, {}, {}, false, 5000 + i) > 0);
            QTRY_VERIFY(store.health() == RecordWorker::Busy);
            QTRY_VERIFY2(store.errorText().contains(QStringLiteral("记录文件被其他程序占用"))
                                 && store.errorText().contains(QStringLiteral("3 条")),
                         qPrintable(store.errorText()));
            QVERIFY(!store.errorText().contains(QStringLiteral("损坏")));
            QVERIFY(store.writable());
            QCOMPARE(store.pendingCount(), 3);
            QCOMPARE(saved.count(), 0);

            holder.closeWriteChannel(); // the other program lets go
            QVERIFY(holder.waitForFinished(10000));
            QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 10000);
            QVERIFY(TestSupport::drain(&store));
            QCOMPARE(store.errorText(), QString());
            QList<double> weights;
            for (const QVariant &r : TestSupport::storedRecords(path))
                weights << r.toMap().value(QStringLiteral("weightKg")).toDouble();
            QCOMPARE(weights.mid(2), (QList<double>{10, 11, 12}));
            QCOMPARE(store.count(), 5);
            QCOMPARE(store.list()->rowCount(), 5);
        }
#endif
    }

    // A history of a million records, made by the script a tester would use: the list pages
    // through it newest first, the totals come from the index, an export streams all of it
    // with progress and can be cancelled, leaving nothing behind.
    void longHistoryPages()
    {
#ifndef Q_OS_UNIX
        QSKIP("the history is made by a shell script");
#endif
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("records.sqlite"));
        const int total = 1000000;
        const qint64 first = QDateTime::currentDateTime().addDays(-1).toMSecsSinceEpoch();
        const qint64 step = 100; // the newest ones are today's
        QVERIFY(TestSupport::makeRecords(path, total, first - qint64(total) * step, step));
        RecordStore store(path);
        QVERIFY(opened(store));
        QCOMPARE(store.count(), total);
        RecordListModel *list = store.list();
        QCOMPARE(list->rowCount(), RecordListModel::pageSize);
        const qint64 newest = list->get(0).value(QStringLiteral("timeMs")).toLongLong();
        QCOMPARE(newest, first - step);
        QVERIFY(list->canFetchMore({}));
        list->fetchMore({});
        QTRY_COMPARE(list->rowCount(), 2 * RecordListModel::pageSize);
        for (int row = 1; row < list->rowCount(); ++row) // newest first, no gap, no repeat
            QCOMPARE(list->get(row).value(QStringLiteral("timeMs")).toLongLong(),
                     newest - row * step);
        // A new record goes on top without a reload; one deleted leaves the rows around it.
        QSignalSpy saved(&store, &RecordStore::recordSaved);
        QVERIFY(store.addRecord(42, {}, {}, {}, true) > 0);
        QVERIFY(saved.wait());
        QCOMPARE(list->get(0).value(QStringLiteral("weightKg")), 42.0);
        QCOMPARE(list->rowCount(), 2 * RecordListModel::pageSize + 1);
        QVERIFY(store.removeRecord(list->get(1).value(QStringLiteral("id")).toLongLong()));
        QVERIFY(TestSupport::drain(&store));
        QCOMPARE(list->get(1).value(QStringLiteral("timeMs")).toLongLong(), newest - step);
        QCOMPARE(store.count(), total);
        QCOMPARE(store.todayCount(), 1);

        const QString csv = dir.filePath(QStringLiteral("all.csv"));
        QSignalSpy progress(&store, &RecordStore::exportChanged);
        QCOMPARE(exported(store, csv), QString());
        QCOMPARE(readAll(csv).count("\r\n"), qsizetype(total) + 1);
        QVERIFY(progress.count() > 10); // it moved on the way
        QVERIFY(!store.exporting());
        // Cancelled half-way: no file, and it says so.
        const QString cancelled = dir.filePath(QStringLiteral("cancelled.csv"));
        QSignalSpy done(&store, &RecordStore::exportFinished);
        QCOMPARE(store.exportCsvToPath(cancelled), QString());
        QTRY_VERIFY(store.exportProgress() > 0.1);
        store.cancelExport();
        QVERIFY(done.wait());
        QCOMPARE(done.first().at(1).toString(), QStringLiteral("导出已取消"));
        QVERIFY(!QFile::exists(cancelled));
    }

    // "Today" is the local calendar day at both ends, and becomes the next at midnight with
    // nothing else happening.
    void todayTurnsAtMidnight()
    {
        QTemporaryDir dir;
        RecordStore store(dir.filePath(QStringLiteral("records.sqlite")));
        const QDateTime lateEvening(QDate(2026, 5, 20), QTime(23, 59, 59, 700));
        QElapsedTimer since;
        since.start();
        store.setClock([&] { return lateEvening.addMSecs(since.elapsed()); });
        QVERIFY(opened(store));
        const QDate day = lateEvening.date();
        store.addRecord(1, {}, {}, {}, false, QDateTime(day, QTime(12, 0)).toMSecsSinceEpoch());
        store.addRecord(2, {}, {}, {}, false, QDateTime(day, QTime(23, 0)).toMSecsSinceEpoch());
        store.addRecord(4, {}, {}, {}, false,
                        QDateTime(day.addDays(1), QTime(0, 0, 30)).toMSecsSinceEpoch());
        QVERIFY(TestSupport::drain(&store));
        if (since.elapsed() < 250) { // still the evening: tomorrow's record is not today's
            QCOMPARE(store.todayCount(), 2);
            QCOMPARE(store.todayTotalKg(), 3.0);
        }
        QTRY_COMPARE(store.todayCount(), 1); // past midnight, by itself
        QCOMPARE(store.todayTotalKg(), 4.0);
        QCOMPARE(store.count(), 3);
    }

    void readOnlyFolderAndFullDisk()
    {
#ifndef Q_OS_LINUX
        QSKIP("mounts a tmpfs");
#else
        QTemporaryDir dir;
        TestSupport::SmallDisk disk(dir.filePath(QStringLiteral("disk")));
        if (!disk.isMounted())
            QSKIP("mounting a small tmpfs needs root");
        const QString mnt = disk.path();
        const QString path = mnt + QStringLiteral("/records.sqlite");
        int made = 0;
        {
            RecordStore store(path);
            QVERIFY2(opened(store), qPrintable(store.errorText()));
            const QString filler(300, u'满');
            QFile ballast(mnt + QStringLiteral("/ballast"));
            QVERIFY(ballast.open(QIODevice::WriteOnly));
            QCOMPARE(ballast.write(QByteArray(8192, 'b')), 8192);
            ballast.close();
            // The disk fills: what does not fit waits, said on screen, and is written in
            // order, once each, when room is made.
            QFile rest(mnt + QStringLiteral("/rest"));
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
            QVERIFY2(store.errorText().contains(QStringLiteral("未能保存"))
                             && store.errorText().contains(QStringLiteral("等待保存")),
                     qPrintable(store.errorText()));
            QVERIFY(store.pendingCount() >= 4);
            // An export that does not fit leaves no cut file behind, even one small enough
            // to fail only in the final flush.
            QVERIFY(rest.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            while (rest.write(QByteArray(512, 'x')) == 512) { }
            rest.close();
            const QString csv = mnt + QStringLiteral("/out.csv");
            QVERIFY(!exported(store, csv).isEmpty());
            QVERIFY(!QFile::exists(csv));
            QVERIFY(!exported(store, csv, 0, 1).isEmpty());
            QVERIFY(!QFile::exists(csv));
            // Room again: everything waiting goes in.
            QVERIFY(rest.remove());
            QVERIFY(ballast.remove());
            QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 10000);
            QVERIFY(TestSupport::drain(&store));
            QCOMPARE(store.errorText(), QString());
            const QVariantList stored = TestSupport::storedRecords(path);
            QCOMPARE(stored.size(), made);
            for (int i = 0; i < made; ++i)
                QCOMPARE(stored[i].toMap().value(QStringLiteral("weightKg")).toInt(), i);
        }
        QVERIFY(disk.remountReadOnly());
        const QByteArray before = readAll(path);
        RecordStore store(path);
        QVERIFY(opened(store, RecordWorker::ReadOnly));
        QCOMPARE(store.count(), made); // still seen
        QCOMPARE(store.list()->rowCount(), qMin(made, int(RecordListModel::pageSize)));
        QVERIFY(!store.writable());
        QCOMPARE(store.addRecord(2, {}, {}, {}, false), -1);
        QVERIFY(!store.removeRecord(1));
        QVERIFY(!store.errorText().isEmpty());
        QCOMPARE(readAll(path), before);
        // A new file in a folder that cannot be written: reported, nothing crashes.
        RecordStore fresh(mnt + QStringLiteral("/other.sqlite"));
        QVERIFY(opened(fresh, RecordWorker::ReadOnly));
        QVERIFY(!fresh.errorText().isEmpty());
        QVERIFY(!fresh.writable());
        QCOMPARE(fresh.addRecord(1, {}, {}, {}, false), -1);
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

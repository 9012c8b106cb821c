#include "recordstore.h"
#include "testsupport.h"

#include <QCoreApplication>
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

private Q_SLOTS:
    void recordsSurviveRestartAndExportAsCsv()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("sub/records.sqlite"));
        const qint64 t0 = QDateTime(QDate(2026, 3, 1), QTime(8, 0)).toMSecsSinceEpoch();
        {
            RecordStore store(path);
            QVERIFY2(store.errorText().isEmpty(), qPrintable(store.errorText()));
            QSignalSpy changed(&store, &RecordStore::recordsChanged);
            QVERIFY(store.addRecord(1.25, QStringLiteral("公斤"), QStringLiteral("净重"),
                                    QStringLiteral("/dev/ttyUSB0"), false, t0)
                    > 0);
            QVERIFY(store.addRecord(2.5, QStringLiteral("斤"), QStringLiteral("净,毛"),
                                    QStringLiteral("COM3 \"x\""), true, t0 + 60000)
                    > 0);
            const qint64 gone
                    = store.addRecord(9, QString(), QString(), QString(), false, t0 + 120000);
            QVERIFY(store.removeRecord(gone));
            QVERIFY(!store.removeRecord(gone));
            QVERIFY(store.addRecord(3, QString(), QString(), QString(), false) > 0); // now
            QCOMPARE(changed.count(), 5);
        }
        RecordStore store(path);
        QCOMPARE(store.count(), 3);
        QCOMPARE(store.todayCount(), 1);
        QCOMPARE(store.todayTotalKg(), 3.0);
        QCOMPARE(store.records().first().toMap().value(QStringLiteral("weightKg")), 3.0);
        QCOMPARE(store.records().last().toMap().value(QStringLiteral("port")),
                 QStringLiteral("/dev/ttyUSB0"));
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
        QCOMPARE(store.exportCsvToPath(csv, t0, t0 + 60000), QString());
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
        QCOMPARE(store.exportCsv(QUrl::fromLocalFile(all)), QString());
        QCOMPARE(readAll(all).count("\r\n"), 4);

        QVERIFY(store.clearAll());
        QCOMPARE(store.count(), 0);
        QCOMPARE(RecordStore(path).count(), 0);
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
        QVERIFY2(store.errorText().isEmpty(), qPrintable(store.errorText()));
        QVERIFY2(store.count() >= told, qPrintable(QString::number(store.count())));
        QVERIFY(store.addRecord(1, {}, {}, {}, false) > 0); // and it goes on
#endif
    }

    void unusableFilesAreReportedAndLeftAlone()
    {
        QByteArray cutHeader("SQLite format 3");
        cutHeader.append('\0').append(100, '\x7f');
        for (const QByteArray &content :
             {QByteArray("not a database at all, just text").repeated(200), cutHeader}) {
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("records.sqlite"));
            QVERIFY(TestSupport::writeFile(path, content));
            RecordStore store(path);
            QVERIFY(store.errorText().contains(QStringLiteral("损坏")));
            QVERIFY(!store.writable());
            QCOMPARE(store.addRecord(1, {}, {}, {}, false), -1);
            QVERIFY(!store.clearAll());
            QCOMPARE(readAll(path), content);
        }
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
        int saved = 0;
        {
            RecordStore store(path);
            QVERIFY2(store.errorText().isEmpty(), qPrintable(store.errorText()));
            const QString filler(300, u'满');
            while (store.addRecord(1, filler, {}, {}, false) > 0)
                ++saved;
            QVERIFY(saved > 5);
            QVERIFY2(store.errorText().contains(QStringLiteral("未能保存")),
                     qPrintable(store.errorText()));
            QCOMPARE(store.count(), saved);
            // The failed record's journal is gone again: take up what it left.
            QFile rest(mnt + QStringLiteral("/rest"));
            QVERIFY(rest.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            while (rest.write(QByteArray(512, 'x')) == 512) { }
            rest.close();
            // An export that does not fit leaves no cut file behind, even one small enough
            // to fail only in the final flush.
            const QString csv = mnt + QStringLiteral("/out.csv");
            QVERIFY(!store.exportCsvToPath(csv).isEmpty());
            QVERIFY(!QFile::exists(csv));
            QVERIFY(!store.exportCsvToPath(csv, 0, 1).isEmpty());
            QVERIFY(!QFile::exists(csv));
        }
        QVERIFY(disk.remountReadOnly());
        const QByteArray before = readAll(path);
        RecordStore store(path);
        QCOMPARE(store.count(), saved);
        QCOMPARE(store.addRecord(2, {}, {}, {}, false), -1);
        QVERIFY(!store.errorText().isEmpty());
        QCOMPARE(readAll(path), before);
        // A new file in a folder that cannot be written: reported, nothing crashes.
        RecordStore fresh(mnt + QStringLiteral("/other.sqlite"));
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
        // The child of killedWriterLosesNothingCommitted: writes until it is killed.
        RecordStore store(QString::fromLocal8Bit(argv[2]));
        QTextStream out(stdout);
        for (int i = 0;; ++i) {
            if (store.addRecord(i, {}, {}, {}, false) < 0)
                return 1;
            out << i << Qt::endl;
        }
    }
    tst_RecordStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recordstore.moc"

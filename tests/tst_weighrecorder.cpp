#include "recordstore.h"
#include "testsupport.h"
#include "weighrecorder.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

using Weights = QList<double>;

class tst_WeighRecorder : public QObject
{
    Q_OBJECT

    // What is in the file once the store has written all it took.
    static QList<double> weights(RecordStore &store)
    {
        QList<double> out;
        if (!TestSupport::drain(&store))
            return {-1};
        for (const QVariant &r : TestSupport::storedRecords(store.databasePath()))
            out << r.toMap().value(u"weightKg"_s).toDouble();
        return out;
    }
    // A stable, live load standing for two seconds from t; the time after it.
    static qint64 stand(WeighRecorder &recorder, double kg, qint64 t = 1'000'000)
    {
        for (const qint64 end = t + 2000; t < end; t += 100)
            recorder.offer(kg, true, true, false, {}, {}, {}, t);
        return t;
    }

private Q_SLOTS:
    void oneRecordPerLoad_data()
    {
        // A reading every 100 ms, each step "<kg><flags>[*n]" (s stable, x not live; n times);
        // "R" restarts on the same file. Then the manual record's refusal: "" when recordNow()
        // records the last reading.
        QTest::addColumn<int>("format");
        QTest::addColumn<double>("division");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<Weights>("recorded");
        QTest::addColumn<QString>("refusal");
        const int native = WeighGrammar::Native, ascii = WeighGrammar::Ascii;
        const double d = 0.01;
        QTest::newRow("tare, then the load taken off")
                << native << d << QStringList{"7s*15", "0s*15", "-7s*15"} << Weights{7}
                << u"低于最小称量 0.200 kg"_s;
        QTest::newRow("a load settling from 4.990 to 5.010")
                << native << d << QStringList{"2", "4.99", "4.99s*3", "5s*3", "5.01s*15", "5s*15"}
                << Weights{5.01} << QString();
        QTest::newRow("added to while loaded, emptied, a new load")
                << native << d << QStringList{"5s*15", "8s*15", "0.1s", "3s*15"} << Weights{5, 3}
                << QString();
        QTest::newRow("the minimum load is a whole one")
                << native << d << QStringList{"0.19s*15", "0.2s*15"} << Weights{0.2} << QString();
        QTest::newRow("restart with the load standing")
                << native << d << QStringList{"5s*15", "R", "5s*15"} << Weights{5} << QString();
        QTest::newRow("ASCII: the settle time alone decides")
                << ascii << d << QStringList{"5*15"} << Weights{5} << QString();
        QTest::newRow("reconnect with the load standing")
                << native << d << QStringList{"5s*15", "5sx*3", "5s*15"} << Weights{5} << QString();
        // Within one division is the same run: 12 then 12.5 settles a second after 12.
        QTest::newRow("coarse division")
                << native << 0.5 << QStringList{"5s*15", "12s*5", "12.5s*6"} << Weights{12.5}
                << QString();
    }

    void oneRecordPerLoad()
    {
        QFETCH(int, format);
        QFETCH(double, division);
        QFETCH(QStringList, steps);
        QFETCH(Weights, recorded);
        QFETCH(QString, refusal);
        QTemporaryDir dir;
        WeightReading reading;
        reading.setFormat(format);
        std::unique_ptr<RecordStore> store;
        std::unique_ptr<WeighRecorder> recorder;
        const auto start = [&] {
            recorder.reset();
            store.reset(); // one program at a time: the last one's writes are all in
            store = std::make_unique<RecordStore>(dir.filePath(u"r.sqlite"_s));
            recorder = std::make_unique<WeighRecorder>(store.get());
            QTRY_VERIFY(store->stateKnown());
            recorder->setDivision(division);
            recorder->follow(&reading);
        };
        start();
        qint64 t = 1'000'000;
        for (const QString &step : std::as_const(steps)) {
            if (step == u"R") {
                start();
                continue;
            }
            const double kg
                    = step.section(u'*', 0, 0).remove(QRegularExpression(u"[sx]"_s)).toDouble();
            for (int n = qMax(1, step.section(u'*', 1).toInt()); n > 0; --n)
                recorder->offer(kg, step.contains(u's'), !step.contains(u'x'), false, u"公斤"_s, {},
                                u"/dev/pts/1"_s, t += 100);
        }
        QCOMPARE(weights(*store), recorded);
        QCOMPARE(recorder->refusal(), refusal);
        QCOMPARE(recorder->recordNow() > 0, refusal.isEmpty());
    }

    // A file of the version before the recorder kept its state keeps its records and takes it.
    void olderFileKeepsItsRecords()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"old.sqlite"_s);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"old"_s);
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            for (const char *sql :
                 {"CREATE TABLE records (id INTEGER PRIMARY KEY AUTOINCREMENT, time_ms INTEGER"
                  " NOT NULL, weight_kg REAL NOT NULL, unit TEXT NOT NULL DEFAULT '', mode TEXT"
                  " NOT NULL DEFAULT '', port TEXT NOT NULL DEFAULT '', manual INTEGER NOT NULL"
                  " DEFAULT 0)",
                  "INSERT INTO records (time_ms, weight_kg) VALUES (1000, 4.5)",
                  "PRAGMA user_version=1"})
                QVERIFY2(q.exec(QString::fromLatin1(sql)), qPrintable(q.lastError().text()));
        }
        QSqlDatabase::removeDatabase(u"old"_s);
        for (int run = 0; run < 2; ++run) {
            RecordStore store(path);
            WeighRecorder recorder(&store);
            QTRY_VERIFY(store.stateKnown());
            QVERIFY2(store.writable(), qPrintable(store.errorText()));
            QCOMPARE(recorder.armed(), run == 0);
            stand(recorder, 6);
            QCOMPARE(weights(store), (Weights{4.5, 6}));
        }
    }

    // Until the file's state has been read, a standing load is not recorded: it may have been
    // recorded before the restart.
    void nothingRecordedBeforeTheStateIsRead()
    {
        QTemporaryDir dir;
        for (int run = 0; run < 2; ++run) {
            RecordStore store(dir.filePath(u"state.sqlite"_s));
            WeighRecorder recorder(&store);
            QVERIFY(!store.stateKnown()); // its answer waits for the event loop
            stand(recorder, 5);
            QTRY_VERIFY(store.stateKnown());
            stand(recorder, 5);
            QCOMPARE(weights(store), Weights{5});
        }
    }

    // The chart's record marks are the records the store still holds.
    void marksFollowDeletions()
    {
        QTemporaryDir dir;
        RecordStore store(dir.filePath(u"marks.sqlite"_s));
        WeighRecorder recorder(&store);
        QTRY_VERIFY(store.stateKnown());
        QSignalSpy saved(&store, &RecordStore::recordSaved);
        qint64 t = QDateTime::currentMSecsSinceEpoch() - 60'000;
        for (double kg : {5.0, 0.0, 3.0, 0.0})
            t = stand(recorder, kg, t);
        const auto marks = [&] { return recorder.recordPoints(120'000, 100, 100).size(); };
        QCOMPARE(marks(), 2);
        QTRY_COMPARE(saved.count(), 2);
        QCOMPARE(store.voidRecord(saved.first().at(1).toLongLong(), u"称错"_s), QString());
        QTRY_COMPARE(marks(), 1);
    }

    // A shift at full speed: the trend holds its 15 minutes and no more, ending with the newest.
    void trendKeepsOnlyItsWindow()
    {
        WeighRecorder recorder(nullptr);
        const qint64 t0 = 5'000'000, seconds = 20 * 60;
        for (qint64 i = 0; i < 1000 * seconds; ++i)
            recorder.offer(i % 1000 == 999 ? 50 : 1, false, true, false, {}, {}, {}, t0 + i);
        QVERIFY(recorder.trendSize() <= 15 * 60 * 1000 / WeighRecorder::trendResolutionMs + 2);
        QCOMPARE(recorder.trendPoints(60'000, 300, 100).last(), QPointF(300, 0));
    }
};

QTEST_GUILESS_MAIN(tst_WeighRecorder)
#include "tst_weighrecorder.moc"

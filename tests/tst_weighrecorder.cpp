#include "recordstore.h"
#include "weighrecorder.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using Weights = QList<double>;

class tst_WeighRecorder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordsOncePerSettledLoad_data()
    {
        // Each step is "<kg><flags>": s stable, o overloaded, x not live.
        QTest::addColumn<double>("division");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<Weights>("recorded");
        const double d = 0.01;
        QTest::newRow("on and off")
                << d << QStringList{"0s", "1.0", "1.5", "1.5s", "1.5s", "1.5s", "0.6", "0s"}
                << Weights{1.5};
        QTest::newRow("noise on a standing load")
                << d << QStringList{"1.5s", "1.504", "1.5s", "1.506s", "1.51", "1.492s"}
                << Weights{1.5};
        QTest::newRow("same load again after zero")
                << d << QStringList{"1.5s", "0.004s", "1.5", "1.5s"} << Weights{1.5, 1.5};
        QTest::newRow("a load added on top")
                << d << QStringList{"1.5s", "2.0", "2.5s", "2.5s"} << Weights{1.5, 2.5};
        QTest::newRow("a load added while stable")
                << d << QStringList{"1.5s", "2.5s"} << Weights{1.5};
        QTest::newRow("overload") << d << QStringList{"30so", "30o", "30so", "1.0", "1.0s"}
                                  << Weights{1.0};
        QTest::newRow("not live") << d << QStringList{"1.5sx", "1.5sx", "0x", "2sx"} << Weights{};
        QTest::newRow("reconnect under the same load")
                << d << QStringList{"1.5s", "1.5sx", "1.5s", "1.5s"} << Weights{1.5};
        QTest::newRow("load changed while away")
                << d << QStringList{"1.5s", "1.5sx", "3s", "3s"} << Weights{1.5, 3};
        QTest::newRow("near zero") << d << QStringList{"0.005s", "0", "-0.008s"} << Weights{};
        QTest::newRow("tare: negative load") << d << QStringList{"-1", "-1.2s"} << Weights{-1.2};
        // One whole division apart is still the same load.
        QTest::newRow("coarse division")
                << 0.5 << QStringList{"1s", "1.5", "1.5s", "1.6", "1.6s"} << Weights{1, 1.6};
    }

    void recordsOncePerSettledLoad()
    {
        QFETCH(double, division);
        QFETCH(QStringList, steps);
        QFETCH(Weights, recorded);
        QTemporaryDir dir;
        RecordStore store(dir.filePath(QStringLiteral("r.sqlite")));
        WeighRecorder recorder(&store);
        recorder.setDivision(division);
        qint64 t = 1'000'000;
        for (const QString &step : std::as_const(steps)) {
            QString kg = step;
            kg.remove(QRegularExpression(QStringLiteral("[sox]")));
            recorder.offer(kg.toDouble(), step.contains(u's'), !step.contains(u'x'),
                           step.contains(u'o'), QStringLiteral("公斤"), {},
                           QStringLiteral("/dev/pts/1"), t += 100);
        }
        Weights got;
        for (const QVariant &r : store.recordsBetween(-1, -1))
            got << r.toMap().value(QStringLiteral("weightKg")).toDouble();
        QCOMPARE(got, recorded);
    }

    void manualRecordNeedsAStableLiveReading()
    {
        QTemporaryDir dir;
        RecordStore store(dir.filePath(QStringLiteral("r.sqlite")));
        WeighRecorder recorder(&store);
        recorder.setEnabled(false); // only by hand
        // stable, live, overloaded: only the second reading may be recorded.
        for (const auto &[stable, live, over] : {std::tuple{false, true, false},
                                                 {true, true, false},
                                                 {true, true, true},
                                                 {true, false, false}}) {
            recorder.offer(2, stable, true, over, {}, {}, {});
            recorder.setLive(live);
            QCOMPARE(recorder.canRecordNow(), stable && live && !over);
            QCOMPARE(recorder.recordNow() > 0, stable && live && !over);
        }
        QCOMPARE(store.count(), 1);
        QVERIFY(store.records().first().toMap().value(QStringLiteral("manual")).toBool());
    }

    void trendKeepsOnlyItsWindow()
    {
        WeighRecorder recorder(nullptr);
        const qint64 t0 = 5'000'000;
        const int perSecond = 30, seconds = 20 * 60;
        for (int i = 0; i < perSecond * seconds; ++i)
            recorder.offer(i % 100, false, true, false, {}, {}, {}, t0 + i * 1000 / perSecond);
        QVERIFY(recorder.trendSize() <= perSecond * 15 * 60 + 1);
        QVERIFY(recorder.trendSize() >= perSecond * 15 * 60 - 1);
        const QList<QPointF> points = recorder.trendPoints(60'000, 300, 100);
        QVERIFY(points.size() >= 290 && points.size() <= 302);
        for (const QPointF &p : points)
            QVERIFY(p.x() >= 0 && p.x() <= 300 && p.y() >= 0 && p.y() <= 100);
        QCOMPARE(points.last().x(), 300.0);
        QCOMPARE(recorder.trendRange(60'000), (QVariantList{0.0, 99.0}));

        // At a full-speed stream's pace the window stays bounded and ends with the newest.
        const qint64 t1 = t0 + seconds * 1000;
        for (int i = 0; i < 1000 * seconds; ++i)
            recorder.offer(i % 1000 == 999 ? 50 : 1, false, true, false, {}, {}, {}, t1 + i);
        QVERIFY(recorder.trendSize() <= 15 * 60 * 1000 / WeighRecorder::trendResolutionMs + 2);
        QCOMPARE(recorder.trendPoints(60'000, 300, 100).last(), QPointF(300, 0));
    }
};

QTEST_GUILESS_MAIN(tst_WeighRecorder)
#include "tst_weighrecorder.moc"

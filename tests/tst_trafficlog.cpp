// The traffic console's log on its own: which lines the weight filter leaves out.

#include "testsupport.h"
#include "trafficlog.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestTrafficLog : public QObject
{
    Q_OBJECT

    // Each shown row as "RX text" or "TX text", without its time.
    static QStringList rows(const TrafficLog &log)
    {
        QStringList out;
        const QStringList lines = log.text().split(u'\n', Qt::SkipEmptyParts);
        for (const QString &line : lines)
            out << line.mid(line.indexOf(u' ') + 1);
        return out;
    }

private Q_SLOTS:
    void hiddenWeights()
    {
        TrafficLog log;
        QAbstractItemModelTester tester(&log,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy counted(&log, &TrafficLog::countChanged);
        log.setCapacity(6);
        log.addReceived("ST001.000,1,0\r\nsg0001.000kg\r\nV1.0.1\r\n");
        log.flush();
        log.setHideWeights(true);
        QCOMPARE(rows(log), QStringList{"RX V1.0.1\\r\\n"});
        QCOMPARE(log.count(), 1);
        QCOMPARE(counted.count(), 2);

        // New lines are filtered as they come; a command and any other line stay.
        log.addSent("AT+SN\r");
        log.addReceived("1.000\r\nSN102145\r\n-0.5\r\n+2\r\nERR: 1,0\r\n");
        log.flush();
        QCOMPARE(rows(log), (QStringList{"TX AT+SN\\r", "RX SN102145\\r\\n", "RX ERR: 1,0\\r\\n"}));

        // The bound counts the hidden lines too: V1.0.1 went with the first two weights.
        log.setHideWeights(false);
        QCOMPARE(rows(log),
                 (QStringList{"TX AT+SN\\r", "RX 1.000\\r\\n", "RX SN102145\\r\\n", "RX -0.5\\r\\n",
                              "RX +2\\r\\n", "RX ERR: 1,0\\r\\n"}));
        log.setHideWeights(true);
        log.addReceived("US002.000,0,0\r\nUS002.000,0,0\r\nUS002.000,0,0\r\n");
        log.flush();
        QCOMPARE(rows(log), QStringList{"RX ERR: 1,0\\r\\n"});
        QCOMPARE(log.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestTrafficLog)
#include "tst_trafficlog.moc"

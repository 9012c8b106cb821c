// The traffic console's log on its own: where received lines break, which lines the weight
// filter leaves out, and saving on an account that has no documents folder yet.

#include "testsupport.h"
#include "trafficlog.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestTrafficLog : public QObject
{
    Q_OBJECT

    // Each shown row as "RX text" or "TX text", without its time.
    static QStringList rows(const TrafficLog &log)
    {
        QStringList out;
        for (const QString &line : log.text().split(u'\n', Qt::SkipEmptyParts))
            out << line.mid(line.indexOf(u' ') + 1);
        return out;
    }

private Q_SLOTS:
    // Steps: "<" a received chunk, ">" a sent payload, "|" the views take what has come.
    void lineBreaks_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("CR alone, LF alone, CR LF")
                << QStringList{"<V1.0.1\rOK", "<\r", "<A\nB\r\nC\r", "<\r\n"}
                << QStringList{"RX V1.0.1\\r", "RX OK\\r", "RX A\\n",
                               "RX B\\r\\n",   "RX C\\r",  "RX \\r\\n"};
        // The LF of a CR LF cut between two chunks joins its line, shown already or not.
        QTest::newRow("CR LF cut") << QStringList{"<V1.0.1\r", "|", ">AT\r", "<\nOK\r", "<\n"}
                                   << QStringList{"RX V1.0.1\\r\\n", "TX AT\\r", "RX OK\\r\\n"};
        QTest::newRow("no break in 300 bytes")
                << QStringList{"<" + QString(300, u'x') + "\r"}
                << QStringList{"RX " + QString(256, u'x'), "RX " + QString(44, u'x') + "\\r"};
    }
    void lineBreaks()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, expected);
        TrafficLog log;
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(u'<'))
                log.addReceived(step.mid(1).toLatin1());
            else if (step.startsWith(u'>'))
                log.addSent(step.mid(1).toLatin1());
            else
                log.flush();
        }
        log.flush();
        QCOMPARE(rows(log), expected);
    }

    void hiddenWeights()
    {
        TrafficLog log;
        log.setCapacity(6);
        log.addReceived("ST001.000,1,0\r\nsg0001.000kg\r\nV1.0.1\r\n");
        log.flush();
        log.setHideWeights(true);
        QCOMPARE(rows(log), QStringList{"RX V1.0.1\\r\\n"});

        // New lines are filtered as they come; a command and any other line stay. The bound
        // counts the hidden lines too: V1.0.1 went with the first two weights.
        log.addSent("AT+SN\r");
        log.addReceived("1.000\rSN102145\r-0.5\r+2\rERR: 1,0\r");
        log.flush();
        QCOMPARE(rows(log), (QStringList{"TX AT+SN\\r", "RX SN102145\\r", "RX ERR: 1,0\\r"}));

        log.addReceived("US002.000,0,0\r\nUS002.000,0,0\r\nUS002.000,0,0\r\n");
        log.flush();
        QCOMPARE(rows(log), QStringList{"RX ERR: 1,0\\r"});
        log.setCapacity(3); // lowered: the oldest go at once
        QCOMPARE(log.count(), 0);
    }

    // A fresh account: no documents folder, or one that cannot be made.
    void saveWhereNoFolderIsYet()
    {
        QTemporaryDir home;
        const auto restore
                = qScopeGuard([oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME")] {
                      qputenv("HOME", oldHome);
                      if (!oldConfig.isNull())
                          qputenv("XDG_CONFIG_HOME", oldConfig);
                  });
        qputenv("HOME", QFile::encodeName(home.path()));
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(QDir(home.path()).mkpath(u".config"_s));
        QVERIFY(TestSupport::writeFile(home.filePath(u".config/user-dirs.dirs"_s),
                                       "XDG_DOCUMENTS_DIR=\"$HOME/Papers/Docs\"\n"));

        TrafficLog log;
        log.addReceived("V1.0.1\r\nST001.000,1,0\r\n");
        log.setHideWeights(true);
        log.flush();
        const QString suggested = log.suggestedFilePath();
        QVERIFY2(suggested.startsWith(home.filePath(u"Papers/Docs/pelora-traffic-"_s)),
                 qPrintable(suggested));
        QVERIFY(log.saveToFile(suggested));
        QVERIFY(TestSupport::readAll(suggested).endsWith(" RX V1.0.1\\r\\n\n"));

        // A file where the folder should be: a failure said plainly, and the home folder.
        QVERIFY(QDir(home.filePath(u"Papers"_s)).removeRecursively());
        QVERIFY(TestSupport::writeFile(home.filePath(u"Papers"_s), "x"));
        QVERIFY(!log.saveToFile(home.filePath(u"Papers/Docs/log.txt"_s)));
        QCOMPARE(log.lastError(), u"无法创建文件夹 %1"_s.arg(home.filePath(u"Papers/Docs"_s)));
        QVERIFY(log.suggestedFilePath().startsWith(home.filePath(u"pelora-traffic-"_s)));
        QVERIFY(log.saveToFile(home.filePath(u"a/log.txt"_s)) && log.lastError().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTrafficLog)
#include "tst_trafficlog.moc"

#include "settingsstore.h"
#include "startup.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using Changes = QList<QVariantList>;

class tst_SettingsStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A name of its own: on Windows the native store is the registry, which no scratch
        // folder redirects, and the user's own branch must stay untouched.
        Pelora::setIdentity(*QCoreApplication::instance(), QStringLiteral("PeloraStoreTest"));
    }

    void init() { SettingsStore(nullptr).clear(); }

    void changesPersistAndAreAnnouncedInOrder()
    {
        {
            SettingsStore store(nullptr);
            store.setValue(QStringLiteral("serial/portName"), QStringLiteral("/dev/ttyUSB7"));
            store.setValue(QStringLiteral("other"), 3);
#ifndef Q_OS_WIN
            // Flushed by the call itself, not when the store goes.
            QVERIFY(readAll(m_scratch.path() + QStringLiteral("/Pelora/PeloraStoreTest.conf"))
                            .contains("portName=/dev/ttyUSB7"));
#endif
        }
        SettingsStore store(nullptr);
        QCOMPARE(store.value(QStringLiteral("serial/portName")), QStringLiteral("/dev/ttyUSB7"));
        QSignalSpy spy(&store, &SettingsStore::valueChanged);
        QStringList seen; // what a handler reads back at the moment of each signal
        connect(&store, &SettingsStore::valueChanged, this, [&](const QString &key) {
            const QString read = key.isEmpty() ? QStringLiteral("other") : key;
            seen << store.value(read, QStringLiteral("absent")).toString();
        });

        store.setValue(QStringLiteral("grp/a"), 5);
        store.setValue(QStringLiteral("grp/a"), 5); // same value: announced again
        // A key naming nothing must not reach QSettings, which reads it as "everything".
        store.remove(QString());
        store.remove(QStringLiteral("/"));
        store.setValue(QString(), 2);
        QVERIFY(store.contains(QStringLiteral("other")));
        store.remove(QStringLiteral("missing"));
        store.remove(QStringLiteral("serial")); // a group takes its keys with it
        QVERIFY(!store.contains(QStringLiteral("serial/portName")));
        store.clear(); // the handler reads "other" back as absent

        QCOMPARE(spy,
                 (Changes{{"grp/a", 5},
                          {"grp/a", 5},
                          {"missing", QVariant()},
                          {"serial", QVariant()},
                          {QString(), QVariant()}}));
        QCOMPARE(seen.join(u','), QStringLiteral("5,5,absent,absent,absent"));
    }

    void exportImportAndFailedExport()
    {
        SettingsStore store(nullptr);
        const QString path = m_dir.filePath(QStringLiteral("export.json"));
        store.setValue(QStringLiteral("serial/portName"), QStringLiteral("COM3"));
        store.setValue(QStringLiteral("b"), true);
        store.setValue(QStringLiteral("a/z"), 2);
        QVERIFY(store.saveToJson(path));
        const QByteArray exported("{\n    \"a/z\": 2,\n    \"b\": true,\n"
                                  "    \"serial/portName\": \"COM3\"\n}\n");
        QCOMPARE(readAll(path), exported);

        store.setValue(QStringLiteral("serial/portName"), QStringLiteral("COM1"));
        store.setValue(QStringLiteral("keep"), 1);
        QSignalSpy spy(&store, &SettingsStore::valueChanged);
        QVariantList portSeen; // every imported value is in place before the first signal
        connect(&store, &SettingsStore::valueChanged, this,
                [&] { portSeen << store.value(QStringLiteral("serial/portName")); });
        QVERIFY(store.loadFromJson(path));
        QCOMPARE(spy, (Changes{{"a/z", 2}, {"b", true}, {"serial/portName", "COM3"}}));
        QCOMPARE(portSeen.first(), QStringLiteral("COM3"));
        QCOMPARE(store.value(QStringLiteral("keep")), 1);

        // An array, a broken or missing file, or a URL instead of a path changes nothing.
        for (const QString &rejected :
             {writeFile(R"([{"keep": 2}])"), writeFile(R"({"keep": 2, )"),
              m_dir.filePath(QStringLiteral("nothing.json")),
              QUrl::fromLocalFile(writeFile(R"({"keep": 2})")).toString()})
            QVERIFY2(!store.loadFromJson(rejected, false), qPrintable(rejected));
        QCOMPARE(store.value(QStringLiteral("keep")), 1);
        QCOMPARE(spy.count(), 3);

        QVERIFY(store.loadFromJson(path, false));
        QVERIFY(!store.contains(QStringLiteral("keep")));
        QCOMPARE(store.value(QStringLiteral("a/z")), 2);
        QCOMPARE(spy.count(), 6); // emptying first is not announced

        store.setValue(QStringLiteral("big"), QString(64 * 1024, u'x'));
        QVERIFY(!store.saveToJson(m_dir.path()));
#ifdef Q_OS_UNIX
        // A file size limit makes the write itself fail part-way, as a full disk would,
        // even for root; the previous export must survive whole.
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const rlimit small{4096, saved.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        const bool exportSucceeded = store.saveToJson(path);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!exportSucceeded);
        QCOMPARE(readAll(path), exported);
#endif
    }

#ifdef Q_OS_LINUX
    void fullDiskKeepsEveryFileWhole_data()
    {
        QTest::addColumn<qint64>("left");
        QTest::newRow("full") << qint64(0);
        QTest::newRow("room for a lock file") << qint64(4096);
        QTest::newRow("one page more") << qint64(8192);
    }

    // Whatever fails on a full disk, each file holds its last complete content; the store
    // keeps its changes in memory, says so in the log, and writes them once there is room.
    void fullDiskKeepsEveryFileWhole()
    {
        QFETCH(qint64, left);
        TestSupport::SmallDisk disk(m_dir.filePath(QString::fromLatin1(QTest::currentDataTag())));
        if (!disk.isMounted())
            QSKIP("mounting a tmpfs is not permitted here");
        setSettingsPath(disk.path());
        const auto restore = qScopeGuard([this] { setSettingsPath(m_scratch.path()); });
        const QString exportPath = disk.path() + QStringLiteral("/export.json");
        const QString import = writeFile(R"({"imported": 1})");
        {
            SettingsStore store(nullptr);
            const QString conf = disk.path() + QStringLiteral("/Pelora/PeloraStoreTest.conf");
            // Each file a few kB: less than a file's write buffer, so only its flush fails.
            store.setValue(QStringLiteral("serial/portName"), QStringLiteral("COM3"));
            store.setValue(QStringLiteral("serial/baudRate"), QString(9000, u'9'));
            QVERIFY(store.saveToJson(exportPath));
            const QByteArray oldConf = readAll(conf), oldExport = readAll(exportPath);
            QVERIFY(disk.fill(left));

            QVERIFY(!store.saveToJson(exportPath));
            QCOMPARE(readAll(exportPath), oldExport);

            const QString big(3000, u'x');
            const QRegularExpression warning(QStringLiteral("^Settings could not be written"));
            QTest::ignoreMessage(QtWarningMsg, warning);
            store.setValue(QStringLiteral("big"), big);
            QTest::ignoreMessage(QtWarningMsg, warning);
            store.remove(QStringLiteral("serial/portName"));
            QTest::ignoreMessage(QtWarningMsg, warning);
            QVERIFY(store.loadFromJson(import));
            QCOMPARE(store.value(QStringLiteral("big")), big);
            QCOMPARE(readAll(conf), oldConf);
            const QString copy = m_dir.filePath(QStringLiteral("%1.conf").arg(++m_files));
            QVERIFY(QFile::copy(conf, copy)); // a path of its own: read afresh, not from memory
            QCOMPARE(QSettings(copy, QSettings::IniFormat).value(QStringLiteral("serial/portName")),
                     QStringLiteral("COM3"));

            disk.empty();
            QTest::failOnWarning(warning);
            store.setValue(QStringLiteral("after"), 1); // everything pending goes now
            QVERIFY(store.saveToJson(exportPath));
            QVERIFY(readAll(exportPath).contains("\"imported\": 1"));
            QVERIFY(readAll(conf).contains(big.toLatin1()));
            QVERIFY(!readAll(conf).contains("portName"));
        }
    }
#endif

    void threadsWriteAndReadAtOnce()
    {
        constexpr int threads = 4, perThread = 25;
        SettingsStore store(nullptr);
        std::atomic<int> wrong{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&store, &wrong, t] {
                for (int i = 0; i < perThread; ++i) {
                    const QString key = QStringLiteral("t%1/k%2").arg(t).arg(i);
                    store.setValue(key, i);
                    wrong += store.value(key).toInt() != i || !store.contains(key);
                }
            });
        for (std::thread &worker : workers)
            worker.join();
        QCOMPARE(wrong.load(), 0);
        for (int k = 0; k < threads * perThread; ++k) // and no write was lost
            QCOMPARE(store.value(QStringLiteral("t%1/k%2").arg(k / perThread).arg(k % perThread)),
                     k % perThread);
    }

private:
    static void setSettingsPath(const QString &path)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, path);
    }

    QString writeFile(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral("in%1.json").arg(++m_files));
        return TestSupport::writeFile(path, content) ? path : QString();
    }
    static QByteArray readAll(const QString &path)
    {
        return TestSupport::readAll(path);
    }

    TestSupport::ScratchSettings m_scratch; // before any QSettings is made
    QTemporaryDir m_dir;
    int m_files = 0;
};

QTEST_MAIN(tst_SettingsStore)

#include "tst_settingsstore.moc"

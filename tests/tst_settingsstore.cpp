#include "settingsstore.h"
#include "startup.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Changes = QList<QVariantList>;
using TestSupport::readAll;

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

        store.setValue(QStringLiteral("grp/a"), 5);
        // A key naming nothing must not reach QSettings, which reads it as "everything".
        store.remove(QString());
        store.remove(QStringLiteral("/"));
        store.setValue(QString(), 2);
        QVERIFY(store.contains(QStringLiteral("other")));
        store.remove(QStringLiteral("serial")); // a group takes its keys with it
        QVERIFY(!store.contains(QStringLiteral("serial/portName")));
        store.clear();
        QCOMPARE(store.value(QStringLiteral("other"), QStringLiteral("absent")),
                 QStringLiteral("absent"));

        QCOMPARE(spy, (Changes{{"grp/a", 5}, {"serial", QVariant()}, {QString(), QVariant()}}));
    }

    void exportAndImport()
    {
        SettingsStore store(nullptr);
        const QString path = m_dir.filePath(QStringLiteral("export.json"));
        store.setValue(QStringLiteral("serial/portName"), QStringLiteral("COM3"));
        store.setValue(QStringLiteral("a/z"), 2);
        QVERIFY(store.saveToJson(path));
        QVERIFY(!store.saveToJson(m_dir.path())); // a folder is no file

        store.setValue(QStringLiteral("serial/portName"), QStringLiteral("COM1"));
        store.setValue(QStringLiteral("keep"), 1);
        QSignalSpy spy(&store, &SettingsStore::valueChanged);
        QVERIFY(store.loadFromJson(path)); // merged
        QCOMPARE(spy, (Changes{{"a/z", 2}, {"serial/portName", "COM3"}}));
        QCOMPARE(store.value(QStringLiteral("keep")), 1);

        // An array, a broken or missing file, or a URL instead of a path changes nothing.
        for (const QString &rejected :
             {writeFile(R"([{"keep": 2}])"), writeFile(R"({"keep": 2, )"),
              m_dir.filePath(QStringLiteral("nothing.json")),
              QUrl::fromLocalFile(writeFile(R"({"keep": 2})")).toString()})
            QVERIFY2(!store.loadFromJson(rejected, false), qPrintable(rejected));
        QCOMPARE(store.value(QStringLiteral("keep")), 1);
        QCOMPARE(spy.count(), 2);

        QVERIFY(store.loadFromJson(path, false)); // in place of everything
        QVERIFY(!store.contains(QStringLiteral("keep")));
        QCOMPARE(store.value(QStringLiteral("a/z")), 2);
        QCOMPARE(spy.count(), 4); // emptying first is not announced
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

    TestSupport::ScratchSettings m_scratch; // before any QSettings is made
    QTemporaryDir m_dir;
    int m_files = 0;
};

QTEST_MAIN(tst_SettingsStore)

#include "tst_settingsstore.moc"

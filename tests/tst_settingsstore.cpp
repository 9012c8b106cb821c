#include "settingsstore.h"
#include "startup.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

void qml_register_types_Pelora(); // the module's generated type registration

using Changes = QList<QList<QVariant>>;

class tst_SettingsStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_scratch = std::make_unique<TestSupport::ScratchSettings>();
        // A name of its own: on Windows the native store is the registry, which no scratch
        // folder redirects, and the user's own branch must stay untouched.
        Pelora::setIdentity(*QCoreApplication::instance(), QStringLiteral("PeloraStoreTest"));
    }

    void init() { SettingsStore(nullptr).clear(); }

    void changesReachTheDiskAndTheNextStore()
    {
        QFile conf(m_scratch->path() + QStringLiteral("/Pelora/PeloraStoreTest.conf"));
        {
            SettingsStore store(nullptr);
            QCOMPARE(store.value(QStringLiteral("serial/baudRate"), QStringLiteral("115200")),
                     QVariant(QStringLiteral("115200")));
            store.setValue(QStringLiteral("serial/portName"), QStringLiteral("/dev/ttyUSB7"));
            store.setValue(QStringLiteral("serial/baudRate"), 9600);
#ifndef Q_OS_WIN
            // Flushed by the call itself, not at some later point.
            QVERIFY(conf.open(QIODevice::ReadOnly));
            QVERIFY(conf.readAll().contains("portName=/dev/ttyUSB7"));
            conf.close();
#endif
        }
        SettingsStore next(nullptr);
        QCOMPARE(next.value(QStringLiteral("serial/portName")).toString(),
                 QStringLiteral("/dev/ttyUSB7"));
        QCOMPARE(next.value(QStringLiteral("serial/baudRate"), QStringLiteral("115200")).toInt(),
                 9600);
        next.remove(QStringLiteral("serial"));
        QVERIFY(!next.contains(QStringLiteral("serial/baudRate")));
#ifndef Q_OS_WIN
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QVERIFY(!conf.readAll().contains("portName"));
#endif
    }

    void everyChangeIsAnnouncedAfterTheLock()
    {
        SettingsStore store(nullptr);
        store.setValue(QStringLiteral("grp/a"), 1);
        store.setValue(QStringLiteral("grp/b"), 2);
        store.setValue(QStringLiteral("other"), 3);
        QSignalSpy spy(&store, &SettingsStore::valueChanged);
        QStringList seen; // what a handler reads back at the moment of each signal
        connect(&store, &SettingsStore::valueChanged, this, [&](const QString &key) {
            const QString read = key.isEmpty() ? QStringLiteral("other") : key;
            seen << store.value(read, QStringLiteral("absent")).toString();
        });

        store.setValue(QStringLiteral("grp/a"), 5);
        store.setValue(QStringLiteral("grp/a"), 5); // same value: announced again
        store.remove(QStringLiteral("missing"));
        store.remove(QStringLiteral("grp")); // a group takes its keys with it
        QVERIFY(!store.contains(QStringLiteral("grp/b")));
        QVERIFY(store.contains(QStringLiteral("other")));
        store.clear();
        QVERIFY(!store.contains(QStringLiteral("other")));

        QCOMPARE(spy,
                 (Changes{{QStringLiteral("grp/a"), 5},
                          {QStringLiteral("grp/a"), 5},
                          {QStringLiteral("missing"), QVariant()},
                          {QStringLiteral("grp"), QVariant()},
                          {QString(), QVariant()}}));
        QCOMPARE(seen,
                 (QStringList{QStringLiteral("5"), QStringLiteral("5"), QStringLiteral("absent"),
                              QStringLiteral("absent"), QStringLiteral("absent")}));
    }

    void emptyKeyTouchesNothing()
    {
        SettingsStore store(nullptr);
        store.setValue(QStringLiteral("keep"), 1);
        QSignalSpy spy(&store, &SettingsStore::valueChanged);
        store.remove(QString());
        store.remove(QStringLiteral("/"));
        store.setValue(QString(), 2);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(store.value(QStringLiteral("keep")).toInt(), 1);
    }

    void exportIsFlatSortedAndIndented()
    {
        SettingsStore store(nullptr);
        const QString path = m_dir.filePath(QStringLiteral("export.json"));
        QVERIFY(store.saveToJson(path));
        QCOMPARE(readAll(path), QByteArray("{\n}\n"));

        store.setValue(QStringLiteral("serial/portName"), QStringLiteral("COM3"));
        store.setValue(QStringLiteral("b"), true);
        store.setValue(QStringLiteral("a/z"), 2);
        QVERIFY(store.saveToJson(path));
        QCOMPARE(readAll(path),
                 QByteArray("{\n"
                            "    \"a/z\": 2,\n"
                            "    \"b\": true,\n"
                            "    \"serial/portName\": \"COM3\"\n"
                            "}\n"));
        // The flat names come back into their groups.
        store.clear();
        QVERIFY(store.loadFromJson(path));
        QCOMPARE(store.value(QStringLiteral("serial/portName")).toString(), QStringLiteral("COM3"));
        QCOMPARE(store.value(QStringLiteral("a/z")).toInt(), 2);
    }

    void importMergesOrReplaces()
    {
        SettingsStore store(nullptr);
        store.setValue(QStringLiteral("keep"), 1);
        store.setValue(QStringLiteral("serial/portName"), QStringLiteral("COM1"));
        const QString path = writeFile(R"({"serial/portName": "COM5", "serial/baudRate": 19200})");
        QSignalSpy spy(&store, &SettingsStore::valueChanged);
        // Every imported value is in place before the first announcement.
        QVariantList secondSeenFirst;
        connect(&store, &SettingsStore::valueChanged, this,
                [&] { secondSeenFirst << store.value(QStringLiteral("serial/portName")); });

        QVERIFY(store.loadFromJson(path));
        QCOMPARE(store.value(QStringLiteral("keep")).toInt(), 1);
        QCOMPARE(store.value(QStringLiteral("serial/baudRate")).toInt(), 19200);
        QCOMPARE(spy,
                 (Changes{{QStringLiteral("serial/baudRate"), 19200},
                          {QStringLiteral("serial/portName"), QStringLiteral("COM5")}}));
        QCOMPARE(secondSeenFirst.first().toString(), QStringLiteral("COM5"));

        spy.clear();
        QVERIFY(store.loadFromJson(path, false));
        QVERIFY(!store.contains(QStringLiteral("keep")));
        QCOMPARE(spy.count(), 2);

        spy.clear();
        QVERIFY(store.loadFromJson(writeFile("{}"), false));
        QVERIFY(!store.contains(QStringLiteral("serial/portName")));
        QCOMPARE(spy.count(), 0);
    }

    void rejectedImportChangesNothing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("array") << writeFile(R"([{"keep": 2}])");
        QTest::newRow("broken") << writeFile(R"({"keep": 2, )");
        QTest::newRow("missing") << m_dir.filePath(QStringLiteral("nothing.json"));
        QTest::newRow("url") << QUrl::fromLocalFile(writeFile(R"({"keep": 2})")).toString();
    }

    void rejectedImportChangesNothing()
    {
        QFETCH(QString, path);
        SettingsStore store(nullptr);
        store.setValue(QStringLiteral("keep"), 1);
        QSignalSpy spy(&store, &SettingsStore::valueChanged);
        QVERIFY(!store.loadFromJson(path, false));
        QCOMPARE(store.value(QStringLiteral("keep")).toInt(), 1);
        QCOMPARE(spy.count(), 0);
    }

    void failedExportIsReportedAndKeepsTheOldFile()
    {
        SettingsStore store(nullptr);
        store.setValue(QStringLiteral("big"), QString(64 * 1024, u'x'));
        const QString plainFile = writeFile("{}");
        QVERIFY(!store.saveToJson(plainFile + QStringLiteral("/under-a-file.json")));
        QVERIFY(!store.saveToJson(m_dir.path()));

#ifdef Q_OS_UNIX
        // A file size limit makes the write itself fail part-way, as a full disk would,
        // even for root.
        const QString previous = writeFile(R"({"old": 1})");
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 4096;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        const bool exportSucceeded = store.saveToJson(previous);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!exportSucceeded);
        QCOMPARE(readAll(previous), QByteArray(R"({"old": 1})"));
#endif
    }

    void threadsWriteAndReadAtOnce()
    {
        constexpr int threads = 4, perThread = 25;
        SettingsStore store(nullptr);
        std::atomic<int> announced{0}, wrong{0};
        connect(
                &store, &SettingsStore::valueChanged, this, [&] { ++announced; },
                Qt::DirectConnection);
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back(QThread::create([&store, &wrong, t] {
                for (int i = 0; i < perThread; ++i) {
                    const QString key = QStringLiteral("t%1/k%2").arg(t).arg(i);
                    store.setValue(key, i);
                    if (store.value(key).toInt() != i || !store.contains(key))
                        ++wrong;
                }
            }));
            workers.back()->start();
        }
        for (auto &worker : workers)
            QVERIFY(worker->wait(60000));
        QCOMPARE(wrong.load(), 0);
        QCOMPARE(announced.load(), threads * perThread);
        SettingsStore reader(nullptr);
        for (int t = 0; t < threads; ++t)
            for (int i = 0; i < perThread; ++i)
                QCOMPARE(reader.value(QStringLiteral("t%1/k%2").arg(t).arg(i)).toInt(), i);
    }

    void storesOutliveTheirOwners()
    {
        QPointer<SettingsStore> shared = SettingsStore::create(nullptr, nullptr);
        QCOMPARE(SettingsStore::create(nullptr, nullptr), shared.data());
        delete shared.data(); // as an owning engine does
        SettingsStore *next = SettingsStore::create(nullptr, nullptr);
        next->setValue(QStringLiteral("shared"), 7);
        delete next;

        qml_register_types_Pelora();
        const int type = qmlTypeId("Pelora", 254, 0, "SettingsStore");
        QVERIFY(type >= 0);
        QPointer<SettingsStore> first;
        {
            QQmlEngine engine;
            first = engine.singletonInstance<SettingsStore *>(type);
            QVERIFY(first);
            QCOMPARE(engine.singletonInstance<SettingsStore *>(type), first.data());
            QCOMPARE(SettingsStore::create(nullptr, nullptr), first.data()); // the process's one
            QCOMPARE(first->value(QStringLiteral("shared")).toInt(), 7);
        }
        QVERIFY(!first); // the engine owned its store and took it along
        QQmlEngine engine;
        QVERIFY(engine.singletonInstance<SettingsStore *>(type));
    }

private:
    QString writeFile(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral("in%1.json").arg(++m_files));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
        return path;
    }

    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::unique_ptr<TestSupport::ScratchSettings> m_scratch;
    QTemporaryDir m_dir;
    int m_files = 0;
};

QTEST_MAIN(tst_SettingsStore)

#include "tst_settingsstore.moc"

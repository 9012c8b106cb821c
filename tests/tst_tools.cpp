#include "testsupport.h"
#include "tools.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QQmlEngine>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

void qml_register_types_Pelora(); // the module's generated type registration

using TestSupport::writeFile;

class TestTools : public QObject
{
    Q_OBJECT

    Tools tools{nullptr};

private Q_SLOTS:
    void conversions()
    {
        const QString text = QStringLiteral("置零 Grüße");
        QCOMPARE(tools.md5(text), "c01c4bb2ec7ac4590632d913194cb0bb");
        QCOMPARE(tools.sha256(text),
                 "ce81e87d59892030993c59b34a7c08365586ebca5238fc06a352c988a29b69c3");
        QCOMPARE(tools.toBase64(text), "572u6Zu2IEdyw7zDn2U=");
        // Characters outside the alphabet are skipped; invalid UTF-8 turns into U+FFFD.
        QCOMPARE(tools.fromBase64(QStringLiteral("*Y-W.J置j!\r\nZGVm")), "abcdef");
        QCOMPARE(tools.fromBase64(QStringLiteral("wyhh")), QStringLiteral("\uFFFD(a"));
        const QString uuid = tools.uuid();
        QVERIFY2(uuid.size() == 32 && uuid != tools.uuid(), qPrintable(uuid));
        // Clamped, never wrapped: 1.5 must not come out almost transparent.
        for (const auto &[alpha, expected] : std::initializer_list<std::pair<double, int>>{
                     {0.0, 0}, {0.5, 128}, {1.5, 255}, {-0.5, 0}})
            QCOMPARE(tools.withOpacity(QColor(10, 20, 30, 77), alpha),
                     QColor(10, 20, 30, expected));
    }

    void readFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("text"));
        const QString text = QStringLiteral("置零 Grüße\r\nline 2\n"); // line endings stay
        QVERIFY(writeFile(path, text.toUtf8()));
        QCOMPARE(tools.readFile(path), text);
        QCOMPARE(tools.readFile(dir.filePath(QStringLiteral("missing"))), QString());

        // Only regular files, and none past the size limit: a device never ends, a FIFO
        // without a writer never answers, a huge file would fill the memory.
#ifdef Q_OS_UNIX
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(tools.readFile(fifo), QString());
        QCOMPARE(tools.readFile(QStringLiteral("/dev/zero")), QString());
#endif
        QCOMPARE(tools.readFile(dir.path()), QString());
        QFile huge(dir.filePath(QStringLiteral("huge")));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(64 * 1024 * 1024)); // sparse
        QCOMPARE(tools.readFile(huge.fileName()).size(), 64 * 1024 * 1024); // just within
        QVERIFY(huge.resize(64 * 1024 * 1024 + 1));
        huge.close();
        QCOMPARE(tools.readFile(huge.fileName()), QString());
    }

    void removeDir()
    {
        QTemporaryDir dir;
        const QString top = dir.filePath(QStringLiteral("top"));
        QVERIFY(QDir().mkpath(top + QStringLiteral("/a/b/c")));
        QVERIFY(writeFile(top + QStringLiteral("/a/b/c/deep.txt"), "x"));
        QVERIFY(writeFile(top + QStringLiteral("/a/.hidden"), "x"));
        // A link inside goes as a link; the folder it points to stays whole.
        const QString outside = dir.filePath(QStringLiteral("outside"));
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(writeFile(outside + QStringLiteral("/kept.txt"), "x"));
        QVERIFY(QFile::link(outside, top + QStringLiteral("/a/link")));
        QVERIFY(tools.removeDir(top));
        QVERIFY(!QFileInfo::exists(top));
        QVERIFY(tools.removeDir(top)); // already gone
        QVERIFY(QFileInfo::exists(outside + QStringLiteral("/kept.txt")));
    }

#ifdef Q_OS_UNIX // the home folder comes from HOME
    void removeDirRefusesWhatItWasNotGiven()
    {
        // Run inside a scratch folder with a scratch home, so that a refusal that fails
        // costs nothing but the scratch.
        QTemporaryDir dir;
        const QString work = dir.filePath(QStringLiteral("work"));
        const QString home = dir.filePath(QStringLiteral("users/me"));
        QVERIFY(QDir().mkpath(work + QStringLiteral("/sub")) && QDir().mkpath(home));
        QVERIFY(QDir().mkpath(work + QStringLiteral("/file:/x")));
        QVERIFY(writeFile(work + QStringLiteral("/keep.txt"), "x"));
        QVERIFY(writeFile(home + QStringLiteral("/.profile"), "x"));
        const QByteArray previousHome = qgetenv("HOME");
        const QString previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work));
        qputenv("HOME", QFile::encodeName(home));
        QVERIFY(QDir::homePath() == home);
        QVERIFY(QFile::link(dir.path(), work + QStringLiteral("/up"))); // up/users holds home
        const auto restore = qScopeGuard([&] {
            QDir::setCurrent(previousDir);
            qputenv("HOME", previousHome);
        });

        const QStringList refused{"",
                                  " ",
                                  ".",
                                  "./",
                                  "..",
                                  "sub/..",
                                  "sub/../",
                                  "file:",
                                  "file:///",
                                  "file://" + work + "/sub",
                                  home,
                                  home + "/",
                                  dir.filePath("users"),
                                  "up/users"};
        for (const QString &path : refused)
            QVERIFY2(!tools.removeDir(path), qPrintable(path));
        for (const char *kept : {"/keep.txt", "/sub", "/file:/x"})
            QVERIFY2(QFileInfo::exists(work + QLatin1String(kept)), kept);
        QVERIFY(QFileInfo::exists(home + QStringLiteral("/.profile")));

        // A link to the home folder is only a link.
        QVERIFY(QFile::link(home, work + QStringLiteral("/home-link")));
        QVERIFY(tools.removeDir(QStringLiteral("home-link")));
        QVERIFY(QFileInfo::exists(home + QStringLiteral("/.profile")));
        QVERIFY(tools.removeDir(QStringLiteral("sub")));
        QVERIFY(!QFileInfo::exists(work + QStringLiteral("/sub")));
    }
#endif

    void factoryOutlivesEachEngine()
    {
        // Each engine deletes the instance it was handed; the next must get a live one.
        qml_register_types_Pelora();
        const int type = qmlTypeId("Pelora", 254, 0, "Tools");
        QPointer<Tools> first;
        {
            QQmlEngine engine;
            first = engine.singletonInstance<Tools *>(type);
            QVERIFY(first);
            QCOMPARE(first.data(), Tools::create(nullptr, nullptr));
        }
        QVERIFY(first.isNull());
        QQmlEngine engine;
        Tools *second = engine.singletonInstance<Tools *>(type);
        QVERIFY(second);
        QCOMPARE(second, Tools::create(nullptr, nullptr));
    }
};

QTEST_MAIN(TestTools)
#include "tst_tools.moc"

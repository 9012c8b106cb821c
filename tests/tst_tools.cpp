#include "testsupport.h"
#include "tools.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QPointer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestTools : public QObject
{
    Q_OBJECT

private:
    Tools tools{ nullptr };

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    }

    // The Tools instance that a document of a fresh engine sees.
    static QObject *toolsSeenBy(QQmlEngine &engine)
    {
        QQmlComponent component(&engine);
        component.setData("import QtQml\nimport Pelora\nQtObject { property var tools: Tools;"
                          " property string empty: Tools.md5('') }",
                          QUrl());
        std::unique_ptr<QObject> document(component.create());
        if (!document) {
            qWarning() << component.errorString();
            return nullptr;
        }
        if (document->property("empty").toString() != QLatin1String("d41d8cd98f00b204e9800998ecf8427e"))
            return nullptr;
        return document->property("tools").value<QObject *>();
    }

private Q_SLOTS:
    void methodsKeepTheirIndexes()
    {
        // Documents compiled ahead of time call by method index: the order is interface.
        const QMetaObject *meta = tools.metaObject();
        QStringList names;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            names << QString::fromLatin1(meta->method(i).methodSignature());
        QCOMPARE(names.size(), 38);
        QCOMPARE(names.at(13), QStringLiteral("deleteLater(QObject*)"));
        QCOMPARE(names.at(36), QStringLiteral("imageMainColor(QImage,double)"));
        QCOMPARE(names.at(37), QStringLiteral("imageMainColor(QImage)"));
        const QString expected = QStringLiteral(
                "qtMajor qtMinor isMacos isLinux isWin clipText uuid readFile "
                "setQuitOnLastWindowClosed setOverrideCursor restoreOverrideCursor html2PlantText "
                "toLocalPath deleteLater getFileNameByUrl getVirtualGeometry getApplicationDirPath "
                "getUrlByFilePath withOpacity md5 sha256 toBase64 fromBase64 removeDir removeFile "
                "showFileInFolder isSoftware currentTimestamp cursorPos windowIcon cursorScreenIndex "
                "windowBuildNumber isWindows11OrGreater isWindows10OrGreater "
                "desktopAvailableGeometry getWallpaperFilePath imageMainColor imageMainColor");
        QStringList bare;
        for (const QString &name : std::as_const(names))
            bare << name.section(QLatin1Char('('), 0, 0);
        QCOMPARE(bare.join(QLatin1Char(' ')), expected);
    }

    void hashesAndBase64_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<QString>("sha256");
        QTest::addColumn<QString>("base64");
        QTest::newRow("empty") << QString() << "d41d8cd98f00b204e9800998ecf8427e"
                               << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
                               << "";
        QTest::newRow("abc") << "abc" << "900150983cd24fb0d6963f7d28e17f72"
                             << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
                             << "YWJj";
        QTest::newRow("non-ASCII") << QStringLiteral("置零 Grüße") << "c01c4bb2ec7ac4590632d913194cb0bb"
                                   << "ce81e87d59892030993c59b34a7c08365586ebca5238fc06a352c988a29b69c3"
                                   << "572u6Zu2IEdyw7zDn2U=";
    }
    void hashesAndBase64()
    {
        QFETCH(QString, text);
        QTEST(tools.md5(text), "md5");
        QTEST(tools.sha256(text), "sha256");
        QFETCH(QString, base64);
        QCOMPARE(tools.toBase64(text), base64);
        QCOMPARE(tools.fromBase64(base64), text);
    }

    void fromBase64IsLenient_data()
    {
        QTest::addColumn<QString>("encoded");
        QTest::addColumn<QString>("decoded");
        QTest::newRow("blanks and line breaks") << "YW Jj\r\nZGVm" << "abcdef";
        QTest::newRow("foreign characters") << QStringLiteral("*Y-W.J置j!") << "abc";
        QTest::newRow("lone invalid byte") << "/w==" << QStringLiteral("\uFFFD");
        QTest::newRow("broken sequence") << "wyhh" << QStringLiteral("\uFFFD(a");
    }
    void fromBase64IsLenient()
    {
        QFETCH(QString, encoded);
        QTEST(tools.fromBase64(encoded), "decoded");
    }

    void withOpacity_data()
    {
        QTest::addColumn<double>("alpha");
        QTest::addColumn<int>("expected");
        QTest::newRow("0") << 0.0 << 0;
        QTest::newRow("0.5 rounds up") << 0.5 << 128;
        QTest::newRow("1") << 1.0 << 255;
        QTest::newRow("above 1 clamps, no wrap") << 1.5 << 255;
        QTest::newRow("below 0 clamps") << -0.5 << 0;
    }
    void withOpacity()
    {
        QFETCH(double, alpha);
        const QColor result = tools.withOpacity(QColor(10, 20, 30, 77), alpha);
        QTEST(result.alpha(), "expected");
        QCOMPARE(result.rgb(), qRgb(10, 20, 30));
    }

    void imageMainColor()
    {
        // 10 × 10: only (0, 0) lies on the grid.
        QImage small(10, 10, QImage::Format_RGB32);
        small.fill(Qt::blue);
        small.setPixel(0, 0, qRgb(200, 100, 50));
        QCOMPARE(tools.imageMainColor(small), QColor(200, 100, 50));

        // 21 × 1: the average of x = 0 and x = 20.
        QImage row(21, 1, QImage::Format_RGB32);
        row.fill(Qt::white);
        row.setPixel(0, 0, qRgb(100, 0, 30));
        row.setPixel(20, 0, qRgb(201, 50, 0));
        QCOMPARE(tools.imageMainColor(row), QColor(150, 25, 15));

        // Alpha plays no part, and bright scales up to white or down.
        QImage grey(100, 60, QImage::Format_ARGB32);
        grey.fill(qRgba(128, 128, 128, 0));
        QCOMPARE(tools.imageMainColor(grey, 2.0), QColor(255, 255, 255));
        QCOMPARE(tools.imageMainColor(grey, 0.5), QColor(64, 64, 64));
        QVERIFY(!tools.imageMainColor(grey, -1.0).isValid());
        QVERIFY(!tools.imageMainColor(QImage()).isValid());

        // Documents reach the one-argument entry through the meta-object.
        QColor viaMeta;
        QVERIFY(QMetaObject::invokeMethod(&tools, "imageMainColor", Q_RETURN_ARG(QColor, viaMeta),
                                          Q_ARG(QImage, small)));
        QCOMPARE(viaMeta, QColor(200, 100, 50));
    }

    void readFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString text = QStringLiteral("置零 Grüße\r\nline 2\n");
        const QString plain = dir.filePath(QStringLiteral("plain.txt"));
        const QString utf8Bom = dir.filePath(QStringLiteral("utf8bom.txt"));
        const QString utf16Bom = dir.filePath(QStringLiteral("utf16bom.txt"));
        writeFile(plain, text.toUtf8());
        writeFile(utf8Bom, "\xEF\xBB\xBF" + text.toUtf8());
        QByteArray utf16("\xFF\xFE", 2);
        utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        writeFile(utf16Bom, utf16);

        QCOMPARE(tools.readFile(plain), text); // line endings stay as stored
        QCOMPARE(tools.readFile(utf8Bom), text);
        QCOMPARE(tools.readFile(utf16Bom), text);
        QCOMPARE(tools.readFile(dir.filePath(QStringLiteral("missing.txt"))), QString());
    }

    void removeDir()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString top = dir.filePath(QStringLiteral("top"));
        QVERIFY(QDir().mkpath(top + QStringLiteral("/a/b/c")));
        writeFile(top + QStringLiteral("/a/b/c/deep.txt"), "x");
        writeFile(top + QStringLiteral("/a/.hidden"), "x");
        writeFile(top + QStringLiteral("/top.txt"), "x");

        QVERIFY(tools.removeDir(top));
        QVERIFY(!QFileInfo::exists(top));
        QVERIFY(tools.removeDir(top)); // already gone

        // An empty path names the working directory, which must survive.
        const QString keep = dir.filePath(QStringLiteral("keep.txt"));
        writeFile(keep, "x");
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const bool removed = tools.removeDir(QString());
        QDir::setCurrent(previous);
        QVERIFY(!removed);
        QVERIFY(QFileInfo::exists(keep));
    }

    void urls_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("localPath");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("local file") << QUrl(QStringLiteral("file:///data/scale/report.final.csv"))
                                    << "/data/scale/report.final.csv" << "report.final.csv";
        QTest::newRow("web") << QUrl(QStringLiteral("https://example.com/report.csv")) << ""
                             << "";
        QTest::newRow("folder") << QUrl(QStringLiteral("file:///data/scale/")) << "/data/scale/"
                                << "";
        QTest::newRow("relative") << QUrl(QStringLiteral("report.csv")) << "" << "";
    }
    void urls()
    {
        QFETCH(QUrl, url);
        QTEST(tools.toLocalPath(url), "localPath");
        QTEST(tools.getFileNameByUrl(url), "fileName");
    }

    void uuid()
    {
        const QString first = tools.uuid();
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(first).hasMatch(),
                 qPrintable(first));
        QVERIFY(tools.uuid() != first);
    }

    void deleteLaterActsOnItsArgument()
    {
        auto *victim = new QObject;
        QPointer<QObject> watch(victim);
        QPointer<Tools> self(&tools);
        QVERIFY(QMetaObject::invokeMethod(&tools, "deleteLater", Q_ARG(QObject *, victim)));
        QTRY_VERIFY(watch.isNull());
        QVERIFY(!self.isNull());
        tools.deleteLater(nullptr);
    }

    void factoryOutlivesEachEngine()
    {
        // Each engine owns the instance it was given and deletes it with itself; the next
        // engine must get a live one, not the deleted pointer.
        QPointer<QObject> first;
        {
            QQmlEngine engine;
            TestSupport::prepareEngine(engine);
            first = toolsSeenBy(engine);
            QVERIFY(first);
            QCOMPARE(first.data(), Tools::create(nullptr, nullptr));
        }
        QVERIFY(first.isNull());

        QQmlEngine engine;
        TestSupport::prepareEngine(engine);
        QObject *second = toolsSeenBy(engine);
        QVERIFY(second);
        QCOMPARE(second, Tools::create(nullptr, nullptr));
        QCOMPARE(toolsSeenBy(engine), second);
    }
};

QTEST_MAIN(TestTools)
#include "tst_tools.moc"

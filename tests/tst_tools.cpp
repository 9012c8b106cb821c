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

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The Tools instance that a document of the engine sees, once it has answered a call.
QObject *toolsSeenBy(QQmlEngine &engine)
{
    QQmlComponent component(&engine);
    component.setData("import QtQml\nimport Pelora\nQtObject { property var tools: Tools;"
                      " property string empty: Tools.md5('') }",
                      QUrl());
    std::unique_ptr<QObject> document(component.create());
    if (!document || document->property("empty").toString().size() != 32)
        return nullptr;
    return document->property("tools").value<QObject *>();
}

} // namespace

class TestTools : public QObject
{
    Q_OBJECT

    Tools tools{nullptr};

private Q_SLOTS:
    void methodsKeepTheirIndexes()
    {
        // Compiled documents call by method index, so the declaration order is interface.
        const QMetaObject *meta = tools.metaObject();
        QStringList signatures;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            signatures << QString::fromLatin1(meta->method(i).methodSignature());
        QCOMPARE(signatures.size(), 38);
        QCOMPARE(signatures.at(13), QStringLiteral("deleteLater(QObject*)"));
        QCOMPARE(signatures.at(18), QStringLiteral("withOpacity(QColor,double)"));
        QCOMPARE(signatures.at(35), QStringLiteral("getWallpaperFilePath()"));
        QCOMPARE(signatures.at(36), QStringLiteral("imageMainColor(QImage,double)"));
        QCOMPARE(signatures.at(37), QStringLiteral("imageMainColor(QImage)"));
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
        QTest::newRow("abc") << "abc"
                             << "900150983cd24fb0d6963f7d28e17f72"
                             << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
                             << "YWJj";
        QTest::newRow("non-ASCII")
                << QStringLiteral("置零 Grüße") << "c01c4bb2ec7ac4590632d913194cb0bb"
                << "ce81e87d59892030993c59b34a7c08365586ebca5238fc06a352c988a29b69c3"
                << "572u6Zu2IEdyw7zDn2U=";
    }
    void hashesAndBase64()
    {
        QFETCH(QString, text);
        QFETCH(QString, base64);
        QTEST(tools.md5(text), "md5");
        QTEST(tools.sha256(text), "sha256");
        QCOMPARE(tools.toBase64(text), base64);
        QCOMPARE(tools.fromBase64(base64), text);
    }

    void fromBase64IsLenient_data()
    {
        QTest::addColumn<QString>("encoded");
        QTest::addColumn<QString>("decoded");
        QTest::newRow("blanks and line breaks") << "YW Jj\r\nZGVm"
                                                << "abcdef";
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
        QImage small(10, 10, QImage::Format_RGB32); // only (0, 0) is on the grid
        small.fill(Qt::blue);
        small.setPixel(0, 0, qRgb(200, 100, 50));
        QCOMPARE(tools.imageMainColor(small), QColor(200, 100, 50));

        QImage row(21, 1, QImage::Format_RGB32); // x = 0 and x = 20 are averaged
        row.fill(Qt::white);
        row.setPixel(0, 0, qRgb(100, 0, 30));
        row.setPixel(20, 0, qRgb(201, 50, 0));
        QCOMPARE(tools.imageMainColor(row), QColor(150, 25, 15));

        QImage grey(100, 60, QImage::Format_ARGB32); // alpha plays no part
        grey.fill(qRgba(128, 128, 128, 0));
        QCOMPARE(tools.imageMainColor(grey, 2.0), QColor(255, 255, 255));
        QCOMPARE(tools.imageMainColor(grey, 0.5), QColor(64, 64, 64));
        QVERIFY(!tools.imageMainColor(grey, -1.0).isValid());
        QVERIFY(!tools.imageMainColor(QImage()).isValid());
    }

    void readFile()
    {
        QTemporaryDir dir;
        const QString text = QStringLiteral("置零 Grüße\r\nline 2\n"); // line endings stay
        QByteArray utf16("\xFF\xFE", 2);
        utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        writeFile(dir.filePath(QStringLiteral("plain")), text.toUtf8());
        writeFile(dir.filePath(QStringLiteral("utf8bom")), "\xEF\xBB\xBF" + text.toUtf8());
        writeFile(dir.filePath(QStringLiteral("utf16bom")), utf16);

        QCOMPARE(tools.readFile(dir.filePath(QStringLiteral("plain"))), text);
        QCOMPARE(tools.readFile(dir.filePath(QStringLiteral("utf8bom"))), text);
        QCOMPARE(tools.readFile(dir.filePath(QStringLiteral("utf16bom"))), text);
        QCOMPARE(tools.readFile(dir.filePath(QStringLiteral("missing"))), QString());
    }

    void removeDir()
    {
        QTemporaryDir dir;
        const QString top = dir.filePath(QStringLiteral("top"));
        QVERIFY(QDir().mkpath(top + QStringLiteral("/a/b/c")));
        writeFile(top + QStringLiteral("/a/b/c/deep.txt"), "x");
        writeFile(top + QStringLiteral("/a/.hidden"), "x");
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
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("localPath");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("local file") << "file:///data/scale/report.final.csv"
                                    << "/data/scale/report.final.csv"
                                    << "report.final.csv";
        QTest::newRow("web") << "https://example.com/report.csv"
                             << ""
                             << "";
        QTest::newRow("folder") << "file:///data/scale/"
                                << "/data/scale/"
                                << "";
    }
    void urls()
    {
        QFETCH(QString, url);
        QTEST(tools.toLocalPath(QUrl(url)), "localPath");
        QTEST(tools.getFileNameByUrl(QUrl(url)), "fileName");
    }

    void uuid()
    {
        const QString first = tools.uuid();
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(first).hasMatch(),
                 qPrintable(first));
        QVERIFY(tools.uuid() != first);
    }

    void factoryOutlivesEachEngine()
    {
        // Each engine deletes the instance it was handed; the next must get a live one.
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
    }
};

QTEST_MAIN(TestTools)
#include "tst_tools.moc"

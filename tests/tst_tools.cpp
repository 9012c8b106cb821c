#include "tools.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

void qml_register_types_Pelora(); // the module's generated type registration

static void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

class TestTools : public QObject
{
    Q_OBJECT

    Tools tools{nullptr};

private Q_SLOTS:
    void hashesAndBase64()
    {
        QCOMPARE(tools.md5(QString()), "d41d8cd98f00b204e9800998ecf8427e");
        QCOMPARE(tools.sha256(QString()),
                 "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        QCOMPARE(tools.toBase64(QString()), QString());
        const QString text = QStringLiteral("置零 Grüße");
        QCOMPARE(tools.md5(text), "c01c4bb2ec7ac4590632d913194cb0bb");
        QCOMPARE(tools.sha256(text),
                 "ce81e87d59892030993c59b34a7c08365586ebca5238fc06a352c988a29b69c3");
        QCOMPARE(tools.toBase64(text), "572u6Zu2IEdyw7zDn2U=");
        QCOMPARE(tools.fromBase64(QStringLiteral("572u6Zu2IEdyw7zDn2U=")), text);
        // Characters outside the alphabet are skipped; invalid UTF-8 turns into U+FFFD.
        QCOMPARE(tools.fromBase64(QStringLiteral("*Y-W.J置j!\r\nZGVm")), "abcdef");
        QCOMPARE(tools.fromBase64(QStringLiteral("wyhh")), QStringLiteral("\uFFFD(a"));
    }

    void withOpacity()
    {
        // Clamped, never wrapped: 1.5 must not come out almost transparent.
        const QList<std::pair<double, int>> alphas{
                {0.0, 0}, {0.5, 128}, {1.0, 255}, {1.5, 255}, {-0.5, 0}};
        for (const auto &[alpha, expected] : alphas)
            QCOMPARE(tools.withOpacity(QColor(10, 20, 30, 77), alpha),
                     QColor(10, 20, 30, expected));
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
        const QString path = dir.filePath(QStringLiteral("text"));
        const QString text = QStringLiteral("置零 Grüße\r\nline 2\n"); // line endings stay
        QByteArray utf16("\xFF\xFE", 2);
        utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        for (const QByteArray &bytes : {text.toUtf8(), "\xEF\xBB\xBF" + text.toUtf8(), utf16}) {
            writeFile(path, bytes);
            QCOMPARE(tools.readFile(path), text);
        }
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
        writeFile(dir.filePath(QStringLiteral("keep.txt")), "x");
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const bool removed = tools.removeDir(QString());
        QDir::setCurrent(previous);
        QVERIFY(!removed);
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("keep.txt"))));
    }

    void urls()
    {
        // url, local path, file name: a web address has neither, a folder no file name.
        const QList<QStringList> cases{{"file:///data/scale/report.final.csv",
                                        "/data/scale/report.final.csv", "report.final.csv"},
                                       {"https://example.com/report.csv", "", ""},
                                       {"file:///data/scale/", "/data/scale/", ""}};
        for (const QStringList &c : cases) {
            QCOMPARE(tools.toLocalPath(QUrl(c[0])), c[1]);
            QCOMPARE(tools.getFileNameByUrl(QUrl(c[0])), c[2]);
        }
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

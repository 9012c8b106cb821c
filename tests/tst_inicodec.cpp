#include "inicodec.h"
#include "testsupport.h"

#include <QDateTime>
#include <QFile>
#include <QRect>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

// The codec is driven through QSettings, as the store drives it: QSettings hands it the file
// and commits it only when the codec answers true.
class tst_IniCodec : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Written the same as Qt's native INI, byte for byte (escapes, unicode keys and values,
    // lists, serialised values, the general section), and read the same.
    void writesAndReadsQtsText()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
        const QTimeZone utc(QTimeZone::UTC); // Qt 6.8 deprecates passing Qt::UTC itself
#else
        const Qt::TimeSpec utc = Qt::UTC;
#endif
        const QList<std::pair<QString, QVariant>> values{
                {"General/x", 1},
                {"a", QString::fromUtf8("x\0y", 3)},
                {"b", "@at"},
                {"c", 1.5f},
                {"d", QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), utc)},
                {"e", QVariant()},
                {"f", QVariant::fromValue(nullptr)},
                {"g", QVariantMap{{"k", 1}, {"z", "é"}}},
                {"h", QVariantList{1, "two", true}},
                {"i", QStringList()},
                {"j", QStringList{"only"}},
                {"k",
                 " lead;semi,comma=eq \"q\" \\ tab\t nl\n 置零 😀 \x01"
                 "9\x7f"},
                {"l",
                 QByteArray("\0\x01"
                            "ab\xff",
                            5)},
                {"m", QRect(1, 2, 3, 4)},
                {"n", qlonglong(1) << 40},
                {"o", QVariantList{QVariantList{1, 2}, "x"}},
                {"p", "trail "},
                {"sp ace/k%ey/deep", 3},
                {"置零/键", 4}};
        const QString byQt = m_dir.filePath(QStringLiteral("qt.conf"));
        const QString byCodec = m_dir.filePath(QStringLiteral("codec.conf"));
        {
            QSettings qt(byQt, QSettings::NativeFormat);
            QSettings codec(byCodec, IniCodec::format());
            for (const auto &[key, value] : values) {
                qt.setValue(key, value);
                codec.setValue(key, value);
            }
        }
        QCOMPARE(TestSupport::readAll(byCodec), TestSupport::readAll(byQt));

        // That text with a byte order mark and lines added by hand (comments, quotes, lists,
        // escapes, continued lines, a stray line, the general section again) reads as Qt reads it.
        const QByteArray byHand(
                "\n; a comment\n[extra]\n spaced = \"  kept  \" \n"
                "list = one, \"two, three\" , four \nescapes=\\x41\\102\\q\\\nnext\n"
                "semi=a;b\r\nstray line\n[general]\ntop=2\n[%General]\nx=5\n"
                "[%U7F6E]\n%U952E\\deep=6\nraw=@Rect(1 2)\nwide=\\x7f\\x1\\x39 \xE7\xBD\xAE\n");
        const QString read = m_dir.filePath(QStringLiteral("read.conf"));
        QVERIFY(TestSupport::writeFile(read, "\xEF\xBB\xBF" + TestSupport::readAll(byQt) + byHand));
        const QSettings qt(read, QSettings::NativeFormat);
        const QSettings codec(read, IniCodec::format());
        QCOMPARE(qt.allKeys().size(), values.size() + 8);
        QCOMPARE(codec.allKeys(), qt.allKeys());
        for (const QString &key : qt.allKeys())
            QCOMPARE(codec.value(key), qt.value(key));
    }

#ifdef Q_OS_LINUX
    // A text that could not be flushed is refused, so QSettings keeps the file it had.
    void refusesATextThatWasNotFlushed()
    {
        QFile full(QStringLiteral("/dev/full"));
        QVERIFY(full.open(QIODevice::WriteOnly));
        QVERIFY(!IniCodec::write(full, {{ QStringLiteral("a"), 1 }}));
    }
#endif

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(tst_IniCodec)

#include "tst_inicodec.moc"

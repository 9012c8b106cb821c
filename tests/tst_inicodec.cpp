#include "inicodec.h"
#include "testsupport.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The codec is driven through QSettings, as the store drives it: an operator's settings file
// written by it reads the same with Qt's own INI, and back.
class tst_IniCodec : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        const auto row = [](const char *tag, const char *key, const char *value) {
            QTest::newRow(tag) << QString::fromUtf8(key) << QString::fromUtf8(value);
        };
        row("Chinese", "显示/单位", "斤 置零 😀");
        row("special characters", "serial/portName",
            " lead;semi,comma=eq \"q\" \\ tab\t nl\r\n \x01\x7f trail ");
        row("semicolon alone", "k", "a;b");
        row("group with odd characters", "sp ace/k%ey=/deep", "3");
        row("no group", "top", "1");
        row("group named General", "General/x", "@at");
    }

    void roundTrip()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QString byQt = m_dir.filePath(QStringLiteral("qt%1.conf").arg(++m_files));
        const QString byCodec = m_dir.filePath(QStringLiteral("codec%1.conf").arg(m_files));
        QSettings(byQt, QSettings::NativeFormat).setValue(key, value);
        QSettings(byCodec, IniCodec::format()).setValue(key, value);
        QCOMPARE(TestSupport::readAll(byCodec), TestSupport::readAll(byQt));
        // Read from the file itself: a QSettings of this process would answer from its cache.
        QFile file(byQt);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QSettings::SettingsMap read;
        QVERIFY(IniCodec::read(file, read));
        QCOMPARE(read, (QSettings::SettingsMap{{key, value}}));
    }

private:
    QTemporaryDir m_dir;
    int m_files = 0;
};

QTEST_MAIN(tst_IniCodec)

#include "tst_inicodec.moc"

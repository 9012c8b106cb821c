// Finding the same adapter again, and telling which typed paths name a serial device.

#include "portcatalog.h"
#include "ptypair.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestPortCatalog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { PortCatalog::setSource({}); }

    void findByIdentity_data()
    {
        QTest::addColumn<QList<PortCatalog::Port>>("present");
        QTest::addColumn<QString>("identity");
        QTest::addColumn<QString>("found");
        const auto port = [](const QString &name, int vendor, int product, const QString &serial) {
            return PortCatalog::Port{name, QString(), QString(), serial, vendor, product};
        };
        const auto row = [](const char *name, const QList<PortCatalog::Port> &present,
                            const QString &identity, const QString &found) {
            QTest::newRow(name) << present << identity << found;
        };
        const auto a1 = port("ttyUSB3", 0x0403, 0x6001, "A1");
        const auto b2 = port("ttyUSB4", 0x0403, 0x6001, "B2");
        row("by serial among its kind", {b2, a1}, "usb:0403:6001:A1", "ttyUSB3");
        row("gone", {b2}, "usb:0403:6001:A1", "");
        row("no serial, alone", {port("COM4", 0x067b, 0x2303, "")}, "usb:067b:2303:", "COM4");
        row("no serial, two alike",
            {port("COM4", 0x067b, 0x2303, ""), port("COM5", 0x067b, 0x2303, "")},
            "usb:067b:2303:", "");
        row("half an identity, none remembered", {port("ttyS0", 0x0403, -1, "")}, "", "");
    }
    void findByIdentity()
    {
        QFETCH(QList<PortCatalog::Port>, present);
        QFETCH(QString, identity);
        QFETCH(QString, found);
        PortCatalog::setSource([present] { return present; });
        PortCatalog catalog;
        QCOMPARE(catalog.findByIdentity(identity), found);
        // What is found is what the list remembers for it.
        if (!found.isEmpty()) {
            QCOMPARE(catalog.identityOf(found), identity);
            QCOMPARE(catalog.identityOf("/dev/" + found), identity); // typed in full
        } else if (identity.isEmpty()) {
            QCOMPARE(catalog.identityOf(present.first().name), QString());
        }
    }

    void isSerialDevice()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        QTemporaryDir dir;
        const QString link = dir.filePath("ttyV0");
        QVERIFY(QFile::link(pty.slavePath(), link));
        QFile file(dir.filePath("file"));
        QVERIFY(file.open(QIODevice::WriteOnly));

        PortCatalog catalog;
        QVERIFY(catalog.isSerialDevice(pty.slavePath()));
        QVERIFY(catalog.isSerialDevice(" " + link + " "));
        QVERIFY(catalog.isSerialDevice(pty.slavePath().mid(5))); // "pts/N" opens /dev/pts/N
        const QString started = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        QVERIFY(catalog.isSerialDevice("./ttyV0")); // from where the tool was started
        QVERIFY(QDir::setCurrent(started));
        for (const QString &no : {QString(), QStringLiteral("   "), dir.path(), file.fileName(),
                                  dir.filePath("missing"), QStringLiteral("ttyNoSuchPort")})
            QVERIFY2(!catalog.isSerialDevice(no), qPrintable(no));
    }
};

QTEST_GUILESS_MAIN(TestPortCatalog)
#include "tst_portcatalog.moc"

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

    static PortCatalog::Port port(const QString &name, int vendor, int product,
                                  const QString &serial)
    {
        return {name, QString(), QString(), serial, vendor, product};
    }

private Q_SLOTS:
    void cleanup() { PortCatalog::setSource({}); }

    void findByIdentity_data()
    {
        QTest::addColumn<QList<PortCatalog::Port>>("present");
        QTest::addColumn<QString>("identity");
        QTest::addColumn<QString>("found");
        const auto a1 = port("ttyUSB3", 0x0403, 0x6001, "A1");
        const auto b2 = port("ttyUSB4", 0x0403, 0x6001, "B2");
        QTest::newRow("by serial among its kind") << QList{b2, a1} << "usb:0403:6001:A1"
                                                  << "ttyUSB3";
        QTest::newRow("gone") << QList{b2} << "usb:0403:6001:A1"
                              << "";
        QTest::newRow("other product")
                << QList{port("ttyUSB3", 0x0403, 0x6015, "A1")} << "usb:0403:6001:A1"
                << "";
        QTest::newRow("no serial, alone")
                << QList{port("COM4", 0x067b, 0x2303, "")} << "usb:067b:2303:"
                << "COM4";
        QTest::newRow("no serial, two alike")
                << QList{port("COM4", 0x067b, 0x2303, ""), port("COM5", 0x067b, 0x2303, "")}
                << "usb:067b:2303:"
                << "";
        QTest::newRow("half an identity, none remembered")
                << QList{port("ttyS0", 0x0403, -1, "")} << ""
                << "";
        QTest::newRow("not a usb identity") << QList{a1} << "0403:6001:A1"
                                            << "";
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
        QVERIFY(QFile::link(dir.filePath("missing"), dir.filePath("dangling")));
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
        for (const QString &no :
             {QString(), QStringLiteral("   "), dir.path(), file.fileName(),
              dir.filePath("dangling"), dir.filePath("missing"), QStringLiteral("ttyNoSuchPort")})
            QVERIFY2(!catalog.isSerialDevice(no), qPrintable(no));
    }
};

QTEST_GUILESS_MAIN(TestPortCatalog)
#include "tst_portcatalog.moc"

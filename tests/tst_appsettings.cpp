#include "appsettings.h"
#include "settingsstore.h"
#include "startup.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QPointer>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTest>

void qml_register_types_Pelora(); // the module's generated type registration

class tst_AppSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        Pelora::setIdentity(*QCoreApplication::instance(), QStringLiteral("PeloraAppSettingsTest"));
    }

    void init() { SettingsStore(nullptr).clear(); }

    // A stored value as each property reads it. Numbers are read as the pages' scripts read
    // them, parseInt(String(value)); the baud rate takes any int, so its rows show that rule.
    void readingRules_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("read");
        const auto row = [](const char *key, const QVariant &stored, const char *property,
                            const QVariant &read) {
            QTest::addRow("%s=%s", key, qPrintable(stored.toString()))
                    << QString::fromLatin1(key) << stored << QByteArray(property) << read;
        };
        row("serial/portName", QVariant(), "portName", "");
        row("serial/portName", 5, "portName", "5");
        row("serial/baudRate", QVariant(), "baudRate", 115200); // and for "no number"
        row("serial/baudRate", " 19200 bd", "baudRate", 19200);
        row("serial/baudRate", -5, "baudRate", -5);
        row("serial/baudRate", 2.9, "baudRate", 2);
        row("serial/baudRate", " -0X1f", "baudRate", -31);
        row("serial/baudRate", "0x", "baudRate", 115200);
        row("serial/baudRate", "- 3", "baudRate", 115200);
        row("serial/baudRate", "1e5", "baudRate", 1);
        row("serial/baudRate", "abc", "baudRate", 115200);
        row("serial/baudRate", "2147483648", "baudRate", 115200);
        row("scale/outputFormatIndex", QVariant(), "outputFormat", 1);
        row("scale/outputFormatIndex", "0x3", "outputFormat", 3);
        row("scale/outputFormatIndex", "7", "outputFormat", 1);
        row("scale/outputFormatIndex", 0, "outputFormat", 1);
        row("weight/unit", QVariant(), "weightUnit", 1);
        row("weight/unit", " 0 jin", "weightUnit", 0);
        row("display/bigDigits", QVariant(), "bigDigits", false);
        row("display/bigDigits", true, "bigDigits", true);
        row("display/bigDigits", "true", "bigDigits", true);
        row("display/bigDigits", "True", "bigDigits", false);
    }

    void readingRules()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, read);
        SettingsStore store(nullptr);
        if (stored.isValid())
            store.setValue(key, stored);
        const AppSettings settings(&store);
        QCOMPARE(settings.property(property.constData()), read);
    }

    // Each property announces itself when its value changes, whoever stores it, and only then;
    // a setter stores its typed value through the store.
    void announcesRealChangesAndStoresThroughTheStore()
    {
        SettingsStore store(nullptr);
        AppSettings settings(&store);
        QSignalSpy format(&settings, &AppSettings::outputFormatChanged);
        QSignalSpy port(&settings, &AppSettings::portNameChanged);

        settings.setOutputFormat(2);
        settings.setOutputFormat(2); // stored again, the same value
        QCOMPARE(format.count(), 1);
        store.setValue(QStringLiteral("scale/outputFormatIndex"), QStringLiteral("2 again"));
        store.setValue(QStringLiteral("scale/outputFormatIndex"), 9); // reads as 1
        QCOMPARE(format.count(), 2);

        settings.setPortName(QStringLiteral("/dev/ttyUSB0"));
        settings.setBaudRate(9600);
        settings.setBigDigits(true);
        QCOMPARE(port.count(), 1);
        QCOMPARE(store.value(QStringLiteral("serial/portName")), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(store.value(QStringLiteral("serial/baudRate")), 9600);
        QCOMPARE(store.value(QStringLiteral("display/bigDigits")), true);

        store.remove(QStringLiteral("serial")); // a whole group
        QCOMPARE(port.count(), 2);
        QCOMPARE(settings.baudRate(), 115200);
        store.clear(); // the output format reads as 1 already
        QCOMPARE(format.count(), 2);
    }

    // Documents and native code share one object over the shared store; an engine deletes the
    // singletons it owns, and whatever comes after still reads, stores and hears changes.
    void oneObjectForTheProcess()
    {
        qml_register_types_Pelora();
        const int settingsType = qmlTypeId("Pelora", 254, 0, "AppSettings");
        const int storeType = qmlTypeId("Pelora", 254, 0, "SettingsStore");
        QPointer<AppSettings> first;
        {
            QQmlEngine engine;
            first = engine.singletonInstance<AppSettings *>(settingsType);
            QCOMPARE(first.data(), AppSettings::instance());
            QCOMPARE(engine.singletonInstance<SettingsStore *>(storeType),
                     SettingsStore::create(nullptr, nullptr));
            SettingsStore::create(nullptr, nullptr)
                    ->setValue(QStringLiteral("scale/outputFormatIndex"), 3);
            QCOMPARE(first->outputFormat(), 3);
        }
        QVERIFY(first.isNull());

        AppSettings *second = AppSettings::instance();
        QCOMPARE(second->outputFormat(), 3);
        {
            // An engine that owns the shared store but not this object deletes the store only.
            QQmlEngine engine;
            QVERIFY(engine.singletonInstance<SettingsStore *>(storeType));
        }
        QSignalSpy format(second, &AppSettings::outputFormatChanged);
        SettingsStore::create(nullptr, nullptr)
                ->setValue(QStringLiteral("scale/outputFormatIndex"), 2);
        QCOMPARE(second->outputFormat(), 2);
        QTRY_COMPARE(format.count(), 1); // heard once it follows the new store
        second->setOutputFormat(1);
        QCOMPARE(SettingsStore::create(nullptr, nullptr)
                         ->value(QStringLiteral("scale/outputFormatIndex")),
                 1);
        QCOMPARE(format.count(), 2);
        delete second;
    }

private:
    TestSupport::ScratchSettings m_scratch; // before any QSettings is made
};

QTEST_MAIN(tst_AppSettings)

#include "tst_appsettings.moc"

#include "appsettings.h"
#include "settingsstore.h"
#include "startup.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QPointer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTest>

#include <limits>
#include <memory>

Q_DECLARE_METATYPE(std::optional<int>)

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

    void readInteger_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<std::optional<int>>("read");
        const std::optional<int> none;
        const auto row = [](const char *tag, const QVariant &stored, std::optional<int> read) {
            QTest::newRow(tag) << stored << read;
        };
        row("number", 2, 2);
        row("fraction", "2.9", 2);
        row("fraction as number", 2.9, 2);
        row("hexadecimal", "0x3", 3);
        row("hexadecimal capital", " -0X1f", -31);
        row("bare hexadecimal prefix", "0x", none);
        row("word after spaces", " 0 jin", 0);
        row("unicode spaces", QStringLiteral("\u00a0\ufeff\u2028+12"), 12);
        row("sign apart", "- 3", none);
        row("exponent", "1e5", 1);
        row("word", "kg", none);
        row("empty", "", none);
        row("absent", QVariant(), none);
        row("bool", true, none);
        row("list", QStringList{"3", "4"}, 3);
        row("smallest int", "-2147483648", std::numeric_limits<int>::min());
        row("past int", "2147483648", none);
    }

    // As the pages' scripts read them: parseInt(String(value)).
    void readInteger()
    {
        QFETCH(QVariant, stored);
        QFETCH(std::optional<int>, read);
        QCOMPARE(AppSettings::readInteger(stored), read);
    }

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
        row("serial/portName", QVariant::fromValue(nullptr), "portName", "");
        row("serial/portName", 5, "portName", "5");
        row("serial/portIdentity", "usb:1a86:7523", "portIdentity", "usb:1a86:7523");
        row("serial/baudRate", QVariant(), "baudRate", 115200);
        row("serial/baudRate", " 19200 bd", "baudRate", 19200);
        row("serial/baudRate", -5, "baudRate", -5);
        row("serial/baudRate", "abc", "baudRate", 115200);
        row("scale/outputFormatIndex", QVariant(), "outputFormat", 1);
        row("scale/outputFormatIndex", "2.9", "outputFormat", 2);
        row("scale/outputFormatIndex", "0x3", "outputFormat", 3);
        row("scale/outputFormatIndex", "7", "outputFormat", 1);
        row("scale/outputFormatIndex", 0, "outputFormat", 1);
        row("weight/unit", QVariant(), "weightUnit", 1);
        row("weight/unit", " 0 jin", "weightUnit", 0);
        row("weight/unit", "kg", "weightUnit", 1);
        row("weight/unit", 2, "weightUnit", 1);
        row("display/bigDigits", QVariant(), "bigDigits", false);
        row("display/bigDigits", true, "bigDigits", true);
        row("display/bigDigits", "true", "bigDigits", true);
        row("display/bigDigits", "True", "bigDigits", false);
        row("display/bigDigits", 1, "bigDigits", false);
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
    // a setter stores its typed value through the store, which keeps it in its file.
    void announcesRealChangesAndStoresThroughTheStore()
    {
        SettingsStore store(nullptr);
        AppSettings settings(&store);
        QSignalSpy format(&settings, &AppSettings::outputFormatChanged);
        QSignalSpy port(&settings, &AppSettings::portNameChanged);
        QSignalSpy digits(&settings, &AppSettings::bigDigitsChanged);
        QSignalSpy stored(&store, &SettingsStore::valueChanged);

        settings.setOutputFormat(2);
        settings.setOutputFormat(2); // stored again, the same value
        QCOMPARE(stored.count(), 2);
        QCOMPARE(format.count(), 1);
        store.setValue(QStringLiteral("scale/outputFormatIndex"), QStringLiteral("2 again"));
        store.setValue(QStringLiteral("scale/outputFormatIndex"), 9); // reads as 1
        QCOMPARE(format.count(), 2);
        settings.setOutputFormat(1); // 1 already
        QCOMPARE(format.count(), 2);
        QCOMPARE(settings.outputFormat(), 1);

        settings.setPortName(QStringLiteral("/dev/ttyUSB0"));
        settings.setBaudRate(9600);
        settings.setWeightUnit(0);
        settings.setPortIdentity(QStringLiteral("id"));
        settings.setBigDigits(true);
        QCOMPARE(port.count(), 1);
        QCOMPARE(digits.count(), 1);
        QCOMPARE(format.count(), 2);
        const SettingsStore reopened(nullptr); // reads the file afresh
        QCOMPARE(reopened.value(QStringLiteral("serial/portName")), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(reopened.value(QStringLiteral("serial/baudRate")), QStringLiteral("9600"));
        QCOMPARE(reopened.value(QStringLiteral("weight/unit")), QStringLiteral("0"));
        QCOMPARE(reopened.value(QStringLiteral("display/bigDigits")), QStringLiteral("true"));
        QCOMPARE(store.value(QStringLiteral("serial/baudRate")).metaType(),
                 QMetaType::fromType<int>());
        QCOMPARE(store.value(QStringLiteral("display/bigDigits")).metaType(),
                 QMetaType::fromType<bool>());

        store.remove(QStringLiteral("serial")); // a whole group
        QCOMPARE(port.count(), 2);
        QCOMPARE(settings.baudRate(), 115200);
        store.clear();
        QCOMPARE(digits.count(), 2);
        QCOMPARE(port.count(), 2);
        QCOMPARE(format.count(), 2);
    }

    // Documents and native code share one object over the shared store; an engine deletes the
    // singletons it owns, and whatever comes after still reads, stores and hears changes.
    void oneObjectForTheProcess()
    {
        qml_register_types_Pelora();
        QPointer<AppSettings> first;
        {
            QQmlEngine engine;
            engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
            QQmlComponent component(&engine);
            component.setData("import QtQml\nimport Pelora\n"
                              "QtObject { property int format: AppSettings.outputFormat }",
                              QUrl());
            const std::unique_ptr<QObject> object(component.create());
            QVERIFY2(object, qPrintable(component.errorString()));
            first = AppSettings::instance();
            QCOMPARE(first.data(),
                     engine.singletonInstance<AppSettings *>(
                             qmlTypeId("Pelora", 254, 0, "AppSettings")));
            SettingsStore::create(nullptr, nullptr)
                    ->setValue(QStringLiteral("scale/outputFormatIndex"), 3);
            QCOMPARE(object->property("format"), 3);
            engine.singletonInstance<SettingsStore *>(qmlTypeId("Pelora", 254, 0, "SettingsStore"));
        }
        QVERIFY(first.isNull());

        AppSettings *second = AppSettings::instance();
        QVERIFY(second);
        QCOMPARE(second->outputFormat(), 3);
        {
            // An engine that owns the shared store but not this object deletes the store only.
            QQmlEngine engine;
            QVERIFY(engine.singletonInstance<SettingsStore *>(
                    qmlTypeId("Pelora", 254, 0, "SettingsStore")));
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

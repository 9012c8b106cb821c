// Renders what an operator sees into PNG files: the home page not connected, connected
// with a stable reading, overloaded, the open settings dialog, the sensor page and the
// traffic console. The window runs
// offscreen against a simulated sensor, with settings kept in a throwaway folder.
//
//   QT_QPA_PLATFORM=offscreen pelora-screenshots docs

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"

#include <QDir>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

namespace {

bool waitFor(const std::function<bool()> &condition)
{
    return QTest::qWaitFor(condition, 10000);
}

QString text(QQuickWindow *window, const char *name)
{
    auto *item = window->findChild<QQuickItem *>(QLatin1String(name));
    return item ? item->property("text").toString() : QString();
}

bool shoot(QQuickWindow *window, const QDir &out, const QString &name)
{
    QTest::qWait(400); // let transitions and the last frame settle; only for the picture
    const bool saved = window->grabWindow().save(out.filePath(name));
    QTextStream(stdout) << (saved ? "wrote " : "FAILED ") << out.filePath(name) << Qt::endl;
    return saved;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    Pelora::setIdentity(app, QStringLiteral("PeloraScreenshots"));
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    QDir().mkpath(out.path());

    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());

    SensorSimulator sensor;
    if (!sensor.start())
        return 1;
    sensor.setNoiseEnabled(false);
    sensor.setResponseTime(0); // a still picture wants a settled reading
    bool listed = false;
    SerialPortManager::setDefaultPortEnumerator(
            [&] { return listed ? QStringList{sensor.portName()} : QStringList(); });
    QSettings().setValue(QStringLiteral("serial/portName"), sensor.portName());

    QQmlApplicationEngine engine;
    Pelora::loadRoot(engine, app);
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    auto *manager = window->findChild<SerialPortManager *>();
    if (!QTest::qWaitForWindowExposed(window) || !manager)
        return 1;

    bool ok = shoot(window, out, QStringLiteral("home-not-connected.png"));

    sensor.setLoad(12.34);
    listed = true;
    ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("稳定"); });
    ok &= shoot(window, out, QStringLiteral("home-stable.png"));

    sensor.setLoad(250);
    ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("超载"); });
    ok &= shoot(window, out, QStringLiteral("home-overload.png"));

    sensor.setLoad(12.34);
    ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("稳定"); });
    QObject *dialog = window->findChild<QObject *>(QStringLiteral("settingsDialog"));
    ok &= dialog && QMetaObject::invokeMethod(dialog, "open");
    ok &= waitFor([&] { return dialog->property("opened").toBool(); });
    ok &= shoot(window, out, QStringLiteral("settings-dialog.png"));
    QMetaObject::invokeMethod(dialog, "close");

    // The sensor page after "read all", and the console after two commands.
    const auto page = [&](const char *button, const char *name) -> QObject * {
        QObject *b = window->findChild<QObject *>(QLatin1String(button));
        if (!b || !QMetaObject::invokeMethod(b, "clicked"))
            return nullptr;
        QObject *p = nullptr;
        waitFor([&] { return (p = window->findChild<QObject *>(QLatin1String(name))) != nullptr; });
        return p;
    };
    QObject *sensorPage = page("sensorButton", "sensorPage");
    ok &= sensorPage && QMetaObject::invokeMethod(sensorPage, "readAll");
    ok &= waitFor([&] {
        const QVariantList rows = sensorPage->property("rowStates").toList();
        return !rows.isEmpty() && rows.last().toMap().value(QStringLiteral("phase")) == QStringLiteral("value");
    });
    ok &= shoot(window, out, QStringLiteral("sensor-page.png"));

    QObject *consolePage = page("consoleButton", "consolePage");
    ok &= consolePage
            && QMetaObject::invokeMethod(consolePage, "send", Q_ARG(QVariant, QStringLiteral("AT+VERSION?")),
                                         Q_ARG(QVariant, 0));
    ok &= waitFor([&] { return consolePage->property("replyText").toString().contains(QStringLiteral("V1.0.1")); });
    ok &= QMetaObject::invokeMethod(consolePage, "send", Q_ARG(QVariant, QStringLiteral("41 54 2B 53 4E 0D")),
                                    Q_ARG(QVariant, 3));
    ok &= waitFor([&] { return consolePage->property("replyText").toString().contains(QStringLiteral("SN")); });
    ok &= shoot(window, out, QStringLiteral("console-page.png"));
    return ok ? 0 : 1;
}

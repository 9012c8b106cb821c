// Renders what an operator sees into PNG files: the home page not connected, connected
// with a stable reading, overloaded, gone silent, the open settings dialog, the sensor page and the
// traffic console. The window runs offscreen against a simulated sensor, with settings
// kept in a throwaway folder. The pictures come out the same on every run: the sensor sits
// at a fixed path, its readings have no noise, and each picture is taken once nothing
// moves any more.
//
//   QT_QPA_PLATFORM=offscreen pelora-screenshots docs

#include "portcatalog.h"
#include "sensorsession.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "trafficlog.h"

#include <QDir>
#include <QGuiApplication>
#include <QLockFile>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

namespace {

// The port the dialog shows; a path of its own so that the picture does not change.
const QString LinkFolder = QStringLiteral("/tmp/pelora-docs");
const QString LinkPath = LinkFolder + QStringLiteral("/ttyS0");

bool waitFor(const std::function<bool()> &condition)
{
    return QTest::qWaitFor(condition, 10000);
}

QString text(QQuickWindow *window, const char *name)
{
    auto *item = window->findChild<QQuickItem *>(QLatin1String(name));
    return item ? item->property("text").toString() : QString();
}

// What the popups put over the page: each open popup and the dimmed backdrop behind it.
QList<QQuickItem *> overlayLayers(QQuickWindow *window)
{
    QList<QQuickItem *> layers;
    const auto items = window->contentItem()->findChildren<QQuickItem *>();
    for (const QQuickItem *item : items) {
        if (!item->inherits("QQuickOverlay"))
            continue;
        const auto children = item->childItems();
        for (QQuickItem *child : children) {
            if (child->isVisible())
                layers.append(child);
        }
    }
    return layers;
}

// Nothing moves: the page stack has finished its transition, an open dialog has come in
// whole (its enter transition over), and the overlay's layers are fully shown.
bool settled(QQuickWindow *window)
{
    const auto items = window->contentItem()->findChildren<QQuickItem *>();
    for (const QQuickItem *item : items) {
        if (item->inherits("QQuickStackView") && item->property("busy").toBool())
            return false;
    }
    const auto layers = overlayLayers(window);
    for (const QQuickItem *layer : layers) {
        if (layer->opacity() < 1.0)
            return false;
    }
    const auto *dialog = window->findChild<QObject *>(QStringLiteral("settingsDialog"));
    if (dialog && dialog->property("visible").toBool()) {
        const auto *enter = dialog->property("enter").value<QObject *>();
        if (!dialog->property("opened").toBool() || (enter && enter->property("running").toBool()))
            return false;
    }
    return true;
}

bool nextFrame(QQuickWindow *window)
{
    QSignalSpy swapped(window, &QQuickWindow::frameSwapped);
    window->update();
    return swapped.wait(10000);
}

bool shoot(QQuickWindow *window, const QDir &out, const QString &name)
{
    bool ok = waitFor([window] { return settled(window); });
    // After a fade, Qt 6.4's software renderer now and then goes on drawing a layer at the
    // opacity of a frame before the last (the page shows faintly through the dialog). One
    // more change of each layer's opacity, while nothing else moves, puts the final one through.
    const auto layers = overlayLayers(window);
    for (QQuickItem *layer : layers) {
        layer->setOpacity(0.5);
        ok = ok && nextFrame(window);
        layer->setOpacity(1.0);
        ok = ok && nextFrame(window);
    }
    ok = ok && nextFrame(window);
    ok = ok && window->grabWindow().save(out.filePath(name));
    QTextStream(stdout) << (ok ? "wrote " : "FAILED ") << out.filePath(name) << Qt::endl;
    return ok;
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

    // One run at a time owns the fixed path.
    QLockFile lock(LinkFolder + QStringLiteral(".lock"));
    if (!QDir().mkpath(LinkFolder) || !lock.lock())
        return 1;
    SensorSimulator sensor;
    if (!sensor.start(LinkPath))
        return 1;
    sensor.setNoiseEnabled(false);
    sensor.setResponseTime(0); // a still picture wants a settled reading
    bool listed = false;
    SerialPortManager::setDefaultPortEnumerator(
            [&] { return listed ? QStringList{sensor.portName()} : QStringList(); });
    QSettings().setValue(QStringLiteral("serial/portName"), sensor.portName());
    PortCatalog::setSource([&] {
        return QList<PortCatalog::Port>{{sensor.portName(),
                                         QStringLiteral("Pelora simulated sensor"),
                                         QStringLiteral("pelora-sensor-sim"), QString(), -1, -1}};
    });

    // Unplugged at first: the remembered path that exists would be connected at once.
    sensor.unplug();
    bool ok = false;
    {
        QQmlApplicationEngine engine;
        Pelora::loadRoot(engine, app);
        if (engine.rootObjects().isEmpty())
            return 1;
        auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
        if (!QTest::qWaitForWindowExposed(window) || !window->findChild<SerialPortManager *>())
            return 1;

        ok = shoot(window, out, QStringLiteral("home-not-connected.png"));

        sensor.setLoad(12.34);
        ok &= sensor.plug();
        listed = true;
        ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("稳定"); });
        ok &= shoot(window, out, QStringLiteral("home-stable.png"));

        sensor.setLoad(250);
        ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("超载"); });
        ok &= shoot(window, out, QStringLiteral("home-overload.png"));

        // The sensor falls silent: the last reading greys out.
        sensor.setLoad(12.34);
        ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("稳定"); });
        sensor.setAutoReport(false);
        ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("等待数据"); });
        ok &= shoot(window, out, QStringLiteral("home-stale.png"));
        sensor.setAutoReport(true);

        ok &= waitFor([&] { return text(window, "badgeText") == QStringLiteral("稳定"); });
        QObject *dialog = window->findChild<QObject *>(QStringLiteral("settingsDialog"));
        ok &= dialog && QMetaObject::invokeMethod(dialog, "open");
        ok &= shoot(window, out, QStringLiteral("settings-dialog.png"));
        // The port list open, with what the catalogue tells about the port.
        QObject *combo = window->findChild<QObject *>(QStringLiteral("portCombo"));
        QObject *popup = combo ? combo->property("popup").value<QObject *>() : nullptr;
        ok &= popup && QMetaObject::invokeMethod(popup, "open");
        ok &= popup && waitFor([&] { return popup->property("opened").toBool(); });
        ok &= shoot(window, out, QStringLiteral("settings-ports.png"));
        if (popup)
            QMetaObject::invokeMethod(popup, "close");
        ok &= popup && waitFor([&] { return !popup->property("visible").toBool(); });
        QMetaObject::invokeMethod(dialog, "close");

        // The sensor page after "read all", and the console after two commands.
        const auto page = [&](const char *button, const char *name) -> QObject * {
            QObject *b = window->findChild<QObject *>(QLatin1String(button));
            if (!b || !QMetaObject::invokeMethod(b, "clicked"))
                return nullptr;
            // The page is made before the stack pushes it: wait for the push to begin and
            // then to end.
            QObject *p = nullptr;
            QQuickItem *stack = nullptr;
            const auto items = window->contentItem()->findChildren<QQuickItem *>();
            for (QQuickItem *item : items) {
                if (item->inherits("QQuickStackView"))
                    stack = item;
            }
            const auto busy = [stack] { return stack && stack->property("busy").toBool(); };
            (void)QTest::qWaitFor(busy, 2000); // a page without a transition never is busy
            const bool shown = waitFor([&] {
                p = window->findChild<QObject *>(QLatin1String(name));
                return p && !busy();
            });
            return shown ? p : nullptr;
        };
        QObject *sensorPage = page("sensorButton", "sensorPage");
        if (!sensorPage)
            return 1;
        const auto phase = [&](const char *key) {
            return sensorPage->property("rows")
                    .toMap()
                    .value(QLatin1String(key))
                    .toMap()
                    .value(QStringLiteral("phase"))
                    .toString();
        };
        ok &= QMetaObject::invokeMethod(sensorPage, "readAll");
        ok &= waitFor([&] { return phase("QTAR") == QStringLiteral("value"); });
        ok &= shoot(window, out, QStringLiteral("sensor-page.png"));
        // A capacity the sensor refuses: the row keeps the value it holds, the refusal beside it.
        ok &= QMetaObject::invokeMethod(sensorPage, "setRow", Q_ARG(QVariant, 3),
                                        Q_ARG(QVariant, QStringLiteral("0")));
        ok &= waitFor([&] { return phase("CAPA") == QStringLiteral("refused"); });
        ok &= shoot(window, out, QStringLiteral("sensor-refused.png"));
        // Firmware that takes up to 0.9 s an answer and one command at a time: read all
        // goes through the rows one by one.
        sensor.setReplyLatency(200, 900);
        sensor.setOneCommandAtATime(true);
        ok &= QMetaObject::invokeMethod(sensorPage, "readAll");
        ok &= waitFor([&] { return phase("ZTRACK") == QStringLiteral("value"); });
        ok &= shoot(window, out, QStringLiteral("sensor-slow.png"));
        ok &= waitFor([&] { return phase("QTAR") == QStringLiteral("value"); });
        sensor.setReplyLatency(0, 0);
        sensor.setOneCommandAtATime(false);

        QObject *consolePage = page("consoleButton", "consolePage");
        ok &= consolePage
                && QMetaObject::invokeMethod(consolePage, "send",
                                             Q_ARG(QVariant, QStringLiteral("AT+VERSION?")),
                                             Q_ARG(QVariant, 0));
        ok &= waitFor([&] {
            return consolePage->property("replyText").toString().contains(QStringLiteral("V1.0.1"));
        });
        ok &= QMetaObject::invokeMethod(consolePage, "send",
                                        Q_ARG(QVariant, QStringLiteral("41 54 2B 53 4E 0D")),
                                        Q_ARG(QVariant, 3));
        ok &= waitFor([&] {
            return consolePage->property("replyText").toString().contains(QStringLiteral("SN"));
        });
        // The listing takes its lines in batches: one more batch holds the reply.
        auto *manager = window->findChild<SerialPortManager *>();
        QObject *log = manager->session()->log();
        const int listed = log ? log->property("count").toInt() : 0;
        ok &= log && waitFor([&] { return log->property("count").toInt() > listed; });
        ok &= shoot(window, out, QStringLiteral("console-page.png"));
        // A sensor that ends its lines with CR alone: each reply on a row of its own, with the
        // weight lines hidden so that the commands and their answers stay in sight.
        sensor.setLineEnding("\r");
        log->setProperty("hideWeights", true);
        ok &= QMetaObject::invokeMethod(consolePage, "send",
                                        Q_ARG(QVariant, QStringLiteral("AT+DIV?")),
                                        Q_ARG(QVariant, 0));
        ok &= waitFor([&] {
            return consolePage->property("replyText").toString().contains(QStringLiteral("DIV"));
        });
        const int rows = log->property("count").toInt();
        ok &= waitFor([&] { return log->property("count").toInt() > rows; });
        ok &= shoot(window, out, QStringLiteral("console-cr-only.png"));
    }
    sensor.unplug(); // the link goes; its folder after it
    QDir().rmdir(LinkFolder);
    return ok ? 0 : 1;
}

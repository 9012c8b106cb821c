#include "testsupport.h"

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

namespace TestSupport {

ScratchSettings::ScratchSettings()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    // The weighing records go to the application-data folder: keep them here too.
    qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("APPDATA", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
}

void prepareEngine(QQmlEngine &engine)
{
    Pelora::prepareEngine(engine);
}

Rig::Rig() = default;

Rig::~Rig()
{
    closeWindow();
    sensor.reset();
    SerialPortManager::setDefaultPortEnumerator({});
}

bool Rig::startSensor()
{
    sensor = std::make_unique<SensorSimulator>();
    sensor->setNoiseEnabled(false);
    sensor->setResponseTime(0);
    sensor->setStableTime(0);
    SerialPortManager::setDefaultPortEnumerator([this] {
        return listed && sensor->isPlugged() ? QStringList{sensor->portName()} : QStringList();
    });
    return sensor->start();
}

bool Rig::load(const std::function<void(QObject *)> &created)
{
    engine = std::make_unique<QQmlApplicationEngine>();
    if (created)
        QObject::connect(engine.get(), &QQmlApplicationEngine::objectCreated, engine.get(),
                         [created](QObject *root) { if (root) created(root); });
    Pelora::loadRoot(*engine, *qApp);
    if (engine->rootObjects().size() != 1)
        return false;
    window = qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
    manager = window ? window->findChild<SerialPortManager *>() : nullptr;
    return manager && QTest::qWaitForWindowExposed(window);
}

void Rig::closeWindow()
{
    engine.reset();
    window = nullptr;
    manager = nullptr;
}

void Rig::remember(const QVariant &port, const QVariant &baud)
{
    QSettings settings;
    settings.setValue(QStringLiteral("serial/portName"), port);
    if (baud.isValid())
        settings.setValue(QStringLiteral("serial/baudRate"), baud);
}

static QQuickItem *findItem(QQuickItem *in, const QString &name)
{
    const QList<QQuickItem *> children = in->childItems();
    for (QQuickItem *child : children) {
        if (child->objectName() == name)
            return child;
    }
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

QObject *Rig::object(const QString &name, QObject *in) const
{
    if (QObject *found = (in ? in : window)->findChild<QObject *>(name))
        return found;
    auto *item = qobject_cast<QQuickItem *>(in);
    return findItem(item ? item : window->contentItem(), name);
}

QQuickItem *Rig::item(const QString &name, QObject *in) const
{
    return qobject_cast<QQuickItem *>(object(name, in));
}

QString Rig::text(const QString &name, QObject *in) const
{
    QObject *o = object(name, in);
    return o ? o->property("text").toString() : QStringLiteral("<no %1>").arg(name);
}

void Rig::click(QQuickItem *item)
{
    QVERIFY(item);
    QTRY_VERIFY(item->isVisible() && item->isEnabled());
    // Layouts place a control that just appeared at the next frame.
    QSignalSpy swapped(window, &QQuickWindow::frameSwapped);
    window->update();
    QVERIFY(swapped.wait());
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
}

} // namespace TestSupport

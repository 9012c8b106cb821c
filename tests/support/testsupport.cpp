#include "testsupport.h"

#include "recordstore.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif

namespace TestSupport {

ScratchSettings::ScratchSettings()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    // The weighing records go to the application-data folder: keep them here too.
    qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("APPDATA", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
}

#ifdef Q_OS_LINUX
SmallDisk::SmallDisk(const QString &path) : m_path(path)
{
    m_mounted = QDir().mkpath(path)
            && mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, "size=64k") == 0;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
}

bool SmallDisk::fill(qint64 left)
{
    QFile filler(m_path + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray page(4096, 'f');
    while (filler.write(page) == page.size()) { }
    return filler.resize(filler.size() - left);
}

void SmallDisk::empty()
{
    QFile::remove(m_path + QStringLiteral("/filler"));
}

bool SmallDisk::remountReadOnly()
{
    return mount("tmpfs", QFile::encodeName(m_path).constData(), "tmpfs", MS_REMOUNT | MS_RDONLY,
                 "size=64k")
            == 0;
}
#endif

QVariantList storedRecords(const QString &path)
{
    QVariantList out;
    const QString name = QStringLiteral("test-peek");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(db);
        if (db.open()
            && query.exec(QStringLiteral("SELECT id, time_ms, weight_kg, unit, mode, port, manual"
                                         " FROM records ORDER BY time_ms, id"))) {
            while (query.next()) {
                out.append(QVariantMap{{QStringLiteral("id"), query.value(0)},
                                       {QStringLiteral("timeMs"), query.value(1)},
                                       {QStringLiteral("weightKg"), query.value(2)},
                                       {QStringLiteral("unit"), query.value(3)},
                                       {QStringLiteral("mode"), query.value(4)},
                                       {QStringLiteral("port"), query.value(5)},
                                       {QStringLiteral("manual"), query.value(6).toBool()}});
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

bool drain(RecordStore *store, int timeoutMs)
{
    QSignalSpy answers(store, &RecordStore::recordsFetched);
    const int request = store->requestRecords(0, 0);
    return QTest::qWaitFor(
            [&] {
                for (const auto &answer : answers) {
                    if (answer.at(0).toInt() == request)
                        return true;
                }
                return false;
            },
            timeoutMs);
}

bool makeRecords(const QString &path, int count, qint64 firstMs, qint64 stepMs)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.start(QStringLiteral("bash"),
                 {QStringLiteral(PELORA_SOURCE_DIR "/scripts/make-records.sh"), path,
                  QString::number(count), QString::number(firstMs), QString::number(stepMs)});
    return script.waitForFinished(120000) && script.exitStatus() == QProcess::NormalExit
            && script.exitCode() == 0;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
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
                         [created](QObject *root) {
                             if (root)
                                 created(root);
                         });
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

void Rig::readSensorPage()
{
    QObject *page = object(QStringLiteral("sensorPage"));
    QVERIFY(page);
    QMetaObject::invokeMethod(page, "readAll");
    const auto lastPhase = [page] {
        return page->property("rows")
                .toMap()
                .value(QStringLiteral("QTAR"))
                .toMap()
                .value(QStringLiteral("phase"))
                .toString();
    };
    QTRY_COMPARE(lastPhase(), QStringLiteral("value"));
}

QVariant Rig::js(const QString &code) const
{
    QQmlExpression expression(qmlContext(window), window, code);
    const QVariant result = expression.evaluate();
    if (expression.hasError())
        QTest::qFail(qPrintable(expression.error().toString()), __FILE__, __LINE__);
    return result;
}

} // namespace TestSupport

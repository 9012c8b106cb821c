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
#include <QSqlRecord>
#include <QTest>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif

using namespace Qt::StringLiterals;

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
            && mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, "size=128k") == 0;
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
                 "size=128k")
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
        const QString select = u"SELECT id, time_ms AS timeMs, weight_kg AS weightKg, unit, mode,"
                               " port, manual%1 FROM records %2 ORDER BY time_ms, id"_s;
        // Void records stay in the file; a file from before the chain has neither voids nor
        // tares.
        if (db.open()
            && (query.exec(select.arg(u", tare_kg AS tareKg"_s, u"WHERE voided_seq IS NULL"_s))
                || query.exec(select.arg(QString(), QString())))) {
            while (query.next()) {
                QVariantMap record;
                for (int i = 0; i < query.record().count(); ++i)
                    record.insert(query.record().fieldName(i), query.value(i));
                out.append(record);
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

QStringList chainEvents(const QString &path)
{
    QStringList out;
    const QString name = QStringLiteral("test-events");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(db);
        if (db.open()
            && query.exec(u"SELECT body FROM entries WHERE kind = 'event' ORDER BY seq"_s)) {
            while (query.next())
                out << query.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

bool drain(RecordStore *store, int timeoutMs)
{
    QSignalSpy answers(store, &RecordStore::recordsFetched);
    const QVariant request = store->requestRecords(0, 0);
    const auto ours = [&](const QVariantList &answer) { return answer.at(0) == request; };
    return QTest::qWaitFor([&] { return std::any_of(answers.cbegin(), answers.cend(), ours); },
                           timeoutMs);
}

bool makeRecords(const QString &path, int count, qint64 firstMs, qint64 stepMs)
{
    const QString script = QStringLiteral(PELORA_SOURCE_DIR "/scripts/make-records.sh");
    const QStringList arguments{script, path, QString::number(count), QString::number(firstMs),
                                QString::number(stepMs)};
    return QProcess::execute(u"bash"_s, arguments) == 0; // its output goes to the test's own
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
    QObject::connect(engine.get(), &QQmlApplicationEngine::objectCreated, engine.get(),
                     [created](QObject *root) {
                         if (root && created)
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
    QQuickItem *found = nullptr;
    for (qsizetype i = 0; !found && i < children.size(); ++i)
        found = findItem(children[i], name);
    return found;
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
    QTRY_COMPARE(page->property("rows").toMap()[u"QTAR"_s].toMap()[u"phase"_s].toString(),
                 u"value"_s);
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

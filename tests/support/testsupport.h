#pragma once

#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <functional>
#include <memory>

class QObject;
class QQmlApplicationEngine;
class QQuickItem;
class QQuickWindow;
class RecordStore;
class SensorSimulator;
class SerialPortManager;

namespace TestSupport {

// Points every QSettings of the process at a fresh scratch folder, so that no test ever
// reads or writes the user's own settings. Call before anything creates a QSettings.
class ScratchSettings
{
public:
    ScratchSettings();
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

#ifdef Q_OS_LINUX
// A 128 KiB tmpfs of its own: a disk that really fills up (mounting needs root).
class SmallDisk
{
public:
    explicit SmallDisk(const QString &path);
    ~SmallDisk();
    bool isMounted() const { return m_mounted; }
    QString path() const { return m_path; }
    // Fills the disk up, then frees `left` bytes (whole 4 KiB pages) of it again.
    bool fill(qint64 left);
    void empty();
    bool remountReadOnly();

private:
    QString m_path;
    bool m_mounted = false;
};
#endif

// The valid (not void) records in a records file, oldest first, read through a connection of
// the test's own: what is really on the disk.
QVariantList storedRecords(const QString &path);
// The bodies of the events in a records file's chain, in their order.
QStringList chainEvents(const QString &path);
// Waits (without blocking the event loop) until the store's thread has done everything it was
// asked before this call, and its answers have arrived; false after timeoutMs.
bool drain(RecordStore *store, int timeoutMs = 20000);
// Makes a records file holding `count` records by the script a tester would use (bash and
// sqlite3: Unix only).
bool makeRecords(const QString &path, int count, qint64 firstMs, qint64 stepMs);

// A file's bytes (nothing when it cannot be read), and writing them whole.
QByteArray readAll(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

// The whole tool as an operator meets it: a quiet simulated sensor on a real pseudo-terminal,
// listed while `listed` holds, and the real window loaded from the module.
class Rig
{
public:
    Rig();
    ~Rig();
    bool startSensor();
    // The callback sees the root object before the event loop runs.
    bool load(const std::function<void(QObject *)> &created = {});
    void closeWindow();
    void remember(const QVariant &port, const QVariant &baud = QVariant());

    // Searched through the object tree, then the visual tree (a Repeater's rows are no children).
    QObject *object(const QString &name, QObject *in = nullptr) const;
    QQuickItem *item(const QString &name, QObject *in = nullptr) const;
    QString text(const QString &name, QObject *in = nullptr) const;
    void click(QQuickItem *item);
    // Runs script in the window's context, as its documents run it; an error fails the test.
    QVariant js(const QString &code) const;
    void click(const QString &name, QObject *in = nullptr) { click(item(name, in)); }
    // Has the sensor page read every value, and waits until the last one is in.
    void readSensorPage();

    std::unique_ptr<SensorSimulator> sensor;
    bool listed = true;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;
    SerialPortManager *manager = nullptr;
};

} // namespace TestSupport

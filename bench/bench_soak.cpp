// Whether the tool's memory stays flat when it shows a full-speed stream for a long time.
//
// The whole window (recording on) reads weight lines written into a pseudo-terminal at the
// full speed of a 115200-baud wire, with a stable load changed every few seconds so that
// records are made too. Every minute it prints the resident memory, the lines written and the
// weight shown; at the end the first and last minute's memory and their ratio.
//
//   QT_QPA_PLATFORM=offscreen bench_soak [minutes]      (default 60)

#include "benchwire.h"
#include "ptypair.h"
#include "serialportmanager.h"
#include "startup.h"
#include "weightreading.h"

#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * 4096 / (1024 * 1024);
}

} // namespace

int main(int argc, char *argv[])
{
    const int minutes = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 60;
    QTemporaryDir dataDir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataDir.path())); // a database of its own
    QGuiApplication app(argc, argv);
    Pelora::setIdentity(app, QStringLiteral("PeloraSoak"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dataDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dataDir.path());
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    PtyPair pty;
    SerialPortManager::setDefaultPortEnumerator([&pty] { return QStringList{pty.slavePath()}; });
    QSettings().setValue(QStringLiteral("serial/portName"), pty.slavePath());

    std::atomic<bool> stop{false};
    std::atomic<long long> written{0};
    std::thread writer([&] {
        auto due = std::chrono::steady_clock::now();
        for (long long i = 0; !stop.load(); ++i) {
            // A load of 1..20 kg, changed every 3000 lines (about 4 s), unstable for the
            // first 100 lines of each.
            const long long step = i / 3000;
            const bool settling = i % 3000 < 100;
            char text[32];
            std::snprintf(text, sizeof text, "%s%08.3f,1,0\r\n", settling ? "US" : "ST",
                          double(1 + step % 20) + (settling ? 0.5 : 0.0));
            const QByteArray bytes(text);
            std::this_thread::sleep_until(due); // pacing the wire
            pty.write(bytes);
            written.store(i + 1);
            due += std::chrono::nanoseconds(1000000000LL * bytes.size()
                                            / BenchWire::WireBytesPerSecond);
        }
    });

    QQmlApplicationEngine engine;
    Pelora::loadRoot(engine, app);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    auto *reading = window ? window->findChild<WeightReading *>() : nullptr;
    if (!reading) {
        stop = true;
        writer.join();
        return 2;
    }
    double first = -1, last = -1;
    int minute = 0;
    QTimer every;
    QObject::connect(&every, &QTimer::timeout, &app, [&] {
        ++minute;
        last = residentMiB();
        if (first < 0)
            first = last;
        std::printf("minute %3d  RSS %7.1f MiB  lines %10lld  shown %s\n", minute, last,
                    written.load(), qPrintable(QString::number(reading->weightKg())));
        std::fflush(stdout);
        if (minute >= minutes)
            QCoreApplication::quit();
    });
    every.start(std::chrono::minutes(1));
    QCoreApplication::exec();
    stop = true;
    writer.join();
    std::printf("RSS first minute %.1f MiB, last %.1f MiB, ratio %.3f\n", first, last,
                last / first);
    return 0;
}

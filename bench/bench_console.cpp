// What the traffic console costs the weight display: the same stream of weight lines with
// the home page alone on screen, and with the console page open (recording every line and
// showing it) on top of it, at 30 lines a second and at the full speed of a 115200-baud
// wire. Each case runs in a child process of its own and reports the display's latency
// (from the write of a line to the display holding its weight), the process's CPU time per
// second of streaming and its peak memory.
//
//   QT_QPA_PLATFORM=offscreen bench_console [lines-at-full-speed]

#include "benchwire.h"
#include "ptypair.h"
#include "serialportmanager.h"
#include "startup.h"
#include "weightreading.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSerialPort>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace {

using namespace BenchWire;

constexpr int SlowLines = 300; // ten seconds at 30 a second

struct Result
{
    std::vector<double> latenciesMs;
    double cpuPerSecond = 0;
    double startMs = -1; // first frame
    double firstWeightMs = -1; // first weight shown
};

int finish(Result &r, const Writer &writer)
{
    std::sort(r.latenciesMs.begin(), r.latenciesMs.end());
    const auto &l = r.latenciesMs;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("RESULT %zu %d %.3f %.3f %.3f %.4f %.1f %.1f %ld\n", l.size(), writer.count(),
                l.empty() ? -1.0 : l[l.size() / 2],
                l.empty() ? -1.0 : l[std::min(l.size() - 1, size_t(double(l.size()) * 0.99))],
                l.empty() ? -1.0 : l.back(), r.cpuPerSecond, r.startMs, r.firstWeightMs,
                usage.ru_maxrss);
    std::fflush(stdout);
    return 0;
}

// The whole tool: the real window and module, connecting by itself to the pty; with console,
// the traffic console is opened before the stream starts.
int runWindow(int argc, char *argv[], int count, bool fullSpeed, bool console,
              qint64 processStartNs)
{
    QGuiApplication app(argc, argv);
    Pelora::setIdentity(app, QStringLiteral("PeloraBenchConsole"));
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); // no traffic log

    PtyPair pty;
    SerialPortManager::setDefaultPortEnumerator([&pty] { return QStringList{pty.slavePath()}; });
    QSettings().setValue(QStringLiteral("serial/portName"), pty.slavePath());

    Result result;
    Writer writer(pty, count, fullSpeed);
    QQmlApplicationEngine engine;
    Pelora::loadRoot(engine, app);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    auto *reading = window ? window->findChild<WeightReading *>() : nullptr;
    auto *manager = window ? window->findChild<SerialPortManager *>() : nullptr;
    if (!reading || !manager)
        return 2;
    QObject::connect(window, &QQuickWindow::frameSwapped, &app, [&] {
        if (result.startMs < 0)
            result.startMs = msSince(processStartNs);
    });
    // Streaming starts once the tool has connected by itself.
    QObject::connect(manager, &SerialPortManager::connectionChanged, &app, [&] {
        if (!manager->isConnected() || writer.running())
            return;
        if (console) {
            QObject *button = window->findChild<QObject *>(QStringLiteral("consoleButton"));
            if (!button || !QMetaObject::invokeMethod(button, "clicked")
                || !window->findChild<QObject *>(QStringLiteral("consolePage"))) {
                QCoreApplication::exit(4);
                return;
            }
        }
        writer.start();
    });

    // The display binds to the reading: its weight changes with the reading's.
    QObject::connect(reading, &WeightReading::weightKgChanged, &app, [&] {
        const auto now = Clock::now();
        const int i = int(std::lround(reading->weightKg() * 1000));
        if (i < 1 || i > writer.written())
            return;
        if (result.firstWeightMs < 0)
            result.firstWeightMs = msSince(processStartNs);
        result.latenciesMs.push_back(msBetween(writer.sentAt(i), now));
        if (i == count) {
            result.cpuPerSecond = writer.cpuPerSecond();
            QCoreApplication::quit();
        }
    });
    QTimer::singleShot(std::chrono::seconds(60), &app, [] { QCoreApplication::exit(3); });
    const int code = QCoreApplication::exec();
    return code == 0 ? finish(result, writer) : code;
}

// Runs every case in a child of its own and prints the table.
int runAll(const QString &self, int fastLines)
{
    struct Case
    {
        const char *what;
        const char *mode;
        const char *pace;
        int lines;
    };
    const Case cases[] = {
            {"home, 30 lines/s", "home", "slow", SlowLines},
            {"console, 30 lines/s", "console", "slow", SlowLines},
            {"home, full speed", "home", "fast", fastLines},
            {"console, full speed", "console", "fast", fastLines},
    };
    std::printf("%-20s %13s %10s %9s %9s %9s %9s %11s %12s %9s\n", "case", "lines shown",
                "median ms", "p99 ms", "worst ms", "CPU %", "start ms", "1st wt ms", "peak MiB",
                "");
    for (const Case &c : cases) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const qint64 startNs = monotonicNs();
        child.start(self,
                    {QString::fromLatin1(c.mode), QString::fromLatin1(c.pace),
                     QString::number(c.lines), QString::number(startNs)});
        child.waitForFinished(120000);
        const QByteArray out = child.readAllStandardOutput();
        const qsizetype at = out.indexOf("RESULT ");
        if (child.exitCode() != 0 || at < 0) {
            std::printf("%-20s failed (exit %d)\n", c.what, child.exitCode());
            continue;
        }
        const QList<QByteArray> f = out.mid(at + 7).trimmed().split(' ');
        std::printf("%-20s %6s/%-6s %10s %9s %9s %9.1f %9s %11s %12.1f\n", c.what, f[0].constData(),
                    f[1].constData(), f[2].constData(), f[3].constData(), f[4].constData(),
                    f[5].toDouble() * 100, f[6].constData(), f[7].constData(),
                    f[8].toDouble() / 1024);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 5) {
        const QByteArray mode = argv[1];
        const bool fullSpeed = QByteArray(argv[2]) == "fast";
        const int lines = QByteArray(argv[3]).toInt();
        const qint64 startNs = QByteArray(argv[4]).toLongLong();
        return runWindow(argc, argv, lines, fullSpeed, mode == "console", startNs);
    }
    QCoreApplication app(argc, argv);
    return runAll(QCoreApplication::applicationFilePath(),
                  argc > 1 ? QByteArray(argv[1]).toInt() : 3000);
}

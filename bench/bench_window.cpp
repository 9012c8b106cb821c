// How fast a weight line on the wire reaches the operator's eyes, and what it costs.
//
// Each case runs in a child process of its own (so that start-up and peak memory belong to
// it). A writer thread puts native weight lines into a pseudo-terminal, paced at 30 lines a
// second or at the full speed of a 115200-baud wire. Line i carries i grams, so whatever is
// shown names the line it came from. These programs read that stream:
//   - window: the whole tool, connecting by itself to the pseudo-terminal, recording (every
//     30th line is unstable, so a record is made about once every 30 lines);
//   - window-norec: the same with the recorder switched off;
//   - window-api: the whole tool with its live API on and 100 programs connected to it (a
//     child process of WebSocket clients reading every message) and 10 more that connected
//     and never read (they are let go; the line "api" says how many stayed, and the fewest
//     and most messages a reading client got);
//   - render: the render floor, a 1280 x 720 window with one bold 60 px text set to the
//     newest number a bare QSerialPort reader has read, drawn by the default renderer;
//   - render-sw: the same floor drawn by Qt Quick's software renderer, which the tool picks
//     itself where OpenGL would be rasterised on the CPU;
//   - reader: a bare QSerialPort reader that draws nothing.
// Latency ends, for the two windows, at the first frameSwapped whose scene shows that line
// or a newer one (a line replaced before it was drawn counts with the frame that replaced
// it); for the bare reader, when its last byte has been read. CPU is the process's CPU time
// per second of streaming, less the writer thread's own.
//
//   bench_window [lines-at-full-speed] [runs]
//
// PELORA_BENCH_FORMAT=2 or 3 streams Merovant or ASCII lines instead of native ones, and
// PELORA_BENCH_PACE=fast or slow runs only that pace.
//
// Run it offscreen (QT_QPA_PLATFORM=offscreen) and under an X server with the default
// OpenGL renderer (xvfb-run -a -s "-screen 0 1280x800x24" bench_window): see README.

#include "apiserver.h"
#include "benchwire.h"
#include "ptypair.h"
#include "serialportmanager.h"
#include "startup.h"
#include "weightreading.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QProcessEnvironment>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSerialPort>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <QtQml/qqml.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
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
    double startMs = -1; // first frame (windows) or port open (reader)
    int frames = 0;
};

int finish(Result &r, const Writer &writer)
{
    std::sort(r.latenciesMs.begin(), r.latenciesMs.end());
    const auto &l = r.latenciesMs;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("RESULT %zu %d %.3f %.3f %.3f %.4f %.1f %ld %d\n", l.size(), writer.count(),
                l.empty() ? -1.0 : l[l.size() / 2],
                l.empty() ? -1.0 : l[std::min(l.size() - 1, size_t(double(l.size()) * 0.99))],
                l.empty() ? -1.0 : l.back(), r.cpuPerSecond, r.startMs, usage.ru_maxrss, r.frames);
    std::fflush(stdout);
    return 0;
}

// Follows what a window's frames show. At every scene-graph synchronisation (the GUI
// thread is held while it runs) it notes which line the scene now holds; at the swap that
// follows, every line up to that one has reached the screen.
class FrameWatch
{
public:
    FrameWatch(QQuickWindow *window, const Writer &writer, Result &result,
               std::function<int()> shownLine, qint64 processStartNs)
        : m_writer(writer), m_result(result)
    {
        QObject::connect(
                window, &QQuickWindow::beforeSynchronizing, window,
                [this, shownLine] { m_synced.store(shownLine()); }, Qt::DirectConnection);
        QObject::connect(
                window, &QQuickWindow::frameSwapped, window,
                [this, processStartNs] {
                    const auto now = Clock::now();
                    std::lock_guard<std::mutex> lock(m_mutex);
                    ++m_result.frames;
                    if (m_result.startMs < 0)
                        m_result.startMs = msSince(processStartNs);
                    const int shown = std::min(m_synced.load(), m_writer.written());
                    for (; m_next <= shown; ++m_next)
                        m_result.latenciesMs.push_back(msBetween(m_writer.sentAt(m_next), now));
                    if (m_next > m_writer.count() && !m_done) {
                        m_done = true;
                        m_result.cpuPerSecond = m_writer.cpuPerSecond();
                        QMetaObject::invokeMethod(
                                qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
                    }
                },
                Qt::DirectConnection);
    }

private:
    const Writer &m_writer;
    Result &m_result;
    std::atomic<int> m_synced{0};
    std::mutex m_mutex;
    int m_next = 1;
    bool m_done = false;
};

void quietSettings(QTemporaryDir &dir)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); // no traffic log
}

// The whole tool: the real window and module, connecting by itself to the pty.
int runWindow(int argc, char *argv[], int count, bool fullSpeed, qint64 processStartNs,
              bool recording, int apiClients = 0)
{
    QGuiApplication app(argc, argv);
    Pelora::setIdentity(app, QStringLiteral("PeloraBench"));
    QTemporaryDir settingsDir;
    quietSettings(settingsDir);

    PtyPair pty;
    SerialPortManager::setDefaultPortEnumerator([&pty] { return QStringList{pty.slavePath()}; });
    QSettings().setValue(QStringLiteral("serial/portName"), pty.slavePath());
    QSettings().setValue(QStringLiteral("scale/outputFormatIndex"), BenchWire::format());
    int apiPort = 0;
    if (apiClients > 0) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        apiPort = probe.serverPort();
        QSettings().setValue(QStringLiteral("api/enabled"), true);
        QSettings().setValue(QStringLiteral("api/port"), apiPort);
        QSettings().setValue(QStringLiteral("api/token"), QStringLiteral("bench"));
    }

    Result result;
    Writer writer(pty, count, fullSpeed);
    QQmlApplicationEngine engine;
    Pelora::loadRoot(engine, app);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    auto *reading = window ? window->findChild<WeightReading *>() : nullptr;
    auto *manager = window ? window->findChild<SerialPortManager *>() : nullptr;
    if (!reading || !manager)
        return 2;
    if (!recording) {
        const int type = qmlTypeId("Pelora", 254, 0, "WeighRecorder");
        auto *recorder = type >= 0 ? engine.singletonInstance<QObject *>(type) : nullptr;
        if (!recorder || !recorder->setProperty("enabled", false))
            return 2;
    }
    // The API's programs, connected before the stream starts.
    QProcess clients;
    bool clientsReady = apiClients == 0;
    QByteArray clientStats;
    // Streaming starts once the tool has connected by itself (and the programs to it); the
    // first line of a connection is never a reading, so a line break goes first.
    const auto startWriting = [&] {
        if (manager->isConnected() && clientsReady && !writer.running()) {
            pty.write("\r\n");
            writer.start();
        }
    };
    if (apiClients > 0) {
        QObject::connect(&clients, &QProcess::readyReadStandardOutput, &app, [&] {
            while (clients.canReadLine()) {
                const QByteArray line = clients.readLine().trimmed();
                if (line == "READY") {
                    clientsReady = true;
                    startWriting();
                } else if (line.startsWith("STAT ")) {
                    clientStats = line.mid(5);
                }
            }
        });
        clients.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        clients.start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("clients"), QString::number(apiClients),
                       QStringLiteral("ws://127.0.0.1:%1/?token=bench").arg(apiPort)});
    }
    QObject::connect(manager, &SerialPortManager::connectionChanged, &app, startWriting);
    FrameWatch watch(
            window, writer, result,
            [reading] {
                // The display binds to the reading: what the scene holds is its weight.
                return int(std::lround(reading->weightKg() * 1000));
            },
            processStartNs);
    QTimer::singleShot(std::chrono::seconds(90), &app, [] { QCoreApplication::exit(3); });
    const int code = QCoreApplication::exec();
    if (apiClients > 0) {
        const int type = qmlTypeId("Pelora", 254, 0, "ApiServer");
        auto *api = type >= 0 ? engine.singletonInstance<ApiServer *>(type) : nullptr;
        std::printf("API %d %s\n", api ? api->clientCount() : -1, clientStats.constData());
        clients.kill();
        clients.waitForFinished(5000);
    }
    return code == 0 ? finish(result, writer) : code;
}

// The programs of the API: n WebSocket clients that read every message, and a tenth as many
// raw connections that finish the handshake and then read nothing. "READY" once every reader
// has its greeting; then every half second "STAT fewest most readers-open stuck-open".
int runClients(int argc, char *argv[], int n, const QString &url)
{
    QCoreApplication app(argc, argv);
    std::vector<std::unique_ptr<QWebSocket>> readers;
    std::vector<qint64> received(size_t(n), 0);
    int greeted = 0;
    for (int i = 0; i < n; ++i) {
        readers.push_back(std::make_unique<QWebSocket>());
        QWebSocket *ws = readers.back().get();
        QObject::connect(ws, &QWebSocket::textMessageReceived, &app, [&, i](const QString &) {
            if (received[size_t(i)]++ == 0 && ++greeted == n) {
                std::printf("READY\n");
                std::fflush(stdout);
            }
        });
        ws->open(QUrl(url));
    }
    const QUrl target(url);
    std::vector<std::unique_ptr<QTcpSocket>> stuck;
    for (int i = 0; i < std::max(1, n / 10); ++i) {
        stuck.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket *s = stuck.back().get();
        s->setReadBufferSize(4096); // full at once: the kernel's window closes behind it
        QObject::connect(s, &QTcpSocket::connected, &app, [s, target] {
            s->write(QStringLiteral("GET /?%1 HTTP/1.1\r\nHost: 127.0.0.1:%2\r\nUpgrade: "
                                    "websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                                    "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
                             .arg(target.query())
                             .arg(target.port())
                             .toLatin1());
        });
        s->connectToHost(target.host(), quint16(target.port()));
    }
    QTimer stats;
    QObject::connect(&stats, &QTimer::timeout, &app, [&] {
        const auto [lo, hi] = std::minmax_element(received.begin(), received.end());
        int open = 0, stuckOpen = 0;
        for (const auto &ws : readers)
            open += ws->state() == QAbstractSocket::ConnectedState;
        for (const auto &s : stuck)
            stuckOpen += s->state() == QAbstractSocket::ConnectedState;
        std::printf("STAT %lld %lld %d %d\n", *lo, *hi, open, stuckOpen);
        std::fflush(stdout);
    });
    stats.start(500);
    return QCoreApplication::exec();
}

// The render floor: one bold 60 px number in a window of the tool's size, fed by a bare
// reader that takes the newest complete line.
int runRender(int argc, char *argv[], int count, bool fullSpeed, qint64 processStartNs,
              bool software)
{
    QGuiApplication app(argc, argv);
    if (software)
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    PtyPair pty;
    Result result;
    Writer writer(pty, count, fullSpeed);
    QQmlApplicationEngine engine;
    engine.loadData(R"(
        import QtQuick
        Window {
            width: 1280; height: 720; visible: true
            property int shown: 0
            Text {
                objectName: "number"
                anchors.centerIn: parent
                font.pixelSize: 60; font.bold: true
                text: "0.000"
            }
        })");
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    auto *number = window ? window->findChild<QQuickItem *>(QStringLiteral("number")) : nullptr;
    if (!number)
        return 2;
    QSerialPort port;
    port.setPortName(pty.slavePath());
    port.setBaudRate(115200);
    if (!port.open(QIODevice::ReadWrite))
        return 2;
    QByteArray pending;
    std::atomic<int> shown{0};
    QObject::connect(&port, &QSerialPort::readyRead, &app, [&] {
        pending += port.readAll();
        const qsizetype end = pending.lastIndexOf('\n');
        if (end < 0)
            return;
        const qsizetype start = pending.lastIndexOf('\n', end - 1) + 1;
        const QByteArray last = numberIn(pending.mid(start, end - start));
        pending.remove(0, end + 1);
        number->setProperty("text", QString::fromLatin1(last));
        shown.store(int(std::lround(last.toDouble() * 1000)));
    });
    FrameWatch watch(
            window, writer, result, [&shown] { return shown.load(); }, processStartNs);
    writer.start();
    QTimer::singleShot(std::chrono::seconds(90), &app, [] { QCoreApplication::exit(3); });
    const int code = QCoreApplication::exec();
    return code == 0 ? finish(result, writer) : code;
}

// A bare serial reader of the same stream that does nothing with what it reads.
int runReader(int argc, char *argv[], int count, bool fullSpeed, qint64 processStartNs)
{
    QCoreApplication app(argc, argv);
    PtyPair pty;
    Result result;
    Writer writer(pty, count, fullSpeed);
    QSerialPort port;
    port.setPortName(pty.slavePath());
    port.setBaudRate(115200);
    if (!port.open(QIODevice::ReadWrite))
        return 2;
    result.startMs = msSince(processStartNs);

    qint64 received = 0;
    int next = 1; // the first line not yet wholly read
    QObject::connect(&port, &QSerialPort::readyRead, &app, [&] {
        received += port.readAll().size();
        const auto now = Clock::now();
        while (next <= writer.written() && writer.endOffset(next) <= received) {
            result.latenciesMs.push_back(msBetween(writer.sentAt(next), now));
            ++next;
        }
        if (next > count) {
            result.cpuPerSecond = writer.cpuPerSecond();
            QCoreApplication::quit();
        }
    });
    writer.start();
    QTimer::singleShot(std::chrono::seconds(90), &app, [] { QCoreApplication::exit(3); });
    const int code = QCoreApplication::exec();
    return code == 0 ? finish(result, writer) : code;
}

struct Row
{
    std::vector<double> cpu, p50, p99, startMs, mib, frames;
    QString shown;
    QString api; // the last run's: clients still connected, fewest and most messages, ...
};

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs every case in a child of its own, the cases alternating, and prints medians.
int runAll(const QString &self, int fastLines, int runs)
{
    const char *modes[] = {"window", "window-norec", "window-api", "render", "render-sw", "reader"};
    // The records go to a database of the run's own.
    QTemporaryDir dataDir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataDir.path());
    std::vector<const char *> paces = {"slow", "fast"};
    const QByteArray onlyPace = qgetenv("PELORA_BENCH_PACE");
    if (onlyPace == "slow" || onlyPace == "fast")
        paces = {onlyPace == "slow" ? "slow" : "fast"};
    std::map<QString, Row> rows;
    for (int run = 0; run < runs; ++run) {
        for (const char *pace : paces) {
            for (const char *mode : modes) {
                const int lines = QByteArray(pace) == "slow" ? SlowLines : fastLines;
                QProcess child;
                child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
                child.setProcessEnvironment(environment);
                const qint64 startNs = monotonicNs();
                child.start(self,
                            {QString::fromLatin1(mode), QString::fromLatin1(pace),
                             QString::number(lines), QString::number(startNs)});
                child.waitForFinished(180000);
                const QByteArray out = child.readAllStandardOutput();
                const qsizetype at = out.indexOf("RESULT ");
                const QString key
                        = QStringLiteral("%1 %2").arg(QLatin1String(pace), QLatin1String(mode));
                if (child.exitCode() != 0 || at < 0) {
                    std::printf("%s: failed (exit %d)\n", qPrintable(key), child.exitCode());
                    continue;
                }
                const QList<QByteArray> f = out.mid(at + 7).trimmed().split(' ');
                Row &row = rows[key];
                const qsizetype api = out.indexOf("API ");
                if (api >= 0)
                    row.api = QString::fromLatin1(
                            out.mid(api + 4, out.indexOf('\n', api) - api - 4));
                row.shown = QStringLiteral("%1/%2").arg(QLatin1String(f[0]), QLatin1String(f[1]));
                row.p50.push_back(f[2].toDouble());
                row.p99.push_back(f[3].toDouble());
                row.cpu.push_back(f[5].toDouble() * 100);
                row.startMs.push_back(f[6].toDouble());
                row.mib.push_back(f[7].toDouble() / 1024);
                row.frames.push_back(f[8].toDouble());
            }
        }
    }
    std::printf("platform %s, output format %d, medians of %d runs\n",
                qPrintable(qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("default"))),
                BenchWire::format(), runs);
    std::printf("%-14s %11s %8s %8s %8s %9s %9s %8s\n", "case", "lines", "p50 ms", "p99 ms",
                "CPU %", "start ms", "peak MiB", "frames");
    for (const char *pace : paces) {
        for (const char *mode : modes) {
            const QString key
                    = QStringLiteral("%1 %2").arg(QLatin1String(pace), QLatin1String(mode));
            const Row &r = rows[key];
            std::printf("%-14s %11s %8.2f %8.2f %8.2f %9.0f %9.1f %8.0f\n", qPrintable(key),
                        qPrintable(r.shown), median(r.p50), median(r.p99), median(r.cpu),
                        median(r.startMs), median(r.mib), median(r.frames));
        }
        const Row &w = rows[QStringLiteral("%1 window").arg(QLatin1String(pace))];
        const Row &n = rows[QStringLiteral("%1 window-norec").arg(QLatin1String(pace))];
        std::printf("%-12s recording on / off: CPU %.2fx, p50 %.2fx, p99 %.2fx\n", pace,
                    median(w.cpu) / median(n.cpu), median(w.p50) / median(n.p50),
                    median(w.p99) / median(n.p99));
        const Row &a = rows[QStringLiteral("%1 window-api").arg(QLatin1String(pace))];
        std::printf("%-12s API with 100 programs / off: CPU %.2fx, p50 %.2fx, p99 %.2fx, "
                    "memory %.2fx (api: %s)\n",
                    pace, median(a.cpu) / median(w.cpu), median(a.p50) / median(w.p50),
                    median(a.p99) / median(w.p99), median(a.mib) / median(w.mib),
                    qPrintable(a.api));
        for (const char *floor : {"render", "render-sw"}) {
            const Row &f
                    = rows[QStringLiteral("%1 %2").arg(QLatin1String(pace), QLatin1String(floor))];
            std::printf("%-12s window / %s floor: CPU %.2fx, p99 %.2fx, memory %.2fx\n", pace,
                        floor, median(w.cpu) / median(f.cpu), median(w.p99) / median(f.p99),
                        median(w.mib) / median(f.mib));
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && QByteArray(argv[1]) == "clients")
        return runClients(argc, argv, QByteArray(argv[2]).toInt(), QString::fromLatin1(argv[3]));
    if (argc >= 5) {
        const QByteArray mode = argv[1];
        const bool fullSpeed = QByteArray(argv[2]) == "fast";
        const int lines = QByteArray(argv[3]).toInt();
        const qint64 startNs = QByteArray(argv[4]).toLongLong();
        if (mode.startsWith("window"))
            return runWindow(argc, argv, lines, fullSpeed, startNs, mode != "window-norec",
                             mode == "window-api" ? 100 : 0);
        if (mode.startsWith("render"))
            return runRender(argc, argv, lines, fullSpeed, startNs, mode == "render-sw");
        return runReader(argc, argv, lines, fullSpeed, startNs);
    }
    QCoreApplication app(argc, argv);
    return runAll(QCoreApplication::applicationFilePath(),
                  argc > 1 ? QByteArray(argv[1]).toInt() : 3000,
                  argc > 2 ? QByteArray(argv[2]).toInt() : 3);
}

// pelora-station: a weighing station without a window. It reads the sensor, makes the
// records, sends them to the shared server and serves the live API exactly as the window
// does, with the same settings and the same records file, and tells what it does on
// standard error (the journal, under systemd). SIGTERM or SIGINT stops it cleanly: the
// port is closed, every record taken is written, the server is told the station is gone.

#include "apiserver.h"
#include "appsettings.h"
#include "fleetlink.h"
#include "portkeeper.h"
#include "recordstore.h"
#include "scaleaudit.h"
#include "serialportmanager.h"
#include "settingsstore.h"
#include "startup.h"
#include "weighrecorder.h"
#include "weightreading.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <utility>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

Q_LOGGING_CATEGORY(lcStation, "pelora.station")

// Standard error is the journal when systemd says so (JOURNAL_STREAM): there a "<N>" before
// a line gives its priority, and the journal adds time and name itself.
bool toJournal = false;

void writeLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    int priority = 6;
    switch (type) {
    case QtDebugMsg:
        priority = 7;
        break;
    case QtWarningMsg:
        priority = 4;
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        priority = 3;
        break;
    default:
        break;
    }
    QString category = QString::fromLatin1(context.category ? context.category : "default");
    if (category.startsWith(QLatin1String("pelora.")))
        category = category.mid(7);
    else if (category == QLatin1String("default"))
        category = QStringLiteral("station");
    const QByteArray line
            = (toJournal ? QStringLiteral("<%1>pelora-station: %2: %3\n")
                                   .arg(priority)
                                   .arg(category, message)
                         : QStringLiteral("pelora-station: %1: %2\n").arg(category, message))
                      .toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

#ifdef Q_OS_UNIX
int quitPipe[2] = {-1, -1};
volatile std::sig_atomic_t lastSignal = 0;

// A signal handler may only write to a pipe; the event loop reads it and quits.
void quitOnSignals(QCoreApplication &app)
{
    if (::pipe(quitPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(qintptr(quitPipe[0]), QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        qCInfo(lcStation, "stopping (%s)", lastSignal == SIGTERM ? "SIGTERM" : "signal");
        QCoreApplication::quit();
    });
    const auto handler = [](int sig) {
        lastSignal = sig;
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(quitPipe[1], &byte, 1);
    };
    std::signal(SIGTERM, handler);
    std::signal(SIGINT, handler);
    std::signal(SIGHUP, handler);
}
#else
void quitOnSignals(QCoreApplication &) { }
#endif

// Tells each change of a text once, not every time its signal fires.
template<typename Object, typename Signal, typename Read>
void logChanges(Object *object, Signal signal, Read read, const char *what, bool warn = false)
{
    auto last = std::make_shared<QString>();
    QObject::connect(object, signal, object, [object, read, what, last, warn] {
        const QString now = read(object);
        if (now == *last)
            return;
        *last = now;
        if (now.isEmpty())
            return;
        if (warn)
            qCWarning(lcStation, "%s: %s", what, qPrintable(now));
        else
            qCInfo(lcStation, "%s: %s", what, qPrintable(now));
    });
}

} // namespace

int main(int argc, char *argv[])
{
    toJournal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    qInstallMessageHandler(writeLog);
    // The link logs every line it receives, ten a second: not for the journal unless asked.
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QCoreApplication app(argc, argv);
    Pelora::setIdentity(app);
    QCoreApplication::setApplicationVersion(QStringLiteral(PELORA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Runs a Pelora weighing station without a window: the sensor, the records, the "
            "shared server and the live API, with the settings made in Pelora's window."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
            QStringLiteral("port"),
            QStringLiteral("Read the sensor on this serial port instead of the one set in Pelora."),
            QStringLiteral("name"));
    const QCommandLineOption baudOption(QStringLiteral("baud"),
                                        QStringLiteral("The port's speed (default: as set)."),
                                        QStringLiteral("rate"));
    parser.addOptions({portOption, baudOption});
    parser.process(app);
    quitOnSignals(app);

    int exitCode = 0;
    {
        SettingsStore *settings = SettingsStore::create(nullptr, nullptr);
        AppSettings *appSettings = AppSettings::instance();
        QString port = appSettings->portName();
        QString identity = appSettings->portIdentity();
        int baud = appSettings->baudRate();
        if (parser.isSet(portOption)) {
            port = parser.value(portOption);
            identity.clear(); // the port named here, not the remembered adapter
        }
        if (parser.isSet(baudOption)) {
            bool ok = false;
            baud = parser.value(baudOption).toInt(&ok);
            if (!ok || baud <= 0) {
                qCCritical(lcStation, "--baud wants a positive number, not \"%s\"",
                           qPrintable(parser.value(baudOption)));
                return 2;
            }
        }
        qCInfo(lcStation, "Pelora %s starting; records in %s",
               qPrintable(QCoreApplication::applicationVersion()),
               qPrintable(RecordStore::defaultPath()));

        RecordStore store(RecordStore::defaultPath());
        WeighRecorder recorder(&store);
        ScaleAudit audit(appSettings);
        QObject::connect(&audit, &ScaleAudit::happened, &store, &RecordStore::addEvent);
        SerialPortManager manager;
        WeightReading reading;
        reading.setPort(&manager);
        reading.setFormat(appSettings->outputFormat());
        QObject::connect(
                appSettings, &AppSettings::outputFormatChanged, &reading,
                [&reading, appSettings] { reading.setFormat(appSettings->outputFormat()); });
        recorder.follow(&reading);
        audit.follow(&manager);
        audit.followRecorder(&recorder);
        FleetLink fleet(&store, settings);
        fleet.follow(&reading);
        ApiServer api(&store, settings);
        api.follow(&reading);
        api.followRecorder(&recorder);

        // The link's state once per change; a failure once until the port opens again, not
        // at every attempt of the second.
        QObject::connect(&manager, &SerialPortManager::statusMessageChanged, &manager,
                         [&manager, failing = false, last = QString()]() mutable {
                             const QString text = manager.statusMessage();
                             if (text == last || text.startsWith(SerialPortManager::tr("已发送")))
                                 return;
                             last = text;
                             if (manager.isConnected()) {
                                 failing = false;
                                 qCInfo(lcStation, "link: %s", qPrintable(text));
                             } else if (text.startsWith(SerialPortManager::tr("串口错误"))
                                        || text.startsWith(SerialPortManager::tr("连接失败"))) {
                                 if (!std::exchange(failing, true))
                                     qCWarning(lcStation, "link: %s (trying again every second)",
                                               qPrintable(text));
                             } else {
                                 qCInfo(lcStation, "link: %s", qPrintable(text));
                             }
                         });
        logChanges(
                &store, &RecordStore::errorTextChanged,
                [](RecordStore *s) { return s->errorText(); }, "records", true);
        logChanges(
                &store, &RecordStore::chainChanged,
                [](RecordStore *s) { return s->chainBroken() ? s->chainText() : QString(); },
                "records", true);
        QObject::connect(&store, &RecordStore::recordWritten, &store, [](const QVariantMap &r) {
            qCInfo(lcStation, "record %lld: %s kg%s",
                   r.value(QStringLiteral("number")).toLongLong(),
                   qPrintable(
                           QString::number(r.value(QStringLiteral("weightKg")).toDouble(), 'f', 3)),
                   r.value(QStringLiteral("manual")).toBool() ? " (on request)" : "");
        });
        if (fleet.enabled()) {
            logChanges(
                    &fleet, &FleetLink::progressChanged,
                    [](FleetLink *f) { return f->statusText(); }, "server");
            logChanges(
                    &fleet, &FleetLink::progressChanged,
                    [](FleetLink *f) { return f->lastError(); }, "server", true);
        } else {
            qCInfo(lcStation, "server: off");
        }
        logChanges(
                &api, &ApiServer::stateChanged, [](ApiServer *a) { return a->statusText(); },
                "api");
        if (!api.enabled())
            qCInfo(lcStation, "api: off");

        PortKeeper keeper(&manager);
        keeper.setTarget(port, baud, identity);
        if (port.isEmpty() && identity.isEmpty())
            qCWarning(lcStation,
                      "no sensor port is set: choose one in Pelora's window or "
                      "give --port");
        else
            qCInfo(lcStation, "sensor on %s at %d baud", qPrintable(port), baud);
        keeper.start();

        exitCode = QCoreApplication::exec();
        manager.disconnectSerialPort();
        // The objects go in reverse order: the API, the server link (which waits a few seconds
        // at most), the link, then the records, whose store writes everything still queued.
    }
    qCInfo(lcStation, "stopped");
    return exitCode;
}

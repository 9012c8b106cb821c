// pelora-demo: the tool's own window, fed by a simulated sensor in the same process, so
// that it can be tried without a scale on the desk. It keeps its settings under its own
// application name and never touches an operator's remembered port.

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlApplicationEngine>
#include <QRandomGenerator>
#include <QSettings>
#include <QTextStream>
#include <QTimer>

#include <chrono>

using namespace std::chrono_literals;

int main(int argc, char *argv[])
{
    // The manager logs every received line, ten a second; in the demo that would bury the
    // terminal. QT_LOGGING_RULES, when set, decides instead.
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    int exitCode = 0;
    {
        QGuiApplication app(argc, argv);
        Pelora::setIdentity(app, QStringLiteral("PeloraDemo"));

        QCommandLineParser parser;
        parser.addHelpOption();
        const QCommandLineOption portOption(
                QStringLiteral("port"),
                QStringLiteral("Serve the sensor on this serial port (one end of a virtual "
                               "null-modem pair) instead of a pseudo-terminal."),
                QStringLiteral("name"));
        const QCommandLineOption peerOption(
                QStringLiteral("peer"),
                QStringLiteral("With --port: the other end of the pair, which the window "
                               "connects to."),
                QStringLiteral("name"));
        parser.addOptions({portOption, peerOption});
        parser.process(app);
        SensorSimulator::quitOnTerminationSignals();

        SensorSimulator sensor;
        const bool served = parser.isSet(portOption) ? sensor.attach(parser.value(portOption))
                                                     : sensor.start();
        if (!served) {
            QTextStream(stderr) << "pelora-demo: cannot start the simulated sensor" << Qt::endl;
            return 1;
        }
        sensor.setAutoReport(true);
        // Through a null-modem pair the window opens the other end.
        const QString toolPort
                = parser.isSet(portOption) ? parser.value(peerOption) : sensor.portName();

        // Now and then something else is put on the platform, so the display moves.
        QTimer loads;
        QObject::connect(&loads, &QTimer::timeout, &sensor, [&sensor] {
            sensor.setLoad(QRandomGenerator::global()->bounded(3000) / 100.0);
        });
        sensor.setLoad(12.5);
        loads.start(4s);

        // The platform's ports and the simulated one, which no enumeration would list.
        SerialPortManager::setDefaultPortEnumerator([toolPort] {
            QStringList names = SerialPortManager::platformPortNames();
            if (!toolPort.isEmpty() && !names.contains(toolPort))
                names.append(toolPort);
            return names;
        });

        if (!toolPort.isEmpty()) {
            // Remembered before the window loads, so its automatic connection finds it.
            QSettings settings;
            settings.setValue(QStringLiteral("serial/portName"), toolPort);
            settings.setValue(QStringLiteral("serial/baudRate"), 115200);
            settings.sync();
        }

        QQmlApplicationEngine engine;
        Pelora::loadRoot(engine, app);
        QTextStream(stdout) << "pelora-demo: the simulated sensor is on " << toolPort
                            << "; stop with Ctrl+C or by closing the window." << Qt::endl;
        exitCode = QGuiApplication::exec();
    } // the engine goes before the sensor and the application object
    return exitCode;
}

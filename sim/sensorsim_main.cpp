// pelora-sensor-sim: a simulated weighing sensor on a pseudo-terminal (or a named serial
// port), steered by lines on standard input. The first line on standard output is the
// path to give the tool; the commands the tool sends are echoed on standard error.

#include "sensorsimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

void control(SensorSimulator &sim, const QString &input)
{
    const QStringList words = input.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return;
    const QString verb = words.first().toLower();
    const QString arg = words.value(1);
    QTextStream err(stderr);
    bool ok = true;
    if (verb == QLatin1String("load")) {
        const double kg = arg.toDouble(&ok);
        if (ok)
            sim.setLoad(kg);
    } else if (verb == QLatin1String("unplug")) {
        sim.unplug();
    } else if (verb == QLatin1String("plug")) {
        ok = sim.plug();
    } else if (verb == QLatin1String("garbage")) {
        sim.sendGarbage(arg.isEmpty() ? 8 : qMax(1, arg.toInt()));
    } else if (verb == QLatin1String("split")) {
        sim.splitNextLine(arg.isEmpty() ? 3 : arg.toInt());
    } else if (verb == QLatin1String("burst")) {
        const int count = arg.toInt(&ok);
        ok = ok && count > 0;
        if (ok)
            sim.burst(count);
    } else if (verb == QLatin1String("quit")) {
        QCoreApplication::quit();
    } else {
        ok = false;
    }
    if (!ok)
        err << "? " << input << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelora-sensor-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Simulated weighing sensor. Reads lines on standard input: load KG, unplug, plug, "
            "garbage [N], split [N], burst N, quit."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Serve this serial port instead of a "
                                                       "pseudo-terminal."),
                                        QStringLiteral("name"));
    const QCommandLineOption formatOption(QStringLiteral("format"),
                                          QStringLiteral("Weight output format: 1 native, "
                                                         "2 SG+ASCII, 3 ASCII."),
                                          QStringLiteral("1|2|3"), QStringLiteral("1"));
    const QCommandLineOption rateOption(QStringLiteral("rate"),
                                        QStringLiteral("Weight lines per second, 0 to 30."),
                                        QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("Serve the pseudo-terminal behind this "
                                                       "path (its folder must exist) instead of "
                                                       "one in a fresh temporary folder."),
                                        QStringLiteral("path"));
    // Habits of real firmware, for trying the tool against something less tidy.
    const QCommandLineOption latencyOption(QStringLiteral("latency"),
                                           QStringLiteral("Answer each command after MIN to MAX "
                                                          "milliseconds."),
                                           QStringLiteral("min[-max]"));
    const QCommandLineOption oneAtATimeOption(QStringLiteral("one-at-a-time"),
                                              QStringLiteral("Ignore commands that arrive while an "
                                                             "answer is still due."));
    const QCommandLineOption confirmOption(QStringLiteral("confirm"),
                                           QStringLiteral("How a setting is confirmed: ok, echo, "
                                                          "both or command-echo."),
                                           QStringLiteral("style"), QStringLiteral("ok"));
    const QCommandLineOption errorOption(QStringLiteral("error-word"),
                                         QStringLiteral("A refusal: ERR (with a reason) or ERROR."),
                                         QStringLiteral("word"), QStringLiteral("ERR"));
    const QCommandLineOption silentOption(QStringLiteral("silent-unknown"),
                                          QStringLiteral("Send nothing for an unknown command."));
    const QCommandLineOption versionOption(QStringLiteral("version-text"),
                                           QStringLiteral("The answer to AT+VERSION?."),
                                           QStringLiteral("text"), QStringLiteral("V1.0.1"));
    const QCommandLineOption serialOption(QStringLiteral("serial"),
                                          QStringLiteral("The answer to AT+SN."),
                                          QStringLiteral("text"), QStringLiteral("SN102145"));
    const QCommandLineOption crOption(QStringLiteral("cr-only"),
                                      QStringLiteral("End every line with CR alone."));
    const QCommandLineOption loadOption(QStringLiteral("load"),
                                        QStringLiteral("The load on the platform at start, in kg."),
                                        QStringLiteral("kg"), QStringLiteral("0"));
    parser.addOptions({portOption, linkOption, formatOption, rateOption, latencyOption,
                       oneAtATimeOption, confirmOption, errorOption, silentOption, versionOption,
                       serialOption, crOption, loadOption});
    parser.process(app);
    SensorSimulator::quitOnTerminationSignals();

    SensorSimulator sim;
    sim.setFormat(parser.value(formatOption).toInt());
    sim.setReportRate(parser.value(rateOption).toInt());
    sim.setLoad(parser.value(loadOption).toDouble());
    if (parser.isSet(latencyOption)) {
        const QStringList range = parser.value(latencyOption).split(QLatin1Char('-'));
        sim.setReplyLatency(range.value(0).toInt(), range.value(range.size() - 1).toInt());
    }
    sim.setOneCommandAtATime(parser.isSet(oneAtATimeOption));
    const QString confirm = parser.value(confirmOption);
    sim.setConfirmation(confirm == QLatin1String("echo") ? SensorSimulator::Confirmation::Echo
                                : confirm == QLatin1String("both")
                                ? SensorSimulator::Confirmation::OkAndEcho
                                : confirm == QLatin1String("command-echo")
                                ? SensorSimulator::Confirmation::CommandEcho
                                : SensorSimulator::Confirmation::Ok);
    sim.setErrorWord(parser.value(errorOption));
    sim.setSilentOnUnknown(parser.isSet(silentOption));
    sim.setIdentity(parser.value(versionOption), parser.value(serialOption));
    if (parser.isSet(crOption))
        sim.setLineEnding("\r");
    const bool served = parser.isSet(portOption) ? sim.attach(parser.value(portOption))
                                                 : sim.start(parser.value(linkOption));
    if (!served) {
        QTextStream(stderr) << "cannot open "
                            << (parser.isSet(portOption) ? parser.value(portOption)
                                                         : QStringLiteral("a pseudo-terminal"))
                            << Qt::endl;
        return 1;
    }
    QObject::connect(&sim, &SensorSimulator::commandReceived, &sim, [](const QString &command) {
        QTextStream(stderr) << "< " << command << Qt::endl;
    });

    std::fputs(qPrintable(sim.portName() + QLatin1Char('\n')), stdout);
    std::fflush(stdout);

    // Standard input is read on a thread of its own (a notifier cannot watch it on every
    // platform); each line is handed to the event loop. At the end of input the sensor
    // goes on serving until it is told to quit or killed.
    std::thread([&sim] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const QString text = QString::fromLocal8Bit(line.c_str());
            QMetaObject::invokeMethod(
                    &sim, [&sim, text] { control(sim, text); }, Qt::QueuedConnection);
        }
    }).detach();

    return QCoreApplication::exec();
}

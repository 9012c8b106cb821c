// Cost of one call of each buffer parser of the protocol script, on the text the weight display
// hands it: the serial manager's receive buffer (at most 4096 bytes) in its printable rendering.
// Prints the median microseconds per call; run by hand: ./bench_parsers [calls]

#include "startup.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJSValue>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QRandomGenerator>
#include <QTextStream>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// The manager's printable rendering: printable ASCII, tab, LF and CR as they are, every
// other byte as [XX].
QString render(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size() * 4);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte <= 0x7E) || byte == '\t' || byte == '\n' || byte == '\r')
            text += QLatin1Char(c);
        else
            text += QStringLiteral("[%1]").arg(uint(byte), 2, 16, QLatin1Char('0')).toUpper();
    }
    return text;
}

// The newest `size` bytes of a stream of frames, cut at the front as the receive buffer cuts.
QByteArray stream(const char *format, qsizetype size)
{
    QByteArray bytes;
    for (int i = 0; bytes.size() < size + 64; ++i)
        bytes += QByteArray(format).replace("%",
                                            QByteArray::number(i % 1000).rightJustified(3, '0'));
    return bytes.right(size);
}

QByteArray nonAscii(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    auto *random = QRandomGenerator::global();
    for (char &c : bytes)
        c = static_cast<char>(0x80 + random->bounded(0x80));
    return bytes;
}

double medianMicroseconds(const QJSValue &callable, const QJSValueList &arguments, int calls)
{
    if (!callable.isCallable())
        qFatal("not a function");
    for (int i = 0; i < 200; ++i) // let the engine compile the hot paths first
        callable.call(arguments);
    std::vector<qint64> nanoseconds;
    nanoseconds.reserve(calls);
    QElapsedTimer timer;
    for (int i = 0; i < calls; ++i) {
        timer.start();
        const QJSValue result = callable.call(arguments);
        nanoseconds.push_back(timer.nsecsElapsed());
        if (result.isError())
            qFatal("parser threw: %s", qPrintable(result.toString()));
    }
    std::nth_element(nanoseconds.begin(), nanoseconds.begin() + calls / 2, nanoseconds.end());
    return nanoseconds[calls / 2] / 1000.0;
}

QString cell(double microseconds, int width)
{
    return QString::number(microseconds, 'f', 1).rightJustified(width);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int calls = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 2000;

    QQmlEngine engine;
    Pelora::prepareEngine(engine);
    // boundTo(name, text) turns the text into a script string once and gives a function that
    // parses it, so the timing holds the parser alone. parser(name) is the bare parser: called
    // from C++ with a QString, the engine builds the script string anew on every call, as a
    // binding does when it reads SerialPortManager.receivedData.
    QQmlComponent component(&engine);
    component.setData(R"(
        import QtQml
        import "qrc:/qt/qml/Pelora/src/protocol/WeighProtocol.js" as WeighProtocol
        QtObject {
            function parser(name) { return WeighProtocol[name] }
            function boundTo(name, text) { const parse = WeighProtocol[name]; return () => parse(text) }
        }
    )",
                      QUrl(QStringLiteral("qrc:/bench/Parsers.qml")));
    const std::unique_ptr<QObject> holder(component.create());
    if (!holder)
        qFatal("%s", qPrintable(component.errorString()));

    const auto parser = [&holder](const char *name) {
        QVariant function;
        QMetaObject::invokeMethod(holder.get(), "parser", Q_RETURN_ARG(QVariant, function),
                                  Q_ARG(QVariant, QString::fromLatin1(name)));
        return function.value<QJSValue>();
    };
    const auto alone = [&](const char *name, const QString &text) {
        QVariant function;
        QMetaObject::invokeMethod(holder.get(), "boundTo", Q_RETURN_ARG(QVariant, function),
                                  Q_ARG(QVariant, QString::fromLatin1(name)),
                                  Q_ARG(QVariant, text));
        return medianMicroseconds(function.value<QJSValue>(), {}, calls);
    };

    struct Parser
    {
        const char *label;
        const char *function;
        const char *frame;
        const char *otherFrame; // a stream in which this parser finds nothing
    };
    const Parser parsers[] = {
            {"native", "parseLatestWeightFromBuffer", "ST%.20,1,0\r\n", "sn0001.%kg\r\n"},
            {"SG+ASCII", "parseLatestMerovantWeightFromBuffer", "sn0001.%kg\r\n", "ST%.20,1,0\r\n"},
            {"ASCII", "parseLatestNumericWeightFromBuffer", "20.%\r\n", "sn0001.%kg\r\n"},
    };
    const qsizetype streamSizes[] = {1024, 4096, 16384, 65536};
    const QString brackets = render(nonAscii(4096));

    QTextStream out(stdout);
    out << "Median microseconds per call over " << calls << " calls\n"
        << "stream N: the parser's own frames as a 30/s stream leaves them, N characters\n"
        << "none: 4096 characters of another format's frames, nothing to find\n"
        << "[XX]: 4096 non-ASCII bytes rendered, " << brackets.size() << " characters\n"
        << "held: the text is a script string already; from C++: the text is a QString converted\n"
        << "      on every call, as when a binding reads SerialPortManager.receivedData\n\n"
        << "parser     text      | stream 1024    4096   16384   65536 |    none |    [XX]\n";
    for (const Parser &p : parsers) {
        const QJSValue bare = parser(p.function);
        for (const bool held : {true, false}) {
            const auto time = [&](const QString &text) {
                return held ? alone(p.function, text)
                            : medianMicroseconds(bare, {QJSValue(text)}, calls);
            };
            out << QString::fromLatin1(p.label).leftJustified(10)
                << (held ? " held     " : " from C++ ") << " |      ";
            for (const qsizetype size : streamSizes)
                out << cell(time(render(stream(p.frame, size))), 8);
            out << " | " << cell(time(render(stream(p.otherFrame, 4096))), 7) << " | "
                << cell(time(brackets), 7) << '\n';
            out.flush();
        }
    }
    return 0;
}

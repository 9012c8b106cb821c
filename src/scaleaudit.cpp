#include "scaleaudit.h"

#include "protocol/weighgrammar.h"
#include "recordstore.h"
#include "sensorchannel.h"
#include "sensorparameters.h"
#include "sensorsession.h"

#include <QQmlEngine>

#include <type_traits>
#include <utility>

namespace {

// A setting typed in the console (or sent past the channel) has only the channel's outcome:
// nothing reads it back.
QString settingOutcome(const QString &channelOutcome)
{
    if (channelOutcome == QLatin1String("ok"))
        return QStringLiteral("accepted");
    if (channelOutcome == QLatin1String("timeout"))
        return QStringLiteral("no-reply");
    if (channelOutcome == QLatin1String("closed"))
        return QStringLiteral("lost");
    return channelOutcome; // refused, unsent
}

} // namespace

ScaleAudit::ScaleAudit(AppSettings *settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    if (!settings)
        return;
    // The settings say only that a value changed: the one before is kept here.
    m_format = settings->outputFormat();
    m_unit = settings->weightUnit();
    connect(settings, &AppSettings::outputFormatChanged, this, &ScaleAudit::onFormatChanged);
    connect(settings, &AppSettings::weightUnitChanged, this, &ScaleAudit::onUnitChanged);
}

static_assert(!std::is_default_constructible_v<ScaleAudit>);

ScaleAudit *ScaleAudit::create(QQmlEngine *engine, QJSEngine *)
{
    const char *key = "_peloraScaleAudit";
    if (auto *audit = engine->property(key).value<ScaleAudit *>())
        return audit;
    auto *audit = new ScaleAudit(AppSettings::create(engine, nullptr), engine);
    QQmlEngine::setObjectOwnership(audit, QQmlEngine::CppOwnership);
    // What it notices goes into the records' chain, in turn with the records.
    connect(audit, &ScaleAudit::happened, RecordStore::create(engine, nullptr),
            &RecordStore::addEvent);
    engine->setProperty(key, QVariant::fromValue(audit));
    return audit;
}

void ScaleAudit::follow(SerialPortManager *port)
{
    if (m_port == port)
        return;
    for (const QMetaObject::Connection &c : std::as_const(m_portConnections))
        disconnect(c);
    m_portConnections.clear();
    m_port = port;
    m_openPort = port && port->isConnected() ? port->portName() : QString();
    if (!port)
        return;
    SerialTraffic *traffic = port->traffic();
    SensorSession *session = port->session();
    m_portConnections << connect(traffic, &SerialTraffic::opened, this, &ScaleAudit::onOpened)
                      << connect(traffic, &SerialTraffic::closed, this, &ScaleAudit::onClosed)
                      << connect(session->channel(), &SensorChannel::commandSettled, this,
                                 &ScaleAudit::onCommandSettled)
                      << connect(session->parameters(), &SensorParameters::writeSettled, this,
                                 &ScaleAudit::onWriteSettled);
}

void ScaleAudit::followRecorder(WeighRecorder *recorder)
{
    if (m_recorder == recorder)
        return;
    disconnect(m_recorderConnection);
    m_recorder = recorder;
    if (recorder)
        m_recorderConnection = connect(recorder, &WeighRecorder::minLoadChanged, this,
                                       &ScaleAudit::onMinLoadChanged);
}

void ScaleAudit::onOpened(const QString &portName)
{
    m_openPort = portName;
    Q_EMIT happened(QStringLiteral("connect"),
                    {{QStringLiteral("port"), portName},
                     {QStringLiteral("baud"), QString::number(m_port ? m_port->baudRate() : 0)}});
}

void ScaleAudit::onClosed()
{
    Q_EMIT happened(QStringLiteral("disconnect"),
                    {{QStringLiteral("port"), std::exchange(m_openPort, {})}});
}

void ScaleAudit::onCommandSettled(int id, const QString &command, const QString &outcome,
                                  const QString &reply)
{
    const QString outcomeKey = QStringLiteral("outcome");
    const QString replyKey = QStringLiteral("reply");
    if (command == QLatin1String("AT+ZERO") || command == QLatin1String("AT+TARE")) {
        Q_EMIT happened(
                command.mid(3).toLower(),
                {{QStringLiteral("command"), command}, {outcomeKey, outcome}, {replyKey, reply}});
        return;
    }
    if (command == QLatin1String("AT+ZCAL")) {
        Q_EMIT happened(QStringLiteral("calibrate-zero"),
                        {{outcomeKey, outcome}, {replyKey, reply}});
        return;
    }
    // The setting's shape is the shape of its echo.
    const WeighGrammar::Line setting = WeighGrammar::classify(command);
    if (setting.kind != WeighGrammar::Echo)
        return;
    if (setting.key == QLatin1String("WCAL")) {
        Q_EMIT happened(QStringLiteral("calibrate-span"),
                        {{QStringLiteral("grams"), setting.value},
                         {outcomeKey, outcome},
                         {replyKey, reply}});
        return;
    }
    SensorParameters *parameters = m_port ? m_port->session()->parameters() : nullptr;
    // The sensor page's own writes are told once they are read back.
    if (parameters && id > 0 && parameters->isWrite(id))
        return;
    const QString known = parameters ? parameters->rows()
                                               .value(setting.key)
                                               .toMap()
                                               .value(QStringLiteral("value"))
                                               .toString()
                                     : QString();
    Q_EMIT happened(QStringLiteral("setting"),
                    {{QStringLiteral("key"), setting.key},
                     {QStringLiteral("old"), known},
                     {QStringLiteral("new"), setting.value},
                     {outcomeKey, settingOutcome(outcome)},
                     {replyKey, reply}});
}

void ScaleAudit::onWriteSettled(const QString &key, const QString &oldValue, const QString &value,
                                const QString &outcome, const QString &reply)
{
    Q_EMIT happened(QStringLiteral("setting"),
                    {{QStringLiteral("key"), key},
                     {QStringLiteral("old"), oldValue},
                     {QStringLiteral("new"), value},
                     {QStringLiteral("outcome"), outcome},
                     {QStringLiteral("reply"), reply}});
}

void ScaleAudit::onFormatChanged()
{
    const int now = m_settings ? m_settings->outputFormat() : m_format;
    if (now == m_format)
        return;
    Q_EMIT happened(QStringLiteral("format"),
                    {{QStringLiteral("old"), QString::number(std::exchange(m_format, now))},
                     {QStringLiteral("new"), QString::number(now)}});
}

void ScaleAudit::onUnitChanged()
{
    const int now = m_settings ? m_settings->weightUnit() : m_unit;
    if (now == m_unit)
        return;
    Q_EMIT happened(QStringLiteral("unit"),
                    {{QStringLiteral("old"), QString::number(std::exchange(m_unit, now))},
                     {QStringLiteral("new"), QString::number(now)}});
}

void ScaleAudit::onMinLoadChanged(int oldDivisions, int divisions)
{
    Q_EMIT happened(QStringLiteral("min-load"),
                    {{QStringLiteral("old"), QString::number(oldDivisions)},
                     {QStringLiteral("new"), QString::number(divisions)}});
}

#include "keyboardwedge.h"

#include "appsettings.h"
#include "keytyper.h"
#include "recordstore.h"
#include "settingsstore.h"
#include "weightreading.h"

#include <QQmlEngine>

#include <cmath>

namespace {

// The INI store gives text back ("true", "1"); a fresh value is still a bool or an int.
bool readBool(const QVariant &value, bool fallback)
{
    if (!value.isValid())
        return fallback;
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return fallback;
}

} // namespace

KeyboardWedge::KeyboardWedge(QObject *parent)
    : KeyboardWedge(SettingsStore::create(nullptr, nullptr), nullptr, parent)
{ }

KeyboardWedge::KeyboardWedge(SettingsStore *settings, RecordStore *records, QObject *parent)
    : QObject(parent), m_settings(settings), m_typer(KeyTyper::create(this))
{
    m_reason = m_typer->unavailableReason();
    load();
    if (settings) {
        connect(settings, &SettingsStore::valueChanged, this, [this](const QString &key) {
            if (key.isEmpty() || key.startsWith(QLatin1String("wedge/")))
                load();
        });
    }
    if (records)
        connect(records, &RecordStore::recordWritten, this, &KeyboardWedge::onRecordWritten);
    updateHotkey();
}

KeyboardWedge::~KeyboardWedge() = default;

KeyboardWedge *KeyboardWedge::create(QQmlEngine *engine, QJSEngine *)
{
    const char *key = "_peloraKeyboardWedge";
    if (auto *wedge = engine->property(key).value<KeyboardWedge *>())
        return wedge;
    auto *wedge = new KeyboardWedge(SettingsStore::create(engine, nullptr),
                                    RecordStore::create(engine, nullptr), engine);
    QQmlEngine::setObjectOwnership(wedge, QQmlEngine::CppOwnership);
    engine->setProperty(key, QVariant::fromValue(wedge));
    return wedge;
}

void KeyboardWedge::load()
{
    const auto value = [this](const char *key) {
        return m_settings ? m_settings->value(QLatin1String("wedge/") + QLatin1String(key))
                          : QVariant();
    };
    const bool enabled = readBool(value("enabled"), false);
    const bool withUnit = readBool(value("withUnit"), false);
    const bool comma = readBool(value("decimalComma"), false);
    bool ok = false;
    int terminator = value("terminator").toInt(&ok);
    if (!ok || terminator < NoTerminator || terminator > Enter)
        terminator = Tab;
    const bool afterRecord = readBool(value("afterRecord"), false);

    const auto set = [this](auto &member, auto value, void (KeyboardWedge::*signal)()) {
        if (member == value)
            return;
        member = value;
        Q_EMIT(this->*signal)();
    };
    set(m_enabled, enabled, &KeyboardWedge::enabledChanged);
    set(m_withUnit, withUnit, &KeyboardWedge::withUnitChanged);
    set(m_decimalComma, comma, &KeyboardWedge::decimalCommaChanged);
    set(m_terminator, terminator, &KeyboardWedge::terminatorChanged);
    set(m_afterRecord, afterRecord, &KeyboardWedge::afterRecordChanged);
    updateHotkey();
    updateCanSend();
}

void KeyboardWedge::store(const char *key, const QVariant &value)
{
    if (m_settings)
        m_settings->setValue(QLatin1String("wedge/") + QLatin1String(key), value);
}

void KeyboardWedge::setEnabled(bool on)
{
    store("enabled", on);
    if (!m_settings && on != m_enabled) {
        m_enabled = on;
        Q_EMIT enabledChanged();
        updateHotkey();
        updateCanSend();
    }
}

void KeyboardWedge::setWithUnit(bool on)
{
    store("withUnit", on);
    if (!m_settings && on != m_withUnit) {
        m_withUnit = on;
        Q_EMIT withUnitChanged();
    }
}

void KeyboardWedge::setDecimalComma(bool on)
{
    store("decimalComma", on);
    if (!m_settings && on != m_decimalComma) {
        m_decimalComma = on;
        Q_EMIT decimalCommaChanged();
    }
}

void KeyboardWedge::setTerminator(int terminator)
{
    if (terminator < NoTerminator || terminator > Enter)
        return;
    store("terminator", terminator);
    if (!m_settings && terminator != m_terminator) {
        m_terminator = terminator;
        Q_EMIT terminatorChanged();
    }
}

void KeyboardWedge::setAfterRecord(bool on)
{
    store("afterRecord", on);
    if (!m_settings && on != m_afterRecord) {
        m_afterRecord = on;
        Q_EMIT afterRecordChanged();
    }
}

QString KeyboardWedge::format(double kg, int unitIndex, bool withUnit, bool decimalComma,
                              int terminator)
{
    // The display's digits: three decimals, no sign on a weight that rounds to zero, and
    // no thousands separators whatever the locale (a form would read "1,234" as two numbers).
    const double shown = unitIndex == 0 ? kg * 2.0 : kg;
    QString text = QString::number(std::abs(shown) < 0.0005 ? 0.0 : shown, 'f', 3);
    if (decimalComma)
        text.replace(u'.', u',');
    if (withUnit)
        text += unitIndex == 0 ? tr(" 斤") : QStringLiteral(" kg");
    if (terminator == Tab)
        text += u'\t';
    else if (terminator == Enter)
        text += u'\n';
    return text;
}

QString KeyboardWedge::textFor(double kg, int unitIndex) const
{
    return format(kg, unitIndex, m_withUnit, m_decimalComma, m_terminator);
}

QString KeyboardWedge::visible(const QString &text)
{
    QString out = text;
    out.replace(u'\t', QStringLiteral("[Tab]"));
    out.replace(u'\n', QStringLiteral("[Enter]"));
    return out;
}

int KeyboardWedge::unitIndex() const
{
    AppSettings *settings = AppSettings::instance();
    return settings ? settings->weightUnit() : 1;
}

void KeyboardWedge::follow(WeightReading *reading)
{
    if (m_reading)
        disconnect(m_reading, nullptr, this, nullptr);
    m_reading = reading;
    if (reading) {
        for (const auto signal : {&WeightReading::liveChanged, &WeightReading::stableChanged,
                                  &WeightReading::overloadChanged})
            connect(reading, signal, this, &KeyboardWedge::updateCanSend);
    }
    updateCanSend();
}

bool KeyboardWedge::canSend() const
{
    return m_enabled && available() && m_reading && m_reading->live() && !m_reading->overload()
            && m_reading->stable();
}

void KeyboardWedge::updateCanSend()
{
    const bool can = canSend();
    if (can == m_canSend)
        return;
    m_canSend = can;
    Q_EMIT canSendChanged();
}

bool KeyboardWedge::send()
{
    if (!available())
        return refuse(m_reason);
    if (!m_enabled)
        return refuse(tr("键盘输出未开启，未输入"));
    // Only the sensor's current, settled weight is ever typed.
    if (!m_reading || !m_reading->connected())
        return refuse(tr("传感器未连接，未输入"));
    if (!m_reading->hasFrame())
        return refuse(tr("还没有读数，未输入"));
    if (m_reading->stale())
        return refuse(tr("读数已过时（传感器没有新数据），未输入"));
    if (m_reading->overload())
        return refuse(tr("超载，未输入"));
    if (!m_reading->stable())
        return refuse(tr("读数不稳定，未输入"));
    return typeWeight(m_reading->weightKg());
}

void KeyboardWedge::onRecordWritten(const QVariantMap &record)
{
    // A record made by hand is made in Pelora: the operator is not in the other program.
    if (!m_enabled || !m_afterRecord || !available()
        || record.value(QStringLiteral("manual")).toBool())
        return;
    typeWeight(record.value(QStringLiteral("weightKg")).toDouble());
}

bool KeyboardWedge::typeWeight(double kg)
{
    const QString text = textFor(kg, unitIndex());
    const QString why = m_typer->prepareTarget();
    if (!why.isEmpty())
        return refuse(why);
    if (!m_typer->type(text))
        return refuse(tr("系统拒绝了键盘输入，未输入"));
    const QString shown = format(kg, unitIndex(), true, m_decimalComma, NoTerminator);
    say(tr("已输入 %1").arg(shown));
    Q_EMIT typed(text);
    return true;
}

bool KeyboardWedge::refuse(const QString &why)
{
    say(why);
    return false;
}

void KeyboardWedge::say(const QString &text)
{
    // Said again when it repeats, so that a page shows it afresh.
    m_lastMessage = text;
    Q_EMIT lastMessageChanged();
}

void KeyboardWedge::updateHotkey()
{
    if (!m_typer)
        return;
    m_typer->setHotkey(m_enabled && available(), [this] { send(); });
}

#include "appsettings.h"
#include "settingsstore.h"

#include <QLatin1String>
#include <QMetaType>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <iterator>
#include <limits>
#include <type_traits>

namespace {

enum class Kind {
    Text, // its text; absent or null reads ""
    Integer, // readInteger() within [low, high], otherwise the default
    Flag // true only when its text is "true"
};

struct Setting
{
    QLatin1String key;
    Kind kind;
    int fallback; // an integer's default
    int low, high;
    void (AppSettings::*changed)();
};

constexpr int anyInt = std::numeric_limits<int>::max();

// Every stored setting; the order is the one of the indices below.
const Setting settings[] = {
        {QLatin1String("serial/portName"), Kind::Text, 0, 0, 0, &AppSettings::portNameChanged},
        {QLatin1String("serial/baudRate"), Kind::Integer, 115200, -anyInt - 1, anyInt,
         &AppSettings::baudRateChanged},
        {QLatin1String("serial/portIdentity"), Kind::Text, 0, 0, 0,
         &AppSettings::portIdentityChanged},
        {QLatin1String("scale/outputFormatIndex"), Kind::Integer, 1, 1, 3,
         &AppSettings::outputFormatChanged},
        {QLatin1String("weight/unit"), Kind::Integer, 1, 0, 1, &AppSettings::weightUnitChanged},
        {QLatin1String("display/bigDigits"), Kind::Flag, 0, 0, 0, &AppSettings::bigDigitsChanged},
};
enum { PortName, BaudRate, PortIdentity, OutputFormat, WeightUnit, BigDigits, SettingCount };
static_assert(std::size(settings) == SettingCount);

// A value's text as a script's String(value) makes it: lists joined by commas, an absent
// value "undefined".
QString scriptText(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
        return QStringLiteral("undefined");
    case QMetaType::Nullptr:
        return QStringLiteral("null");
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QStringList items;
        for (const QVariant &item : value.toList())
            items.append(item.isNull() ? QString() : scriptText(item));
        return items.join(u',');
    }
    default:
        return value.toString();
    }
}

// The white space a script's parseInt skips.
bool isScriptSpace(QChar c)
{
    return (c >= u'\t' && c <= u'\r') || c == u'\uFEFF' || c.category() == QChar::Separator_Space
            || c == u'\u2028' || c == u'\u2029';
}

} // namespace

AppSettings::AppSettings(SettingsStore *store, QObject *parent)
    : QObject(parent), m_store(store), m_sharedStore(!store)
{
    if (store)
        connect(store, &SettingsStore::valueChanged, this, &AppSettings::announceChanges);
    else
        followSharedStore();
    for (int i = 0; i < SettingCount; ++i)
        m_announced[i] = read(i);
}

static_assert(!std::is_default_constructible_v<AppSettings>);

AppSettings *AppSettings::create(QQmlEngine *, QJSEngine *)
{
    static QMutex creation;
    static QPointer<AppSettings> instance;
    QMutexLocker locker(&creation);
    if (!instance) {
        instance = new AppSettings(nullptr);
        return instance;
    }
    AppSettings *existing = instance;
    locker.unlock(); // following may announce changes, whose handlers may ask again
    existing->followSharedStore();
    return existing;
}

AppSettings *AppSettings::instance()
{
    return create(nullptr, nullptr);
}

std::optional<int> AppSettings::readInteger(const QVariant &value)
{
    const QString text = scriptText(value);
    qsizetype i = 0;
    while (i < text.size() && isScriptSpace(text.at(i)))
        ++i;
    const bool negative = i < text.size() && text.at(i) == u'-';
    if (i < text.size() && (text.at(i) == u'-' || text.at(i) == u'+'))
        ++i;
    int base = 10;
    if (text.size() - i >= 2 && text.at(i) == u'0'
        && (text.at(i + 1) == u'x' || text.at(i + 1) == u'X')) {
        base = 16;
        i += 2;
    }
    const qint64 limit = negative ? qint64(anyInt) + 1 : anyInt;
    qint64 magnitude = 0;
    const qsizetype first = i;
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit < 0)
            break;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return std::nullopt;
    }
    if (i == first)
        return std::nullopt;
    return int(negative ? -magnitude : magnitude);
}

QString AppSettings::portName() const
{
    return read(PortName).toString();
}

int AppSettings::baudRate() const
{
    return read(BaudRate).toInt();
}

QString AppSettings::portIdentity() const
{
    return read(PortIdentity).toString();
}

int AppSettings::outputFormat() const
{
    return read(OutputFormat).toInt();
}

int AppSettings::weightUnit() const
{
    return read(WeightUnit).toInt();
}

bool AppSettings::bigDigits() const
{
    return read(BigDigits).toBool();
}

void AppSettings::setPortName(const QString &name)
{
    write(PortName, name);
}

void AppSettings::setBaudRate(int rate)
{
    write(BaudRate, rate);
}

void AppSettings::setPortIdentity(const QString &identity)
{
    write(PortIdentity, identity);
}

void AppSettings::setOutputFormat(int format)
{
    write(OutputFormat, format);
}

void AppSettings::setWeightUnit(int unit)
{
    write(WeightUnit, unit);
}

void AppSettings::setBigDigits(bool big)
{
    write(BigDigits, big);
}

// The shared store's owner may delete it (an engine deletes the singletons it owns). Until
// this follows the one shared after it, reads go to that one and changes are caught up with
// on following.
void AppSettings::followSharedStore()
{
    if (m_store || !m_sharedStore)
        return;
    const bool catchUp = m_announced[0].isValid(); // not while constructing
    m_store = SettingsStore::create(nullptr, nullptr);
    connect(m_store, &SettingsStore::valueChanged, this, &AppSettings::announceChanges);
    connect(m_store, &QObject::destroyed, this, [this] {
        // Not at once: the engine deleting the store may be about to delete this object too,
        // and a store made now would keep the settings path of this moment.
        QMetaObject::invokeMethod(this, &AppSettings::followSharedStore, Qt::QueuedConnection);
    });
    if (catchUp)
        announceChanges();
}

QVariant AppSettings::read(int setting) const
{
    const Setting &s = settings[setting];
    const SettingsStore *store = m_store ? m_store.data()
            : m_sharedStore              ? SettingsStore::create(nullptr, nullptr)
                                         : nullptr;
    const QVariant value = store ? store->value(s.key) : QVariant();
    switch (s.kind) {
    case Kind::Text:
        return value.isNull() ? QString() : scriptText(value);
    case Kind::Integer: {
        const std::optional<int> number = readInteger(value);
        return number && *number >= s.low && *number <= s.high ? *number : s.fallback;
    }
    case Kind::Flag:
        return scriptText(value) == QLatin1String("true");
    }
    return QVariant();
}

void AppSettings::write(int setting, const QVariant &value)
{
    followSharedStore();
    if (m_store)
        m_store->setValue(settings[setting].key, value);
}

// Any change may touch any setting (a group removed, the store cleared, a file imported).
void AppSettings::announceChanges()
{
    for (int i = 0; i < SettingCount; ++i) {
        QVariant now = read(i);
        if (now == m_announced[i])
            continue;
        m_announced[i] = std::move(now);
        Q_EMIT(this->*settings[i].changed)();
    }
}

#include "settingsstore.h"
#include "inicodec.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMutexLocker>
#include <QPointer>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QtGlobal>

#include <type_traits>
#include <utility>
#include <vector>

namespace {

// QSettings reads a key made only of separators as "the current group" and would wipe
// every key for it; such a key names nothing here.
bool namesNothing(const QString &key)
{
    for (const QChar c : key) {
        if (c != u'/' && c != u'\\')
            return false;
    }
    return true;
}

} // namespace

// Where the native settings are an INI file (Linux and other Unix desktops), the store
// writes that file itself through IniCodec: Qt's own writer (Qt 6.4 at least) commits a file
// whose last buffer could not be flushed (a full disk), so one change could leave the settings
// file cut or empty. Windows keeps its registry.
#if !defined(Q_OS_WIN) && !defined(Q_OS_DARWIN)
#define PELORA_SETTINGS_INI_FILE
#endif

namespace {

QSettings *openSettings(QObject *parent)
{
    const QString organization = QCoreApplication::organizationName();
    const QString application = QCoreApplication::applicationName();
#ifdef PELORA_SETTINGS_INI_FILE
    // The file stays where the native format keeps it, QSettings::setPath included:
    // <user folder>/<organization>/<application>.conf.
    const QString organizationFile
            = QSettings(QSettings::NativeFormat, QSettings::UserScope, organization).fileName();
    const QString tail
            = (organization.isEmpty() ? QStringLiteral("Unknown Organization") : organization)
            + QStringLiteral(".conf");
    if (organizationFile.endsWith(tail))
        QSettings::setPath(IniCodec::format(), QSettings::UserScope,
                           organizationFile.chopped(tail.size()));
    return new QSettings(IniCodec::format(), QSettings::UserScope, organization, application,
                         parent);
#else
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, organization, application,
                         parent);
#endif
}

// Writes what is pending. When the file cannot take it, the change stays in memory only
// and is written with the next one; the log says so.
void flush(QSettings &settings)
{
    settings.sync();
#ifdef PELORA_SETTINGS_INI_FILE
    // status() keeps the first error for the object's whole life, so a fresh object on the
    // same files judges this write: making one writes whatever the process still holds.
    const QSettings fresh(settings.format(), settings.scope(), settings.organizationName(),
                          settings.applicationName());
    if (fresh.status() == QSettings::AccessError)
        qWarning("Settings could not be written to %ls; the change is kept in memory only",
                 qUtf16Printable(settings.fileName()));
#endif
}

} // namespace

// Built from the application identity at construction, so that a test's QSettings::setPath
// redirection applies.
SettingsStore::SettingsStore(QObject *parent) : QObject(parent), m_settings(openSettings(this)) { }

SettingsStore::~SettingsStore()
{
    QMutexLocker locker(&m_mutex);
    flush(*m_settings);
    delete m_settings;
    m_settings = nullptr;
}

// A default-constructible singleton is built by the engine itself, bypassing create().
static_assert(!std::is_default_constructible_v<SettingsStore>);

SettingsStore *SettingsStore::create(QQmlEngine *, QJSEngine *)
{
    static QMutex creation;
    static QPointer<SettingsStore> instance;
    QMutexLocker locker(&creation);
    if (!instance)
        instance = new SettingsStore(nullptr);
    return instance;
}

void SettingsStore::setValue(const QString &key, const QVariant &value)
{
    if (namesNothing(key))
        return; // QSettings refuses it too; a signal with an empty key would read as clear()
    {
        QMutexLocker locker(&m_mutex);
        m_settings->setValue(key, value);
        flush(*m_settings);
    }
    Q_EMIT valueChanged(key, value);
}

QVariant SettingsStore::value(const QString &key, const QVariant &def) const
{
    QMutexLocker locker(&m_mutex);
    return m_settings->value(key, def);
}

bool SettingsStore::contains(const QString &key) const
{
    QMutexLocker locker(&m_mutex);
    return m_settings->contains(key);
}

void SettingsStore::remove(const QString &key)
{
    if (namesNothing(key))
        return;
    {
        QMutexLocker locker(&m_mutex);
        m_settings->remove(key);
        flush(*m_settings);
    }
    Q_EMIT valueChanged(key, QVariant());
}

void SettingsStore::clear()
{
    {
        QMutexLocker locker(&m_mutex);
        m_settings->clear();
        flush(*m_settings);
    }
    Q_EMIT valueChanged(QString(), QVariant());
}

bool SettingsStore::saveToJson(const QString &filePath) const
{
    QMutexLocker locker(&m_mutex);

    QJsonObject object; // keeps its members sorted by name
    const QStringList keys = m_settings->allKeys();
    for (const QString &key : keys)
        object.insert(key, QJsonValue::fromVariant(m_settings->value(key)));

    // Written beside the target and renamed over it only when complete, so a full disk or
    // a failed write leaves the previous export intact and is reported.
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Indented);
    // A short write (a file size limit, a full disk) sets no error on the file, and an export
    // smaller than the file's buffer fails only when the buffer is flushed, which commit()
    // ignores in Qt 6.4: check the count and the flush ourselves.
    if (file.write(json) != json.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool SettingsStore::loadFromJson(const QString &filePath, bool merge)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QByteArray content = file.readAll();
    file.close();

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();

    std::vector<std::pair<QString, QVariant>> stored;
    stored.reserve(object.size());
    {
        QMutexLocker locker(&m_mutex);
        if (!merge)
            m_settings->clear();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (namesNothing(it.key()))
                continue;
            const QVariant value = it.value().toVariant();
            m_settings->setValue(it.key(), value);
            stored.emplace_back(it.key(), value);
        }
        flush(*m_settings);
    }
    // Announced only now, so a handler of the first key already reads every new value.
    for (const auto &[key, value] : stored)
        Q_EMIT valueChanged(key, value);
    return true;
}

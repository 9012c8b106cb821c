#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;
class QSettings;

// The application's persistent key/value store over the platform settings. Every change is
// flushed at once and announced with valueChanged, emitted after the lock is released so
// that handlers may read the store again. Safe to call from any thread.
class SettingsStore : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    // No default argument on purpose: the engine builds a default-constructible singleton
    // itself and never calls create(). Pass nullptr for a parentless store.
    explicit SettingsStore(QObject *parent);
    ~SettingsStore() override;

    // One store for the whole process while it lives. Whoever owns it may delete it (an
    // engine deletes the singletons it owns), so a later call makes a fresh one instead of
    // handing out a dangling pointer.
    static SettingsStore *create(QQmlEngine *, QJSEngine *);

    Q_INVOKABLE void setValue(const QString &key, const QVariant &value);
    Q_INVOKABLE QVariant value(const QString &key, const QVariant &def = QVariant()) const;
    Q_INVOKABLE bool contains(const QString &key) const;
    Q_INVOKABLE void remove(const QString &key);
    Q_INVOKABLE void clear();
    Q_INVOKABLE bool saveToJson(const QString &filePath) const;
    Q_INVOKABLE bool loadFromJson(const QString &filePath, bool merge = true);

Q_SIGNALS:
    void valueChanged(const QString &key, const QVariant &value);

private:
    QSettings *m_settings;
    mutable QMutex m_mutex;
};

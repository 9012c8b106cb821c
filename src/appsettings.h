#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

#include <array>
#include <optional>

class QQmlEngine;
class QJSEngine;
class SettingsStore;

// The application's stored settings as typed properties over a SettingsStore: each key with
// its type, default and reading rule in one place. Values are read from the store when asked,
// so a handler of the store's valueChanged already reads the new one; each property announces
// itself only when its value really changes. The setters always store, as every store is
// announced by the store itself.
class AppSettings : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(QString portName READ portName WRITE setPortName NOTIFY portNameChanged)
    Q_PROPERTY(int baudRate READ baudRate WRITE setBaudRate NOTIFY baudRateChanged)
    Q_PROPERTY(
            QString portIdentity READ portIdentity WRITE setPortIdentity NOTIFY portIdentityChanged)
    Q_PROPERTY(int outputFormat READ outputFormat WRITE setOutputFormat NOTIFY outputFormatChanged)
    Q_PROPERTY(int weightUnit READ weightUnit WRITE setWeightUnit NOTIFY weightUnitChanged)
    Q_PROPERTY(bool bigDigits READ bigDigits WRITE setBigDigits NOTIFY bigDigitsChanged)

public:
    // Over `store`, or over the process-wide SettingsStore for nullptr (taken afresh should
    // its owner delete it). No default argument: the engine would build a default-constructible
    // singleton itself and never call create().
    explicit AppSettings(SettingsStore *store, QObject *parent = nullptr);

    // One object for the whole process while it lives, over the process-wide store. An engine
    // deletes the singletons it owns, so hold it in a QPointer or ask again each time: a later
    // call makes a fresh one instead of handing out a dangling pointer.
    static AppSettings *create(QQmlEngine *, QJSEngine *);
    static AppSettings *instance();

    // A stored integer as the pages' scripts read it, parseInt(String(value)): leading white
    // space, an optional sign, "0x" for hexadecimal, then the leading digits. Nothing without
    // a digit, nor a number outside int.
    static std::optional<int> readInteger(const QVariant &value);

    QString portName() const;
    int baudRate() const;
    QString portIdentity() const;
    int outputFormat() const; // 1 to 3
    int weightUnit() const; // 0 or 1
    bool bigDigits() const;

    Q_INVOKABLE void setPortName(const QString &name);
    Q_INVOKABLE void setBaudRate(int rate);
    Q_INVOKABLE void setPortIdentity(const QString &identity);
    Q_INVOKABLE void setOutputFormat(int format);
    Q_INVOKABLE void setWeightUnit(int unit);
    Q_INVOKABLE void setBigDigits(bool big);

Q_SIGNALS:
    void portNameChanged();
    void baudRateChanged();
    void portIdentityChanged();
    void outputFormatChanged();
    void weightUnitChanged();
    void bigDigitsChanged();

private:
    void followSharedStore();
    QVariant read(int setting) const;
    void write(int setting, const QVariant &value);
    void announceChanges();

    QPointer<SettingsStore> m_store;
    const bool m_sharedStore;
    std::array<QVariant, 6> m_announced; // each value as last announced
};

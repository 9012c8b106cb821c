#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <memory>

class KeyTyper;
class QQmlEngine;
class QJSEngine;
class RecordStore;
class SettingsStore;
class WeightReading;

// The keyboard wedge: types the current weight into whichever program has the keyboard
// focus (an order form, a spreadsheet, an ERP), as if the operator had typed it, on the
// button, on F4 (in any program while it is on) and, when asked, after every automatic record.
//
// It never types a weight that is not the sensor's current, settled one. Its settings are
// kept under "wedge/" in the settings store: enabled (false), withUnit (false), decimalComma
// (false), terminator (1: Tab, which moves a form or a spreadsheet to the next field),
// afterRecord (false).
class KeyboardWedge : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)
    Q_PROPERTY(bool withUnit READ withUnit WRITE setWithUnit NOTIFY withUnitChanged)
    Q_PROPERTY(bool decimalComma READ decimalComma WRITE setDecimalComma NOTIFY decimalCommaChanged)
    Q_PROPERTY(int terminator READ terminator WRITE setTerminator NOTIFY terminatorChanged)
    Q_PROPERTY(bool afterRecord READ afterRecord WRITE setAfterRecord NOTIFY afterRecordChanged)
    Q_PROPERTY(bool available READ available CONSTANT)
    Q_PROPERTY(QString unavailableReason READ unavailableReason CONSTANT)
    Q_PROPERTY(QString lastMessage READ lastMessage NOTIFY lastMessageChanged)
    // On, available, and the followed reading is one that may be typed.
    Q_PROPERTY(bool canSend READ canSend NOTIFY canSendChanged)

public:
    // What follows the weight.
    enum Terminator { NoTerminator, Tab, Enter };
    Q_ENUM(Terminator)

    explicit KeyboardWedge(QObject *parent = nullptr);
    KeyboardWedge(SettingsStore *settings, RecordStore *records, QObject *parent = nullptr);
    ~KeyboardWedge() override;
    static KeyboardWedge *create(QQmlEngine *engine, QJSEngine *);

    bool enabled() const { return m_enabled; }
    void setEnabled(bool on);
    bool withUnit() const { return m_withUnit; }
    void setWithUnit(bool on);
    bool decimalComma() const { return m_decimalComma; }
    void setDecimalComma(bool on);
    int terminator() const { return m_terminator; }
    void setTerminator(int terminator);
    bool afterRecord() const { return m_afterRecord; }
    void setAfterRecord(bool on);
    bool available() const { return m_reason.isEmpty(); }
    QString unavailableReason() const { return m_reason; }
    QString lastMessage() const { return m_lastMessage; }
    bool canSend() const;

    // The exact text typed for a weight in kilograms, shown in the unit of the weight unit
    // setting (0 jin, 1 kg), with the stored options.
    Q_INVOKABLE QString textFor(double kg, int unitIndex) const;
    // The same with the options given, for a preview of options not kept yet.
    Q_INVOKABLE static QString format(double kg, int unitIndex, bool withUnit, bool decimalComma,
                                      int terminator);
    // Text with its Tab and Enter written out, for showing it.
    Q_INVOKABLE static QString visible(const QString &text);

    // The reading whose weight send() types.
    Q_INVOKABLE void follow(WeightReading *reading);
    // Types the followed reading's weight into the focused program; false, with lastMessage
    // saying why, when nothing was typed.
    Q_INVOKABLE bool send();

Q_SIGNALS:
    void enabledChanged();
    void withUnitChanged();
    void decimalCommaChanged();
    void terminatorChanged();
    void afterRecordChanged();
    void lastMessageChanged();
    void canSendChanged();
    // Each time something was typed, with the text.
    void typed(const QString &text);

private:
    void load();
    void store(const char *key, const QVariant &value);
    bool typeWeight(double kg);
    bool refuse(const QString &why);
    void say(const QString &text);
    void onRecordWritten(const QVariantMap &record);
    void updateHotkey();
    void updateCanSend();
    int unitIndex() const;

    QPointer<SettingsStore> m_settings;
    QPointer<WeightReading> m_reading;
    std::unique_ptr<KeyTyper> m_typer;
    QString m_reason;
    QString m_lastMessage;
    bool m_enabled = false;
    bool m_withUnit = false;
    bool m_decimalComma = false;
    int m_terminator = Tab;
    bool m_afterRecord = false;
    bool m_canSend = false;
};

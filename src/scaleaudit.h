#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include "appsettings.h"
#include "serialportmanager.h"
#include "weighrecorder.h"

class QQmlEngine;
class QJSEngine;

// Notices everything that changes what the scale reports and announces each as one event for
// the records' audit log: the link opening and closing, zero and tare, the sensor's settings
// and calibration (whoever sent them: the display's buttons, the sensor page, the console),
// the output format and unit, and the recorder's minimum load. The outcome of a command is
// what the sensor answered, never that it was sent. Every field is a string.
//
//   connect          port, baud
//   disconnect       port
//   zero, tare       command, outcome (ok, refused, timeout, closed, unsent), reply
//   setting          key, old, new, outcome, reply; outcome as SensorParameters::writeSettled
//                    gives it for the sensor page, and for a setting typed in the console or
//                    sent past the channel: accepted (the sensor said yes, nothing read back),
//                    refused, no-reply, lost or unsent
//   calibrate-zero   outcome, reply
//   calibrate-span   grams, outcome, reply
//   format, unit     old, new (the stored numbers)
//   min-load         old, new (divisions)
class ScaleAudit : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    // Following the output format and unit of settings (none for nullptr). No default
    // argument: the engine would build a default-constructible singleton itself and never
    // call create().
    explicit ScaleAudit(AppSettings *settings, QObject *parent = nullptr);

    // One per engine, following the application's settings.
    static ScaleAudit *create(QQmlEngine *engine, QJSEngine *);

    // The link, and the conversation with the sensor on it; nullptr follows none.
    Q_INVOKABLE void follow(SerialPortManager *port);
    // The recorder whose minimum load counts.
    Q_INVOKABLE void followRecorder(WeighRecorder *recorder);

Q_SIGNALS:
    void happened(const QString &type, const QVariantMap &fields);

private:
    void onOpened(const QString &portName);
    void onClosed();
    void onCommandSettled(int id, const QString &command, const QString &outcome,
                          const QString &reply);
    void onWriteSettled(const QString &key, const QString &oldValue, const QString &value,
                        const QString &outcome, const QString &reply);
    void onFormatChanged();
    void onUnitChanged();
    void onMinLoadChanged(int oldDivisions, int divisions);

    QPointer<SerialPortManager> m_port;
    QList<QMetaObject::Connection> m_portConnections;
    QPointer<WeighRecorder> m_recorder;
    QMetaObject::Connection m_recorderConnection;
    QPointer<AppSettings> m_settings;
    QString m_openPort; // the link's port while it is open
    int m_format = 0;
    int m_unit = 0;
};

#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <optional>

class SensorChannel;

// What this connection has learnt of the sensor's own settings and identity, for as long as
// the connection lasts (leaving the sensor page keeps it; a new connection forgets it). A
// value is only ever what the sensor reported; a setting counts as confirmed only when the
// sensor accepted it and reading it back gives the value that was set.
//
// Each parameter has a row in `rows` (key -> {value, phase, message, attempted}):
//   value      the last value read from the sensor in this connection ("" for none)
//   phase      idle, reading, value, noreply, error, setting, verifying, set, refused,
//              notApplied, setNoReply, unconfirmed, lost
//   message    the sensor's refusal, when there was one
//   attempted  the value a setting tried to give
class SensorParameters : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Each sensor session owns its own")

    Q_PROPERTY(QVariantMap rows READ rows NOTIFY rowsChanged)
    Q_PROPERTY(QString version READ version NOTIFY identityChanged)
    Q_PROPERTY(QString serialNumber READ serialNumber NOTIFY identityChanged)
    // idle, reading (an answer still due), done (what did not come has no answer)
    Q_PROPERTY(QString identityState READ identityState NOTIFY identityChanged)

public:
    explicit SensorParameters(SensorChannel *channel, QObject *parent = nullptr);

    QVariantMap rows() const { return m_rows; }
    QString version() const { return m_version; }
    QString serialNumber() const { return m_serialNumber; }
    QString identityState() const { return m_identityState; }

    // Asks the sensor for key's value with query (the command with its terminator).
    Q_INVOKABLE bool read(const QString &key, const QString &query);
    // Sends command to give key the value, then reads it back with query.
    Q_INVOKABLE bool write(const QString &key, const QString &command, const QString &value,
                           const QString &query);
    Q_INVOKABLE void readIdentity(const QString &versionQuery, const QString &snQuery);
    // True while key has a value read from the sensor in this connection.
    Q_INVOKABLE bool hasValue(const QString &key) const;
    // Forgets everything learnt: a new connection may be another sensor.
    Q_INVOKABLE void clear();

    // Two values that mean the same setting ("0.5" and "0.50", "uart1" and "UART1").
    static bool sameValue(const QString &a, const QString &b);
    // True while the request id is a setting write() sent and its answer is still due.
    bool isWrite(int id) const;

Q_SIGNALS:
    void rowsChanged();
    void identityChanged();
    // The sensor took value for key, read back to prove it.
    void confirmed(const QString &key, const QString &value);
    // A write() is over. oldValue is what was known of key before it ("" for nothing);
    // outcome: confirmed, refused, not-applied, unconfirmed, no-reply, lost or unsent; reply
    // is the sensor's answer to the setting itself, empty for none.
    void writeSettled(const QString &key, const QString &oldValue, const QString &value,
                      const QString &outcome, const QString &reply);

private:
    enum class Step { Read, Write, ReadBack, Version, SerialNumber };
    struct Pending
    {
        Step step;
        QString key;
        QString value; // what a write tries to set
        QString query; // how it is read back
        bool setAnswered = false; // the write had an answer other than a refusal
        QString previous{}; // a write: the value known before it
        QString reply{}; // a write: what answered it
    };

    // The request id was for, no longer pending; none when it was not ours.
    std::optional<Pending> take(int id);
    void update(const QString &key, const QVariantMap &fields);
    void onReplied(int id, bool ok, const QString &text);
    void onFailed(int id, const QString &reason);
    void readBack(const Pending &write, bool answered);
    void identityDone();
    // Sets key's phase (and fields) to the end a write came to, and announces it.
    void settle(const Pending &write, const QString &phase, QVariantMap fields = {});

    QPointer<SensorChannel> m_channel;
    QHash<int, Pending> m_pending;
    QVariantMap m_rows;
    QString m_version;
    QString m_serialNumber;
    QString m_identityState = QStringLiteral("idle");
    int m_identityOpen = 0;
};

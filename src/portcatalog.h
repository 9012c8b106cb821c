#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <functional>

// What the platform tells about serial ports beyond their names: what an adapter is, who
// made it, and the USB identity that finds the same adapter again when it comes back under
// another name (ttyUSB0 -> ttyUSB1, COM3 -> COM4). Also answers whether a typed path names
// a serial device, which the platform's enumeration never lists for pseudo-terminals.
class PortCatalog : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    struct Port
    {
        QString name; // as the port is opened by: "ttyUSB0", "COM3" or a path
        QString description;
        QString manufacturer;
        QString serialNumber;
        int vendorId = -1; // -1 where the platform reports none
        int productId = -1;
    };
    // Lists the ports present. Replaceable from C++ only (tests, the demo).
    using Source = std::function<QList<Port>()>;

    explicit PortCatalog(QObject *parent = nullptr);

    // An empty function restores the platform's enumeration.
    static void setSource(Source source);
    static QList<Port> ports();

    // {name, description, manufacturer} of each port, empty texts where nothing is known,
    // from one enumeration (which can take a while on Windows).
    Q_INVOKABLE QVariantList describeAll(const QStringList &names) const;
    // "usb:VVVV:PPPP:serial" for a listed USB adapter, empty where the platform gives none.
    Q_INVOKABLE QString identityOf(const QString &name) const;
    // The name the adapter with that identity has now: empty when none is present, or when
    // the identity carries no serial number and more than one present adapter could be it.
    Q_INVOKABLE QString findByIdentity(const QString &identity) const;
    // Whether the text names a serial device present now (followed through links).
    Q_INVOKABLE bool isSerialDevice(const QString &path) const;
    // Stable paths of serial devices beside the listed names (/dev/serial/by-id on Linux).
    Q_INVOKABLE QStringList devicePaths() const;
    // A plain hint for a failed open the operator can mend himself, or "".
    Q_INVOKABLE QString accessHint(const QString &statusMessage) const;

    static QString identityText(const Port &port);
};

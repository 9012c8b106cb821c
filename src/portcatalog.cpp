#include "portcatalog.h"

#include <QDir>
#include <QFile>
#include <QSerialPortInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

PortCatalog::Source &source()
{
    static PortCatalog::Source s;
    return s;
}

QList<PortCatalog::Port> platformPorts()
{
    QList<PortCatalog::Port> result;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortCatalog::Port port;
        port.name = info.portName();
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            port.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            port.productId = info.productIdentifier();
        result.append(port);
    }
    return result;
}

#ifndef Q_OS_WIN
// Where a port name leads, as the port opens it: a path as it stands, any other name in /dev.
QString systemLocation(const QString &name)
{
    if (name.startsWith(u'/') || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../")))
        return name;
    return QStringLiteral("/dev/") + name;
}
#endif

// The same port may be named "ttyUSB0" or "/dev/ttyUSB0".
bool sameName(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    return a.compare(b, Qt::CaseInsensitive) == 0;
#else
    return systemLocation(a) == systemLocation(b);
#endif
}

QString hex4(int value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

PortCatalog::PortCatalog(QObject *parent) : QObject(parent) { }

void PortCatalog::setSource(Source s)
{
    source() = std::move(s);
}

QList<PortCatalog::Port> PortCatalog::ports()
{
    return source() ? source()() : platformPorts();
}

QString PortCatalog::identityText(const Port &port)
{
    if (port.vendorId < 0 || port.productId < 0)
        return {};
    return QStringLiteral("usb:%1:%2:%3")
            .arg(hex4(port.vendorId), hex4(port.productId), port.serialNumber);
}

QVariantList PortCatalog::describeAll(const QStringList &names) const
{
    const auto present = ports();
    QVariantList entries;
    entries.reserve(names.size());
    for (const QString &name : names) {
        QVariantMap entry{{QStringLiteral("name"), name},
                          {QStringLiteral("description"), QString()},
                          {QStringLiteral("manufacturer"), QString()}};
        for (const Port &port : present) {
            if (sameName(port.name, name)) {
                entry[QStringLiteral("description")] = port.description;
                entry[QStringLiteral("manufacturer")] = port.manufacturer;
                break;
            }
        }
        entries.append(entry);
    }
    return entries;
}

QString PortCatalog::identityOf(const QString &name) const
{
    const auto present = ports();
    for (const Port &port : present) {
        if (sameName(port.name, name))
            return identityText(port);
    }
    return {};
}

QString PortCatalog::findByIdentity(const QString &identity) const
{
    if (!identity.startsWith(QLatin1String("usb:")))
        return {};
    // Without a serial number two adapters of one model cannot be told apart: then none is
    // taken rather than maybe the wrong one.
    const bool unique = !identity.endsWith(u':');
    QString found;
    const auto present = ports();
    for (const Port &port : present) {
        if (identityText(port) != identity)
            continue;
        if (unique)
            return port.name;
        if (!found.isEmpty())
            return {};
        found = port.name;
    }
    return found;
}

bool PortCatalog::isSerialDevice(const QString &path) const
{
    const QString name = path.trimmed();
    if (name.isEmpty())
        return false;
#ifdef Q_OS_WIN
    const auto present = ports();
    for (const Port &port : present) {
        if (sameName(port.name, name))
            return true;
    }
    return false;
#else
    struct stat info;
    return ::stat(QFile::encodeName(systemLocation(name)).constData(), &info) == 0
            && S_ISCHR(info.st_mode);
#endif
}

QStringList PortCatalog::devicePaths() const
{
    QStringList paths;
#ifdef Q_OS_LINUX
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    const auto entries
            = byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        const QString path = byId.filePath(entry);
        if (isSerialDevice(path))
            paths.append(path);
    }
#endif
    return paths;
}

QString PortCatalog::accessHint(const QString &statusMessage) const
{
#ifdef Q_OS_LINUX
    // The open failed with EACCES: on Debian serial devices belong to the group dialout.
    if (statusMessage.endsWith(QLatin1String("Permission denied")))
        return tr("没有访问串口的权限：请把当前用户加入 dialout 组（sudo usermod -aG dialout "
                  "$USER），然后重新登录");
#else
    Q_UNUSED(statusMessage);
#endif
    return {};
}

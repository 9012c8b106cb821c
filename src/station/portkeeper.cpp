#include "portkeeper.h"

#include "portcatalog.h"
#include "sensorchannel.h"
#include "sensorsession.h"
#include "serialportmanager.h"

#include <QLoggingCategory>

#include <chrono>
#include <utility>

Q_LOGGING_CATEGORY(lcKeeper, "pelora.station")

using namespace std::chrono_literals;

PortKeeper::PortKeeper(SerialPortManager *manager, QObject *parent)
    : QObject(parent), m_manager(manager), m_catalog(new PortCatalog(this))
{
    m_timer.setInterval(1s);
    connect(&m_timer, &QTimer::timeout, this, &PortKeeper::tryConnect);
    if (manager) {
        // A pulled adapter is looked for again at once, and whenever the list changes.
        connect(manager, &SerialPortManager::connectionChanged, this, [this] {
            if (!m_manager)
                return;
            if (!m_manager->isConnected()) {
                QTimer::singleShot(0, this, &PortKeeper::tryConnect);
                return;
            }
            // As the window does on each connection: the sensor sends its weights by itself
            // from now on, and one right away. Through the queue, one command at a time.
            SensorChannel *channel = m_manager->session()->channel();
            channel->request(QStringLiteral("AT+AUTO=1\r"));
            channel->request(QStringLiteral("AT+WEI\r"));
        });
        connect(manager, &SerialPortManager::portListChanged, this,
                [this] { QTimer::singleShot(0, this, &PortKeeper::tryConnect); });
    }
}

void PortKeeper::setTarget(const QString &portName, int baudRate, const QString &identity)
{
    m_portName = portName.trimmed();
    m_baudRate = baudRate > 0 ? baudRate : 115200;
    m_identity = identity;
}

void PortKeeper::start()
{
    if (m_portName.isEmpty() && m_identity.isEmpty())
        return;
    m_timer.start();
    tryConnect();
}

void PortKeeper::tryConnect()
{
    if (!m_manager || m_manager->isConnected() || m_manager->autoReconnectSuppressed()
        || !m_timer.isActive())
        return;
    QString target = m_identity.isEmpty() ? QString() : m_catalog->findByIdentity(m_identity);
    if (target.isEmpty()
        && (m_manager->portList().contains(m_portName) || m_catalog->isSerialDevice(m_portName)))
        target = m_portName;
    if (target.isEmpty()) {
        if (!std::exchange(m_saidAbsent, true))
            qCWarning(lcKeeper, "link: %s is not there; waiting for it",
                      qPrintable(m_portName.isEmpty() ? tr("the remembered adapter") : m_portName));
        m_manager->refreshPorts();
        return;
    }
    m_saidAbsent = false;
    m_manager->connectSerialPort(target, m_baudRate, 8, 0, 1, 0);
}

#include "testsupport.h"

#include "startup.h"

#include <QQmlEngine>
#include <QSettings>

namespace TestSupport {

ScratchSettings::ScratchSettings()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    // The weighing records go to the application-data folder: keep them here too.
    qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("APPDATA", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
}

void prepareEngine(QQmlEngine &engine)
{
    Pelora::prepareEngine(engine);
}

} // namespace TestSupport

#include "testsupport.h"

#include "startup.h"

#include <QQmlEngine>
#include <QSettings>

namespace TestSupport {

ScratchSettings::ScratchSettings()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
}

void prepareEngine(QQmlEngine &engine)
{
    Pelora::prepareEngine(engine);
}

} // namespace TestSupport

#pragma once

#include <QString>
#include <QTemporaryDir>

class QQmlEngine;

namespace TestSupport {

// Points every QSettings of the process at a fresh scratch folder, so that no test ever
// reads or writes the user's own settings. Call before anything creates a QSettings.
class ScratchSettings
{
public:
    ScratchSettings();
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

// Prepares an engine to import the module "Pelora" from the resources.
void prepareEngine(QQmlEngine &engine);

} // namespace TestSupport

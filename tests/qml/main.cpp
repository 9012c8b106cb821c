#include "startup.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QQmlEngine>
#include <QtQuickTest>

#include <memory>

// Every QML test runs against the real module, with settings kept in a scratch folder.
class Setup : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void applicationAvailable()
    {
        m_settings = std::make_unique<TestSupport::ScratchSettings>();
        Pelora::setIdentity(*QCoreApplication::instance(), QStringLiteral("PeloraQmlTest"));
    }
    void qmlEngineAvailable(QQmlEngine *engine) { Pelora::prepareEngine(*engine); }

private:
    std::unique_ptr<TestSupport::ScratchSettings> m_settings;
};

QUICK_TEST_MAIN_WITH_SETUP(pelora_qmltests, Setup)

#include "main.moc"

#pragma once

#include <QString>

class QCoreApplication;
class QQmlApplicationEngine;
class QQmlEngine;

namespace Pelora {

// Makes sure the module's native types are registered (the module lives in a static
// library, so its registration has to be referenced to be linked in).
void ensureModuleLinked();

// Organization and application identity; the settings store finds its place through them.
void setIdentity(QCoreApplication &app, const QString &applicationName = QStringLiteral("Pelora"));

// Prepares an engine for the module's documents: the Material style, the CJK font and the
// module's resource folder among the import paths.
void prepareEngine(QQmlEngine &engine);

// Whether OpenGL, as Qt Quick would get it here, is rasterised on the CPU (Mesa's llvmpipe).
bool isSoftwareOpenGL();

// Picks Qt Quick's software renderer where OpenGL would be rasterised on the CPU. Call
// before the first window is made; loadRoot() does.
void chooseSceneGraph();

// Installs Qt's own translations for the system's language (the file dialog's texts among
// them); once per process. loadRoot() does.
void installQtTranslations(QCoreApplication &app);

// Loads a root type of the module into the engine. A root that cannot be created ends
// the event loop with -1 as soon as it runs.
void loadRoot(QQmlApplicationEngine &engine, QCoreApplication &app,
              const QString &typeName = QStringLiteral("Main"));

} // namespace Pelora

#include "startup.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTranslator>
#include <QUrl>

void qml_register_types_Pelora();

namespace Pelora {

void ensureModuleLinked()
{
    // Taking the address keeps the generated registration (and its static module
    // registration) in the link; calling it is not needed.
    volatile auto registration = &qml_register_types_Pelora;
    Q_UNUSED(registration);
}

void setIdentity(QCoreApplication &app, const QString &applicationName)
{
    Q_UNUSED(app);
    QCoreApplication::setOrganizationName(QStringLiteral("Pelora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("pelora.local"));
    QCoreApplication::setApplicationName(applicationName);
}

namespace {

void useCjkFont()
{
#if !defined(Q_OS_WIN)
    // Fontconfig's fallback for Chinese may pick a family without a bold face, and faked
    // bold smears the large labels. Where a family with real weights is installed, every
    // text uses it; elsewhere the platform's default stays.
    static const QString family = QStringLiteral("Noto Sans CJK SC");
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance())
        || QGuiApplication::font().family() == family || !QFontDatabase::hasFamily(family))
        return;
    QFont font = QGuiApplication::font();
    font.setFamily(family);
    QGuiApplication::setFont(font);
#endif
}

} // namespace

void prepareEngine(QQmlEngine &engine)
{
    ensureModuleLinked();
    useCjkFont();
    // The style can be chosen once per process, before the first engine loads the controls.
    if (QQuickStyle::name() != QLatin1String("Material"))
        QQuickStyle::setStyle(QStringLiteral("Material"));
    // Before 6.5 the engine does not look in qrc:/qt/qml by itself.
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
}

bool isSoftwareOpenGL()
{
    // Qt Quick draws with OpenGL on Linux desktops; elsewhere (Direct3D on Windows, the
    // offscreen platform) this question does not arise.
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return false;
#else
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("xcb") && platform != QLatin1String("wayland"))
        return false;
    QOpenGLContext context;
    if (!context.create())
        return false;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!context.makeCurrent(&surface))
        return false;
    const auto *renderer
            = reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER));
    const QByteArray name = QByteArray(renderer ? renderer : "").toLower();
    context.doneCurrent();
    return name.contains("llvmpipe") || name.contains("softpipe") || name.contains("swrast")
            || name.contains("software rasterizer");
#endif
}

void chooseSceneGraph()
{
    // A PC without a graphics driver rasterises OpenGL on the CPU, and OpenGL redraws the
    // whole window for every frame: a changing number would cost a core. Qt Quick's own
    // software renderer repaints only what changed. Whoever picked a backend keeps it.
    if (qEnvironmentVariableIsSet("QT_QUICK_BACKEND")
        || qEnvironmentVariableIsSet("QSG_RHI_BACKEND") || qEnvironmentVariableIsSet("QSG_RHI"))
        return;
    if (QQuickWindow::graphicsApi() != QSGRendererInterface::Unknown
        && QQuickWindow::graphicsApi() != QSGRendererInterface::OpenGL)
        return;
    if (isSoftwareOpenGL())
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

void installQtTranslations(QCoreApplication &app)
{
    // Qt's own texts (the file dialog's, for one) in the system's language; the tool's own
    // texts are written in Chinese and have no translation.
    static bool installed = false;
    if (installed)
        return;
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(), QStringLiteral("qt"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        && QCoreApplication::installTranslator(translator)) {
        installed = true;
        return;
    }
    delete translator;
}

void loadRoot(QQmlApplicationEngine &engine, QCoreApplication &app, const QString &typeName)
{
    installQtTranslations(app);
    chooseSceneGraph();
    prepareEngine(engine);
    QObject::connect(
            &engine, &QQmlApplicationEngine::objectCreationFailed, &app,
            [] { QCoreApplication::exit(-1); }, Qt::QueuedConnection);
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    engine.loadFromModule(u"Pelora", typeName);
#else
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Pelora/src/%1.qml").arg(typeName)));
#endif
}

} // namespace Pelora

#include "keytyper.h"

#include <QCoreApplication>
#include <QGuiApplication>

#if defined(PELORA_HAVE_XTEST)
std::unique_ptr<KeyTyper> makeX11Typer();
#elif defined(Q_OS_WIN)
std::unique_ptr<KeyTyper> makeWindowsTyper();
#endif

std::unique_ptr<KeyTyper> KeyTyper::create(QObject *)
{
    const auto tr
            = [](const char *text) { return QCoreApplication::translate("KeyboardWedge", text); };
    // Wayland lets no program type into another's windows; under XWayland our keys would
    // reach the few X programs only, so the wedge stays off there too.
    if (QGuiApplication::platformName() == QLatin1String("wayland")
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        return std::make_unique<NoKeyTyper>(
                tr("Wayland 桌面不允许一个程序向其他程序的窗口输入文字，键盘输出不可用；"
                   "请在登录时选择 X11（Xorg）会话"));
#if defined(PELORA_HAVE_XTEST)
    return makeX11Typer();
#elif defined(Q_OS_WIN)
    return makeWindowsTyper();
#else
    return std::make_unique<NoKeyTyper>(tr("此系统上的 Pelora 不能向其他程序输入重量"));
#endif
}

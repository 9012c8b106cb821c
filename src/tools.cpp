#include "tools.h"

#include <QByteArray>
#include <QClipboard>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QScreen>
#include <QStringList>
#include <QTextDocument>
#include <QTextStream>
#include <QUuid>

#include <cmath>
#include <optional>
#include <type_traits>

#ifdef Q_OS_WIN
#include <QProcess>
#include <QSettings>
#include <QtCore/qt_windows.h>
#else
#include <QDesktopServices>
#endif

namespace {

// Part `index` of the running Qt library's version text; 0 when it is not a number.
int qtVersionPart(int index)
{
    const QStringList parts
            = QString::fromLatin1(qVersion()).split(QLatin1Char('.'), Qt::KeepEmptyParts);
    return parts.value(index).toInt();
}

} // namespace

// A default-constructible singleton is built by the engine itself, bypassing create().
static_assert(!std::is_default_constructible_v<Tools>);

Tools::Tools(QObject *parent) : QObject(parent) { }

Tools *Tools::create(QQmlEngine *, QJSEngine *)
{
    // The engine deletes the instance when it goes, and tests run several engines in one
    // process: the guarded pointer notices the deletion and the next call makes a new one.
    static QMutex mutex;
    static QPointer<Tools> instance;
    const QMutexLocker locker(&mutex);
    if (!instance)
        instance = new Tools(nullptr);
    return instance;
}

int Tools::qtMajor()
{
    return qtVersionPart(0);
}

int Tools::qtMinor()
{
    return qtVersionPart(1);
}

bool Tools::isMacos()
{
#ifdef Q_OS_MACOS
    return true;
#else
    return false;
#endif
}

bool Tools::isLinux()
{
#ifdef Q_OS_LINUX
    return true;
#else
    return false;
#endif
}

bool Tools::isWin()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

void Tools::clipText(const QString &text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

QString Tools::uuid()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

QString Tools::readFile(const QString &fileName)
{
    // No text mode: line endings come back as stored. The stream reads UTF-8 unless the
    // file starts with a byte-order mark, which it honours and drops.
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QTextStream stream(&file);
    const QString text = stream.readAll();
    file.close();
    return text;
}

void Tools::setQuitOnLastWindowClosed(bool val)
{
    QGuiApplication::setQuitOnLastWindowClosed(val);
}

void Tools::setOverrideCursor(Qt::CursorShape shape)
{
    QGuiApplication::setOverrideCursor(QCursor(shape));
}

void Tools::restoreOverrideCursor()
{
    QGuiApplication::restoreOverrideCursor();
}

QString Tools::html2PlantText(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

QString Tools::toLocalPath(const QUrl &url)
{
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

void Tools::deleteLater(QObject *p)
{
    if (p)
        p->deleteLater();
}

QString Tools::getFileNameByUrl(const QUrl &url)
{
    // A path that ends in a separator names a folder and has no file name.
    return url.isLocalFile() ? QFileInfo(url.toLocalFile()).fileName() : QString();
}

QRect Tools::getVirtualGeometry()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->virtualGeometry() : QRect();
}

QString Tools::getApplicationDirPath()
{
    return QCoreApplication::applicationDirPath();
}

QUrl Tools::getUrlByFilePath(const QString &path)
{
    return QUrl::fromLocalFile(path);
}

QColor Tools::withOpacity(const QColor &color, double alpha)
{
    // Clamped rather than wrapped: 1.5 must not turn into an almost transparent 127.
    // The negated test also sends NaN to 0.
    double a = std::round(alpha * 255.0);
    if (!(a >= 0.0))
        a = 0.0;
    else if (a > 255.0)
        a = 255.0;
    const QRgb argb = color.rgba();
    return QColor::fromRgba(qRgba(qRed(argb), qGreen(argb), qBlue(argb), int(a)));
}

QString Tools::md5(const QString &text)
{
    return QString::fromLatin1(
            QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString Tools::sha256(const QString &text)
{
    return QString::fromLatin1(
            QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString Tools::toBase64(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

QString Tools::fromBase64(const QString &text)
{
    // Without AbortOnBase64DecodingErrors the decoder skips characters outside the
    // alphabet; fromUtf8 turns invalid sequences into U+FFFD.
    return QString::fromUtf8(QByteArray::fromBase64(text.toUtf8()));
}

bool Tools::removeDir(const QString &dirPath)
{
    // QDir("") is the working directory: an empty path must never wipe the folder the
    // program runs in.
    if (dirPath.isEmpty())
        return false;
    // Depth first, keeps going past failures, and true when the folder is already gone.
    return QDir(dirPath).removeRecursively();
}

bool Tools::removeFile(const QString &filePath)
{
    return QFile::remove(filePath);
}

void Tools::showFileInFolder(const QString &path)
{
#ifdef Q_OS_WIN
    QProcess::startDetached(QStringLiteral("explorer.exe"),
                            {QStringLiteral("/select,"), QDir::toNativeSeparators(path)});
#else
    // Desktop file managers offer no common way to select a file: open its folder.
    if (path.isEmpty())
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
#endif
}

bool Tools::isSoftware()
{
    return QQuickWindow::sceneGraphBackend() == QLatin1String("software");
}

qint64 Tools::currentTimestamp()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QPoint Tools::cursorPos()
{
    return QCursor::pos();
}

QIcon Tools::windowIcon()
{
    return QGuiApplication::windowIcon();
}

int Tools::cursorScreenIndex()
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (screens.size() <= 1)
        return 0;
    const QPoint pos = QCursor::pos();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        if (screens.at(i)->geometry().contains(pos))
            return int(i);
    }
    return 0;
}

int Tools::windowBuildNumber()
{
#ifdef Q_OS_WIN
    const QSettings registry(
            QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"),
            QSettings::NativeFormat);
    const QString key = QStringLiteral("CurrentBuildNumber");
    if (!registry.contains(key))
        return -1;
    return registry.value(key).toString().toInt();
#else
    // No Windows build elsewhere.
    return -1;
#endif
}

bool Tools::isWindows11OrGreater()
{
    // Only the GUI thread calls these, so the caches need no lock.
    static std::optional<bool> cached;
    if (!cached)
        cached = windowBuildNumber() >= 22000;
    return *cached;
}

bool Tools::isWindows10OrGreater()
{
    static std::optional<bool> cached;
    if (!cached)
        cached = windowBuildNumber() >= 10240;
    return *cached;
}

QRect Tools::desktopAvailableGeometry(QQuickWindow *window)
{
    const QScreen *screen = window ? window->screen() : nullptr;
    return screen ? screen->availableGeometry() : QRect();
}

QString Tools::getWallpaperFilePath()
{
#ifdef Q_OS_WIN
    wchar_t buffer[MAX_PATH] = {};
    if (!SystemParametersInfoW(SPI_GETDESKWALLPAPER, MAX_PATH, buffer, 0))
        return QString();
    return QString::fromWCharArray(buffer);
#else
    // Linux desktops keep the wallpaper in their own configuration stores; none can be
    // read without a desktop-specific dependency.
    return QString();
#endif
}

QColor Tools::imageMainColor(const QImage &image, double bright)
{
    // One pixel in 400 is plenty for an average and keeps large images cheap.
    constexpr int step = 20;
    qint64 sums[3] = {0, 0, 0};
    qint64 count = 0;
    for (int x = 0; x < image.width(); x += step) {
        for (int y = 0; y < image.height(); y += step) {
            const QRgb pixel = image.pixel(x, y);
            sums[0] += qRed(pixel);
            sums[1] += qGreen(pixel);
            sums[2] += qBlue(pixel);
            ++count;
        }
    }
    if (count == 0)
        return QColor();

    int channels[3];
    for (int i = 0; i < 3; ++i) {
        const double value = double(sums[i]) * bright / double(count);
        // Truncation toward zero first: only a value of -1 or below counts as negative.
        if (std::isnan(value) || value <= -1.0)
            return QColor();
        channels[i] = value > 255.0 ? 255 : int(value);
    }
    return QColor(channels[0], channels[1], channels[2]);
}

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

// Larger text files are not for a document to hold in one string.
constexpr qint64 ReadFileLimit = 64 * 1024 * 1024;

// "dir/" and "dir" name the same folder; a link with a separator after it would name the
// folder it points to instead of the link.
QString withoutTrailingSeparators(QString path)
{
    while (path.size() > 1 && (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\'))))
        path.chop(1);
    return path;
}

// The path that removeDir may work on, or "" when the text must not be touched: a URL
// rather than a path, the working folder or its parent by name, a root, or a folder that
// holds the home folder.
QString folderToRemove(const QString &dirPath)
{
    if (dirPath.trimmed().isEmpty())
        return QString();
    // "file:///tmp/x", "https://…" and "file:" are texts, not paths; one letter before the
    // colon is a Windows drive.
    const qsizetype colon = dirPath.indexOf(QLatin1Char(':'));
    if (colon > 1 || dirPath.contains(QLatin1String("://")))
        return QString();
    const QString path = withoutTrailingSeparators(dirPath);
    const QString last = QDir::fromNativeSeparators(path).section(QLatin1Char('/'), -1);
    if (last == QLatin1String(".") || last == QLatin1String(".."))
        return QString();
    const QFileInfo info(path);
    const QString absolute = QDir::cleanPath(info.absoluteFilePath());
    if (info.isRoot() || QFileInfo(absolute).isRoot() || absolute == QDir::rootPath())
        return QString();
    const auto holds = [](const QString &folder, const QString &inner) {
        if (folder.isEmpty() || inner.isEmpty())
            return false;
#ifdef Q_OS_WIN
        constexpr Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
        constexpr Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
        return inner.compare(folder, cs) == 0 || inner.startsWith(folder + QLatin1Char('/'), cs);
    };
    const QString home = QDir::cleanPath(QDir::homePath());
    const QString canonicalHome = QFileInfo(home).canonicalFilePath();
    if (holds(absolute, home) || holds(absolute, canonicalHome))
        return QString();
    // A link is judged as a link; a real folder also by where it really is.
    if (!info.isSymLink() && !info.isJunction()) {
        const QString canonical = info.canonicalFilePath();
        if (holds(canonical, home) || holds(canonical, canonicalHome)
            || (!canonical.isEmpty() && QFileInfo(canonical).isRoot()))
            return QString();
    }
    return path;
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
    // Regular files only: a device such as /dev/zero never ends and a FIFO without a
    // writer never answers. Past the size limit the text is not read at all.
    if (!QFileInfo(fileName).isFile())
        return QString();
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly) || file.size() > ReadFileLimit)
        return QString();
    // Read one byte past the limit, in case the file grew since its size was taken.
    const QByteArray bytes = file.read(ReadFileLimit + 1);
    file.close();
    if (bytes.size() > ReadFileLimit)
        return QString();
    // No text mode: line endings come back as stored. The stream reads UTF-8 unless the
    // bytes start with a byte-order mark, which it honours and drops.
    QTextStream stream(bytes);
    return stream.readAll();
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
    const QString target = folderToRemove(dirPath);
    if (target.isEmpty())
        return false;
    const QFileInfo info(target);
    // A link goes as a link: whatever it points to stays untouched.
    if (info.isSymLink() || info.isJunction())
        return info.isDir() ? QDir().rmdir(target) || QFile::remove(target) : QFile::remove(target);
    if (!info.exists())
        return true;
    if (!info.isDir())
        return false;
    // Depth first and past failures. Links inside are removed as links, never followed.
    return QDir(target).removeRecursively();
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
    // Desktop file managers offer no common way to select a file: open its folder. The
    // opener runs whatever it is handed, so it is only ever handed an existing folder.
    if (path.isEmpty())
        return;
    const QString folder = QFileInfo(withoutTrailingSeparators(path)).absolutePath();
    if (QFileInfo(folder).isDir())
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
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

bool Tools::canMakeFolder(const QString &path)
{
    QFileInfo info(path);
    if (info.exists())
        return info.isDir();
    do {
        const QString parent = info.absolutePath();
        if (parent == info.absoluteFilePath())
            return false;
        info = QFileInfo(parent);
    } while (!info.exists());
    return info.isDir() && info.isWritable();
}

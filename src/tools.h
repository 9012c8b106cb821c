#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QQuickWindow>
#include <QRect>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

// Small desktop services for documents: clipboard, files and URLs, cursor and screens,
// hashes and Base64, colours, the Qt version and the Windows version and wallpaper.
// The declaration order of the invokables is part of the interface (method indexes).
class Tools : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    // Deliberately no default argument: the engine would construct a default-constructible
    // singleton itself and never call create(). Pass nullptr for a parentless instance.
    explicit Tools(QObject *parent);

    // One process-wide instance. The engine that asked for it owns it and deletes it with
    // itself; a later engine then gets a fresh one instead of a dangling pointer.
    static Tools *create(QQmlEngine *, QJSEngine *);

    // The one-argument deleteLater below must not hide the inherited one from C++ callers.
    using QObject::deleteLater;

    Q_INVOKABLE int qtMajor();
    Q_INVOKABLE int qtMinor();
    Q_INVOKABLE bool isMacos();
    Q_INVOKABLE bool isLinux();
    Q_INVOKABLE bool isWin();
    Q_INVOKABLE void clipText(const QString &text);
    Q_INVOKABLE QString uuid();
    Q_INVOKABLE QString readFile(const QString &fileName);
    Q_INVOKABLE void setQuitOnLastWindowClosed(bool val);
    Q_INVOKABLE void setOverrideCursor(Qt::CursorShape shape);
    Q_INVOKABLE void restoreOverrideCursor();
    Q_INVOKABLE QString html2PlantText(const QString &html);
    Q_INVOKABLE QString toLocalPath(const QUrl &url);
    Q_INVOKABLE void deleteLater(QObject *p);
    Q_INVOKABLE QString getFileNameByUrl(const QUrl &url);
    Q_INVOKABLE QRect getVirtualGeometry();
    Q_INVOKABLE QString getApplicationDirPath();
    Q_INVOKABLE QUrl getUrlByFilePath(const QString &path);
    Q_INVOKABLE QColor withOpacity(const QColor &color, double alpha);
    Q_INVOKABLE QString md5(const QString &text);
    Q_INVOKABLE QString sha256(const QString &text);
    Q_INVOKABLE QString toBase64(const QString &text);
    Q_INVOKABLE QString fromBase64(const QString &text);
    Q_INVOKABLE bool removeDir(const QString &dirPath);
    Q_INVOKABLE bool removeFile(const QString &filePath);
    Q_INVOKABLE void showFileInFolder(const QString &path);
    Q_INVOKABLE bool isSoftware();
    Q_INVOKABLE qint64 currentTimestamp();
    Q_INVOKABLE QPoint cursorPos();
    Q_INVOKABLE QIcon windowIcon();
    Q_INVOKABLE int cursorScreenIndex();
    Q_INVOKABLE int windowBuildNumber();
    Q_INVOKABLE bool isWindows11OrGreater();
    Q_INVOKABLE bool isWindows10OrGreater();
    Q_INVOKABLE QRect desktopAvailableGeometry(QQuickWindow *window);
    Q_INVOKABLE QString getWallpaperFilePath();
    // The default argument gives the meta-object a second, one-argument entry.
    Q_INVOKABLE QColor imageMainColor(const QImage &image, double bright = 1.0);

    // For native code: whether saving could make this folder, without making it (the folder
    // exists, or the nearest one above it that exists is a folder we may write in).
    static bool canMakeFolder(const QString &path);
};

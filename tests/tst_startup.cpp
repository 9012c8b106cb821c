#include "startup.h"
#include "testsupport.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRawFont>
#include <QSGRendererInterface>
#include <QTest>
#include <QTimer>

class TestStartup : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings settings;

private Q_SLOTS:
    void initTestCase() { Pelora::setIdentity(*qApp, QStringLiteral("PeloraStartupTest")); }

    void rootThatCannotBeCreatedEndsWithMinusOne()
    {
        QQmlApplicationEngine engine;
        Pelora::loadRoot(engine, *qApp, QStringLiteral("NoSuchRoot"));
        QVERIFY(engine.rootObjects().isEmpty());
        QCOMPARE(QGuiApplication::exec(), -1);
        QVERIFY(QGuiApplication::topLevelWindows().isEmpty());
    }

    void closeButtonQuitsWithZero() // and what the window is like
    {
        QQmlApplicationEngine engine;
        Pelora::loadRoot(engine, *qApp);
        QCOMPARE(engine.rootObjects().size(), 1);
        auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
        QVERIFY(window);
        QCOMPARE(window->title(), QStringLiteral("Pelora"));
        QCOMPARE(window->size(), QSize(1280, 720));
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // Where OpenGL is rasterised on the CPU the window draws with the software renderer
        // (run under an X server by the tst_startup_x11 entry).
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            const bool software
                    = window->rendererInterface()->graphicsApi() == QSGRendererInterface::Software;
            QCOMPARE(software, Pelora::isSoftwareOpenGL());
        }

#if !defined(Q_OS_WIN) // Windows keeps the platform's fonts
        // Faked bold smears large Chinese labels: the face that draws them must be a bold one.
        QQuickItem *label = nullptr;
        for (QQuickItem *item : window->findChildren<QQuickItem *>()) {
            if (item->property("text").toString() == QStringLiteral("重"))
                label = item;
        }
        QVERIFY(label);
        const QFont font = label->property("font").value<QFont>();
        QVERIFY(font.bold());
        const QRawFont face = QRawFont::fromFont(font, QFontDatabase::SimplifiedChinese);
        QCOMPARE(face.familyName(), QStringLiteral("Noto Sans CJK SC"));
        QCOMPARE(face.styleName(), QStringLiteral("Bold"));
#endif

        auto *header = window->findChild<QQuickItem *>(QStringLiteral("header"));
        QVERIFY(header);
        auto *close = header->findChild<QQuickItem *>(QStringLiteral("closeButton"));
        QVERIFY(close);
        QTRY_VERIFY(close->isVisible()); // the home page is shown once the stack has pushed it
        const QPoint centre
                = close->mapToScene(QPointF(close->width() / 2, close->height() / 2)).toPoint();

        // Clicked from inside the event loop, as an operator would.
        QTimer::singleShot(0, window,
                           [&] { QTest::mouseClick(window, Qt::LeftButton, {}, centre); });
        QCOMPARE(QGuiApplication::exec(), 0);
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"

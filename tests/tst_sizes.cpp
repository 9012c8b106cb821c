// The window at the sizes an operator's screen gives it, from a small panel to a full-HD
// display on the shop floor.

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"

#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTest>

class TestSizes : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::Rig r;

    // The rows of the scene the item draws in the digits' colours (pale or live): the height
    // of its glyphs' ink.
    int inkHeight(QQuickItem *item) const
    {
        const QColor pale(0xb0, 0xbe, 0xc5), live(0x4c, 0x5c, 0xc5);
        const QImage frame = r.window->grabWindow();
        const QRect area = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()))
                                   .toRect()
                                   .intersected(frame.rect());
        int top = -1, bottom = -1;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (frame.pixelColor(x, y) == pale || frame.pixelColor(x, y) == live) {
                    top = top < 0 ? y : top;
                    bottom = y;
                    break;
                }
            }
        }
        return top < 0 ? 0 : bottom - top + 1;
    }

private Q_SLOTS:
    void initTestCase() { Pelora::setIdentity(*qApp, QStringLiteral("PeloraSizesTest")); }
    void init()
    {
        QSettings().clear();
        QVERIFY(r.startSensor());
        r.remember(r.sensor->portName());
        QVERIFY(r.load());
        QTRY_VERIFY(r.manager->isConnected());
    }
    void cleanup()
    {
        r.closeWindow();
        r.sensor.reset();
    }

    // 大字 makes the digits fill a full-HD window, stays on after a restart, and F11 takes
    // the window full screen and back.
    void bigDigitsFillTheWindow()
    {
        r.window->resize(1920, 1080);
        QTRY_COMPARE(r.window->size(), QSize(1920, 1080));
        QTRY_VERIFY(inkHeight(r.item("weightText")) > 0);
        QVERIFY(inkHeight(r.item("weightText")) < 1080 / 3);
        r.click(QStringLiteral("bigDigitsButton"));
        QTRY_VERIFY(inkHeight(r.item("weightText")) >= 1080 / 3);
        auto *digits = r.item("weightText");
        QVERIFY(digits->parentItem()->contains(digits->mapToItem(digits->parentItem(), {0, 0})));
        QVERIFY(digits->width() <= digits->parentItem()->width());
        if (qEnvironmentVariableIsSet("PELORA_SIZES_PICTURE"))
            r.window->grabWindow().save(qEnvironmentVariable("PELORA_SIZES_PICTURE"));

        r.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(r.window));
        QTest::keyClick(r.window, Qt::Key_F11);
        QTRY_COMPARE(r.window->visibility(), QWindow::FullScreen);
        QTest::keyClick(r.window, Qt::Key_F11);
        QTRY_COMPARE(r.window->visibility(), QWindow::Windowed);

        r.closeWindow();
        QVERIFY(r.load());
        r.window->resize(1920, 1080);
        QTRY_VERIFY(inkHeight(r.item("weightText")) >= 1080 / 3);
        r.click(QStringLiteral("bigDigitsButton")); // and off again
        QTRY_VERIFY(inkHeight(r.item("weightText")) < 1080 / 3);
        QCOMPARE(QSettings().value(QStringLiteral("display/bigDigits")).toBool(), false);
    }
};

QTEST_MAIN(TestSizes)
#include "tst_sizes.moc"

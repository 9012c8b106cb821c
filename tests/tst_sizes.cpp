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

#include <functional>

using namespace Qt::StringLiterals;

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

    // Kept as docs/sizes-<what>.png when PELORA_SIZES_PICTURES names a folder.
    static void picture(const QImage &shot, QString what)
    {
        const QString folder = qEnvironmentVariable("PELORA_SIZES_PICTURES");
        if (!folder.isEmpty())
            shot.save(folder + u"/sizes-"_s + what.replace(u' ', u'-') + u".png"_s);
    }

    void open(const char *button, const QString &page)
    {
        r.click(QString::fromLatin1(button));
        QTRY_VERIFY(r.item(page) && r.item(page)->isVisible());
        QTRY_COMPARE(r.item(page)->x(), 0.0);
    }

    // Every visible text and control in the scope lies inside it and the window, none lies
    // over another, and no text is cut. Items scrolled out of a view are not shown: skipped.
    void checkLayout(QQuickItem *scope, const QString &where)
    {
        const auto sceneRect = [](QQuickItem *item) {
            return item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        };
        const QImage shot = r.window->grabWindow(); // lays out and draws what is pending
        picture(shot, where);
        const QRectF bounds = sceneRect(scope) & QRectF(QPointF(), QSizeF(r.window->size()));
        const auto control = [](QQuickItem *item) {
            return item->inherits("QQuickText") || item->inherits("QQuickAbstractButton")
                    || item->inherits("QQuickTextInput") || item->inherits("QQuickComboBox");
        };
        struct Shown
        {
            QQuickItem *item;
            QRectF rect;
            QQuickItem *control; // the outermost control it is part of
        };
        QList<Shown> shown;
        const std::function<void(QQuickItem *, QRectF, QQuickItem *)> walk =
                [&](QQuickItem *item, QRectF clip, QQuickItem *owner) {
                    if (!item->isVisible() || item->opacity() == 0)
                        return;
                    const QRectF rect = sceneRect(item);
                    if (item->clip())
                        clip &= rect;
                    if (control(item) && !owner)
                        owner = item;
                    if (control(item) && rect.intersects(clip) && !rect.isEmpty()) {
                        const QString name = QStringLiteral("%1 %2 %3 at %4,%5 %6x%7")
                                                     .arg(where, item->objectName(),
                                                          item->property("text").toString())
                                                     .arg(rect.x())
                                                     .arg(rect.y())
                                                     .arg(rect.width())
                                                     .arg(rect.height());
                        const bool scrolled = clip != bounds && !clip.contains(rect);
                        QVERIFY2(scrolled || bounds.adjusted(-1, -1, 1, 1).contains(rect),
                                 qPrintable(name));
                        // The settings' port path is shortened in the middle on purpose (its editor
                        // holds it whole); nothing else may be cut.
                        const bool portPath = item->parentItem()
                                && item->parentItem()->objectName() == u"portCombo"_s;
                        QVERIFY2(portPath || !item->property("truncated").toBool(),
                                 qPrintable(name));
                        if (item->inherits("QQuickText") && item->property("wrapMode").toInt() == 0)
                            QVERIFY2(item->property("contentWidth").toReal() <= item->width() + 1,
                                     qPrintable(name));
                        for (const Shown &other : std::as_const(shown)) {
                            const QRectF both = other.rect & rect & clip; // what is seen of it
                            QVERIFY2(other.control == owner || both.width() <= 1
                                             || both.height() <= 1,
                                     qPrintable(name + u" over "_s + other.item->objectName() + u' '
                                                + other.item->property("text").toString()));
                        }
                        shown.append({item, rect & clip, owner});
                    }
                    for (QQuickItem *child : item->childItems()) {
                        walk(child, clip, owner);
                        if (QTest::currentTestFailed())
                            return;
                    }
                };
        walk(scope, bounds, nullptr);
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

    void everyPageFitsEverySize_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("800x600") << QSize(800, 600);
        QTest::newRow("1024x768") << QSize(1024, 768);
        QTest::newRow("1920x1080") << QSize(1920, 1080);
    }
    void everyPageFitsEverySize()
    {
        QFETCH(QSize, size);
        r.window->resize(size);
        QTRY_COMPARE(r.window->contentItem()->size(), QSizeF(size));
        const QString at = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
        checkLayout(r.window->contentItem(), u"home "_s + at);
        if (QTest::currentTestFailed())
            return;
        QObject *dialog = r.object(u"settingsDialog"_s);
        QMetaObject::invokeMethod(dialog, "open");
        QTRY_VERIFY(dialog->property("opened").toBool());
        checkLayout(dialog->property("contentItem").value<QQuickItem *>()->parentItem(),
                    u"settings "_s + at);
        if (QTest::currentTestFailed())
            return;
        QMetaObject::invokeMethod(dialog, "close");
        QTRY_VERIFY(!dialog->property("visible").toBool());
        for (const char *page : {"sensor", "console", "records"}) {
            const QString name = QString::fromLatin1(page) + u"Page"_s;
            open((QByteArray(page) + "Button").constData(), name);
            if (name == u"sensorPage"_s) {
                r.readSensorPage();
            }
            checkLayout(r.item(name), QString::fromLatin1(page) + u' ' + at);
            if (QTest::currentTestFailed())
                return;
            r.js(u"Components.Router.back()"_s);
            QTRY_VERIFY(!r.object(name));
        }
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
        picture(r.window->grabWindow(), u"big-digits 1920x1080"_s);

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

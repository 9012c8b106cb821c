// The window at the sizes an operator's screen gives it, from a small panel to a full-HD
// display on the shop floor.

#include "recordstore.h"
#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

// Where the item's box lies in the window (a text's boundingRect() is its text's, not its box).
static QRectF sceneRect(QQuickItem *item)
{
    return item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
}

class TestSizes : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::Rig r;

    // The height of the ink of the item's digits: the rows of the window where it shows their
    // colours (pale or live).
    int inkHeight(QQuickItem *item) const
    {
        const QImage frame = r.window->grabWindow();
        const QRect area = sceneRect(item).toRect() & frame.rect();
        QList<int> rows;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (QList<QRgb>{0xffb0bec5, 0xff4c5cc5}.contains(frame.pixel(x, y))) {
                    rows << y;
                    break;
                }
            }
        }
        return rows.isEmpty() ? 0 : rows.last() - rows.first() + 1;
    }

    // Every visible text and control in the scope lies inside it and the window, none lies
    // over another, and no text is cut. Items scrolled out of a view are not shown: skipped.
    void checkLayout(QQuickItem *scope, const QString &where)
    {
        const QImage shot = r.window->grabWindow(); // lays out and draws what is pending
        // Kept as sizes-<where>.png when PELORA_SIZES_PICTURES names a folder, to look at.
        if (const QString folder = qEnvironmentVariable("PELORA_SIZES_PICTURES"); !folder.isEmpty())
            shot.save(u"%1/sizes-%2-%3.png"_s.arg(folder, where, QTest::currentDataTag()));
        static const char *const controls[]
                = {"QQuickText", "QQuickAbstractButton", "QQuickTextInput", "QQuickComboBox"};
        const QRectF bounds = sceneRect(scope) & QRectF(QPointF(), QSizeF(r.window->size()));
        QList<std::tuple<QQuickItem *, QRectF, QQuickItem *>> shown; // item, seen, its control
        const std::function<void(QQuickItem *, QRectF, QQuickItem *)> walk =
                [&](QQuickItem *item, QRectF clip, QQuickItem *owner) {
                    if (QTest::currentTestFailed() || !item->isVisible() || item->opacity() == 0)
                        return;
                    const QRectF rect = sceneRect(item);
                    if (item->clip())
                        clip &= rect;
                    const bool control
                            = std::any_of(std::begin(controls), std::end(controls),
                                          [&](auto *kind) { return item->inherits(kind); });
                    owner = control && !owner ? item : owner; // the outermost control it is in
                    if (control && rect.intersects(clip) && !rect.isEmpty()) {
                        const QString name = where + u' ' + item->objectName() + u' '
                                + item->property("text").toString();
                        const bool scrolled = clip != bounds && !clip.contains(rect);
                        QVERIFY2(scrolled || bounds.adjusted(-1, -1, 1, 1).contains(rect),
                                 qPrintable(name));
                        // The settings' port path and a record's port are shortened in the middle
                        // on purpose (the editor, the tooltip hold them whole); nothing else may
                        // be cut.
                        const bool portPath = item->objectName() == u"recordPort"_s
                                || (item->parentItem()
                                    && item->parentItem()->objectName() == u"portCombo"_s);
                        QVERIFY2(portPath || !item->property("truncated").toBool(),
                                 qPrintable(name));
                        if (item->inherits("QQuickText") && item->property("wrapMode").toInt() == 0)
                            QVERIFY2(item->property("contentWidth").toReal() <= item->width() + 1,
                                     qPrintable(name));
                        for (const auto &[other, seen, itsControl] : std::as_const(shown)) {
                            const QRectF both = seen & rect & clip; // what is seen of it
                            QVERIFY2(itsControl == owner || both.width() <= 1 || both.height() <= 1,
                                     qPrintable(name + u" over "_s + other->objectName() + u' '
                                                + other->property("text").toString()));
                        }
                        shown.append({item, rect & clip, owner});
                    }
                    for (QQuickItem *child : item->childItems())
                        walk(child, clip, owner);
                };
        walk(scope, bounds, nullptr);
    }

private Q_SLOTS:
    void initTestCase() { Pelora::setIdentity(*qApp, u"PeloraSizesTest"_s); }
    void init()
    {
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

    // The home page, the settings dialog and each page in turn; at full HD the big digits too.
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
        // The keyboard wedge on: its button beside 记录.
        r.js(u"KeyboardWedge.enabled = true"_s);
        QTRY_VERIFY(r.item(u"sendWeightButton"_s)->isVisible());
        checkLayout(r.window->contentItem(), u"home"_s);
        // 大字 with a long reading: the digits stop at the readout's width too.
        r.sensor->setLoad(188.888);
        QTRY_VERIFY2(r.text(u"weightText"_s).size() >= 7, qPrintable(r.text(u"weightText"_s)));
        r.click(u"bigDigitsButton"_s);
        checkLayout(r.window->contentItem(), u"home-big"_s);
        r.click(u"bigDigitsButton"_s);
        r.sensor->setLoad(0);
        // 大字 makes the digits fill a full-HD window, within the readout; F11 takes the window
        // full screen and back.
        if (size == QSize(1920, 1080)) {
            auto *digits = r.item("weightText");
            QTRY_VERIFY(inkHeight(digits) > 0 && inkHeight(digits) < 1080 / 3); // drawn, small
            r.click(u"bigDigitsButton"_s);
            QTRY_VERIFY(inkHeight(digits) >= 1080 / 3);
            QVERIFY(sceneRect(digits->parentItem()).contains(sceneRect(digits))); // in the readout
            r.window->requestActivate();
            QVERIFY(QTest::qWaitForWindowActive(r.window));
            QTest::keyClick(r.window, Qt::Key_F11);
            QTRY_COMPARE(r.window->visibility(), QWindow::FullScreen);
            QTest::keyClick(r.window, Qt::Key_F11);
            QTRY_COMPARE(r.window->visibility(), QWindow::Windowed);
            r.click(u"bigDigitsButton"_s); // and off again
            QTRY_VERIFY(inkHeight(digits) < 1080 / 3);
        }
        QObject *dialog = r.object(u"settingsDialog"_s);
        QMetaObject::invokeMethod(dialog, "open");
        QTRY_VERIFY(dialog->property("opened").toBool());
        checkLayout(dialog->property("contentItem").value<QQuickItem *>()->parentItem(),
                    u"settings"_s);
        QMetaObject::invokeMethod(dialog, "close");
        QTRY_VERIFY(!dialog->property("visible").toBool());
        QObject *wedge = r.object(u"wedgeDialog"_s);
        QMetaObject::invokeMethod(wedge, "open");
        QTRY_VERIFY(wedge->property("opened").toBool());
        checkLayout(wedge->property("contentItem").value<QQuickItem *>()->parentItem(), u"wedge"_s);
        QMetaObject::invokeMethod(wedge, "close");
        QTRY_VERIFY(!wedge->property("visible").toBool());
        // The live API on, with its token and address shown.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 apiPort = probe.serverPort();
        probe.close();
        QCOMPARE(r.js(u"ApiServer.apply(true, '127.0.0.1', %1)"_s.arg(apiPort)).toString(),
                 QString());
        QTRY_VERIFY(r.js(u"ApiServer.listening"_s).toBool());
        QObject *api = r.object(u"apiDialog"_s);
        QMetaObject::invokeMethod(api, "open");
        QTRY_VERIFY(api->property("opened").toBool());
        checkLayout(api->property("contentItem").value<QQuickItem *>()->parentItem(), u"api"_s);
        QMetaObject::invokeMethod(api, "close");
        QTRY_VERIFY(!api->property("visible").toBool());
        // A record with a long port name, so that the records page lays out a full row too.
        auto *store = r.engine->property("_peloraRecordStore").value<RecordStore *>();
        QVERIFY(store);
        QVERIFY(store->addRecord(
                        188.888, u"公斤"_s, u"净重"_s,
                        u"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Q7Z-if00-port0"_s, true)
                > 0);
        for (const QString &page : {u"sensor"_s, u"console"_s, u"records"_s}) {
            r.click(page + u"Button"_s);
            QTRY_VERIFY(r.item(page + u"Page"_s) && r.item(page + u"Page"_s)->isVisible()
                        && r.item(page + u"Page"_s)->x() == 0); // slid in
            if (page == u"sensor"_s)
                r.readSensorPage();
            if (page == u"records"_s)
                QTRY_VERIFY(r.item(u"voidButton"_s) && r.item(u"voidButton"_s)->isVisible());
            checkLayout(r.item(page + u"Page"_s), page);
            r.js(u"Components.Router.back()"_s);
            QTRY_VERIFY(!r.object(page + u"Page"_s));
        }
    }
};

QTEST_MAIN(TestSizes)
#include "tst_sizes.moc"

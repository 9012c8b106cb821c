// Every list, menu and dialog that pops up over a page hides the page: opened in the real
// window and grabbed, the pixels just inside its edge are its own background and its edge is
// drawn. Run under the software renderer (offscreen) and under the default one (on X).

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestPopups : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::Rig r;

    // The popups in the object and visual trees under root. The list of a combo box that is
    // not shown never opens for anyone.
    static void popupsOf(QObject *root, QList<QObject *> &popups)
    {
        for (QObject *o : root->findChildren<QObject *>()) {
            auto *owner = o->property("parent").value<QQuickItem *>();
            if (o->inherits("QQuickPopup") && !o->inherits("QQuickToolTip") && !popups.contains(o)
                && !(owner && owner->inherits("QQuickComboBox") && !owner->isVisible()))
                popups << o;
        }
        if (auto *item = qobject_cast<QQuickItem *>(root)) {
            for (QQuickItem *child : item->childItems())
                popupsOf(child, popups);
        }
    }
    QImage settledGrab()
    {
        QSignalSpy swapped(r.window, &QQuickWindow::frameSwapped);
        for (int i = 0; i < 3; ++i) {
            r.window->update();
            if (!swapped.wait())
                return {};
        }
        return r.window->grabWindow();
    }
    static int brightness(QRgb c) { return (qRed(c) + qGreen(c) + qBlue(c)) / 3; }

    // Opens the popup, and checks its background is drawn whole and edged where it lies.
    void checkOpaque(QObject *popup, const QString &where)
    {
        const QString what = where + u' ' + popup->parent()->objectName();
        const QImage before = settledGrab();
        QMetaObject::invokeMethod(popup, "open");
        QTRY_VERIFY2(popup->property("opened").toBool(), qPrintable(what));
        auto *background = popup->property("background").value<QQuickItem *>();
        QVERIFY2(background, qPrintable(what));
        const QImage shot = settledGrab();
        QVERIFY(!shot.isNull());
        const qreal dpr = shot.devicePixelRatio(); // the box in the picture's pixels
        const QRect px = QTransform::fromScale(dpr, dpr)
                                 .mapRect(background->mapRectToScene(
                                         QRectF(0, 0, background->width(), background->height())))
                                 .toAlignedRect();
        const QColor fill = background->property("color").value<QColor>();
        QVERIFY2(fill.isValid() && fill.alpha() == 255, qPrintable(what + u": no opaque fill"_s));
        const QPoint c = px.center();
        // Just inside the corners and the middle of the top and bottom no text lies: what shows
        // there is its own fill or whatever it draws there (a highlighted entry), not the page.
        for (const int x : {px.left() + 5, c.x(), px.right() - 5}) {
            for (const int y : {px.top() + 3, px.bottom() - 3}) {
                const QRgb in = shot.pixel(x, y);
                const bool page = qAbs(brightness(in) - brightness(before.pixel(x, y))) <= 4;
                QVERIFY2(!page || qAbs(brightness(in) - brightness(fill.rgb())) <= 6,
                         qPrintable(what + u": the page shows through"_s));
            }
        }
        // The middle of each side is the edge.
        for (const QPoint &p : {QPoint(px.left(), c.y()), QPoint(px.right(), c.y()),
                                QPoint(c.x(), px.top()), QPoint(c.x(), px.bottom())}) {
            QVERIFY2(brightness(shot.pixel(p)) <= brightness(fill.rgb()) - 12,
                     qPrintable(what + u": no edge"_s));
        }
        QMetaObject::invokeMethod(popup, "close");
        QTRY_VERIFY(!popup->property("visible").toBool());
    }
    void open(const QString &page)
    {
        r.click(page.chopped(4) + u"Button"_s);
        QTRY_VERIFY(r.item(page) && r.item(page)->isVisible() && r.item(page)->x() == 0); // slid in
    }

private Q_SLOTS:
    void initTestCase()
    {
        Pelora::setIdentity(*qApp, u"PeloraPopupTest"_s);
        QVERIFY(r.startSensor());
        r.remember(r.sensor->portName());
        QVERIFY(r.load());
        QTRY_VERIFY(r.manager->isConnected());
    }

    // Last, on the records page, its export button is drawn as a button.
    void everyPopupHidesThePage()
    {
        QObject *dialog = r.object(u"settingsDialog"_s);
        checkOpaque(dialog, u"home"_s);
        QMetaObject::invokeMethod(dialog, "open");
        QTRY_VERIFY(dialog->property("opened").toBool());
        for (const auto &[page, least] :
             {std::pair(u"settingsDialog"_s, 1), std::pair(u"sensorPage"_s, 10),
              std::pair(u"consolePage"_s, 2), std::pair(u"recordsPage"_s, 2)}) {
            if (page != u"settingsDialog"_s)
                open(page);
            if (page == u"sensorPage"_s)
                r.readSensorPage(); // the editors open once values are in
            QList<QObject *> popups;
            popupsOf(page == u"settingsDialog"_s
                             ? dialog->property("contentItem").value<QObject *>()
                             : r.object(page),
                     popups);
            QVERIFY2(popups.size() >= least,
                     qPrintable(page + u' ' + QString::number(popups.size())));
            for (QObject *popup : std::as_const(popups)) {
                checkOpaque(popup, page);
                if (QTest::currentTestFailed())
                    return;
            }
            if (page == u"settingsDialog"_s) {
                QMetaObject::invokeMethod(dialog, "close");
                QTRY_VERIFY(!dialog->property("visible").toBool());
            } else if (page != u"recordsPage"_s) {
                r.js(u"Components.Router.back()"_s);
                QTRY_VERIFY(!r.object(page));
            }
        }
        // A raised button is drawn as one by every renderer, not as a bare label on the page.
        QQuickItem *button = r.item(u"exportButton"_s);
        const QImage shot = r.window->grabWindow();
        const QPoint inside = button->mapToScene(QPointF(6, button->height() / 2)).toPoint();
        const QPoint beside = button->mapToScene(QPointF(-3, button->height() / 2)).toPoint();
        QVERIFY2(qAbs(qGray(shot.pixel(inside)) - qGray(shot.pixel(beside))) > 8,
                 "the export button has no background of its own");
    }

    void cleanupTestCase() { r.closeWindow(); }
};

QTEST_MAIN(TestPopups)
#include "tst_popups.moc"

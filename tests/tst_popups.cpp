// Every list, menu and dialog that pops up over a page hides the page: opened in the real
// window and grabbed, the pixels just inside its edge are its own background and its edge is
// drawn. Run under the software renderer (offscreen) and under the default one (on X).

#include "sensorsimulator.h"
#include "serialportmanager.h"
#include "startup.h"
#include "testsupport.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestPopups : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch;
    TestSupport::Rig r;

    static QList<QObject *> popupsOf(QObject *root)
    {
        QList<QObject *> popups;
        const auto children = root->findChildren<QObject *>();
        for (QObject *o : children) {
            // The list of a combo box that is not shown never opens for anyone.
            auto *owner = o->property("parent").value<QQuickItem *>();
            if (o->inherits("QQuickPopup") && !o->inherits("QQuickToolTip") && !popups.contains(o)
                && !(owner && owner->inherits("QQuickComboBox") && !owner->isVisible()))
                popups << o;
        }
        if (auto *item = qobject_cast<QQuickItem *>(root)) {
            const auto items = item->childItems();
            for (QQuickItem *child : items) {
                for (QObject *p : popupsOf(child)) {
                    if (!popups.contains(p))
                        popups << p;
                }
            }
        }
        return popups;
    }
    QImage settledGrab()
    {
        for (int i = 0; i < 3; ++i) {
            QSignalSpy swapped(r.window, &QQuickWindow::frameSwapped);
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
        const QString what = where + u" "_s + popup->metaObject()->className() + u" "_s
                + popup->parent()->objectName();
        const QImage before = settledGrab();
        QMetaObject::invokeMethod(popup, "open");
        QTRY_VERIFY2(popup->property("opened").toBool(), qPrintable(what));
        auto *background = popup->property("background").value<QQuickItem *>();
        QVERIFY2(background, qPrintable(what));
        const QImage shot = settledGrab();
        QVERIFY(!shot.isNull());
        const qreal dpr = shot.devicePixelRatio();
        const QRectF box = background->mapRectToScene(
                QRectF(0, 0, background->width(), background->height()));
        const QColor fill = background->property("color").value<QColor>();
        QVERIFY2(fill.isValid() && fill.alpha() == 255, qPrintable(what + u": no opaque fill"_s));
        // Midpoints of the four sides: just inside is the fill, on the side is the edge.
        const QRect px = QRectF(box.topLeft() * dpr, box.bottomRight() * dpr).toAlignedRect();
        const int cx = px.center().x();
        const int cy = px.center().y();
        // Just inside the corners and the middle of the top and bottom no text lies: what
        // shows there is the popup's, not the page's; the middle of each side is the edge.
        const QList<QPoint> inside
                = {{px.left() + 5, px.top() + 3},  {cx, px.top() + 3},
                   {px.right() - 5, px.top() + 3}, {px.left() + 5, px.bottom() - 3},
                   {cx, px.bottom() - 3},          {px.right() - 5, px.bottom() - 3}};
        // What was looked at, for a person to see when a check fails (or every picture, into
        // the folder PELORA_POPUP_PICTURES names).
        shot.save(QDir::temp().filePath(u"pelora-popup.png"_s));
        if (qEnvironmentVariableIsSet("PELORA_POPUP_PICTURES"))
            shot.save(
                    QDir(qEnvironmentVariable("PELORA_POPUP_PICTURES"))
                            .filePath(where + u"-"_s + popup->parent()->objectName() + u".png"_s));
        for (const QPoint &at : inside) {
            const QRgb in = shot.pixel(at);
            // Its own fill, or whatever it draws there (a highlighted entry), but not the page.
            const bool page = qAbs(brightness(in) - brightness(before.pixel(at))) <= 4;
            QVERIFY2(!page || qAbs(brightness(in) - brightness(fill.rgb())) <= 6,
                     qPrintable(
                             u"%1: the page shows through at (%2, %3): %4 instead of %5"_s.arg(what)
                                     .arg(at.x())
                                     .arg(at.y())
                                     .arg(QColor(in).name(), fill.name())));
        }
        const QList<QPoint> edges
                = {{px.left(), cy}, {px.right(), cy}, {cx, px.top()}, {cx, px.bottom()}};
        for (const QPoint &at : edges) {
            const QRgb on = shot.pixel(at);
            QVERIFY2(brightness(on) <= brightness(fill.rgb()) - 12,
                     qPrintable(
                             u"%1: no edge at (%2, %3): %4"_s.arg(what).arg(at.x()).arg(at.y()).arg(
                                     QColor(on).name())));
        }
        QMetaObject::invokeMethod(popup, "close");
        QTRY_VERIFY(!popup->property("visible").toBool());
    }
    void open(const char *button, const QString &page)
    {
        r.click(QString::fromLatin1(button));
        QTRY_VERIFY(r.item(page) && r.item(page)->isVisible());
        QTRY_COMPARE(r.item(page)->x(), 0.0);
        QTRY_VERIFY(!r.object(u"pageStack"_s)
                    || !r.object(u"pageStack"_s)->property("busy").toBool());
    }

private Q_SLOTS:
    void initTestCase()
    {
        Pelora::setIdentity(*qApp, u"PeloraPopupTest"_s);
        QSettings().clear();
        QVERIFY(r.startSensor());
        r.remember(r.sensor->portName());
        QVERIFY(r.load());
        QTRY_VERIFY(r.manager->isConnected());
        qInfo() << "renderer" << r.window->rendererInterface()->graphicsApi();
    }

    void everyPopupHidesThePage()
    {
        QObject *dialog = r.object(u"settingsDialog"_s);
        checkOpaque(dialog, u"home"_s);
        if (QTest::currentTestFailed())
            return;
        QMetaObject::invokeMethod(dialog, "open");
        QTRY_VERIFY(dialog->property("opened").toBool());
        for (QObject *popup : popupsOf(dialog->property("contentItem").value<QObject *>())) {
            checkOpaque(popup, u"settings"_s);
            if (QTest::currentTestFailed())
                return;
        }
        QMetaObject::invokeMethod(dialog, "close");
        QTRY_VERIFY(!dialog->property("visible").toBool());

        const struct
        {
            const char *button;
            const char *page;
            int least;
        } pages[] = {
                {"sensorButton", "sensorPage", 10},
                {"consoleButton", "consolePage", 2},
                {"recordsButton", "recordsPage", 2},
        };
        for (const auto &p : pages) {
            open(p.button, QString::fromLatin1(p.page));
            QObject *page = r.object(QString::fromLatin1(p.page));
            if (QString::fromLatin1(p.page) == u"sensorPage"_s) {
                r.readSensorPage(); // the editors open once values are in
            }
            const QList<QObject *> popups = popupsOf(page);
            QVERIFY2(popups.size() >= p.least,
                     qPrintable(QString::fromLatin1(p.page) + u" "_s
                                + QString::number(popups.size())));
            for (QObject *popup : popups) {
                checkOpaque(popup, QString::fromLatin1(p.page));
                if (QTest::currentTestFailed())
                    return;
            }
            r.js(u"Components.Router.back()"_s);
            QTRY_VERIFY(!r.object(QString::fromLatin1(p.page)));
        }
    }

    // The records' export dialog saves: a typed name enables 保存, and the file is written.
    void exportDialogSaves()
    {
        open("recordsButton", u"recordsPage"_s);
        // A raised button is drawn as one by every renderer, not as a bare label on the page.
        QQuickItem *button = r.item(u"exportButton"_s);
        const QImage shot = r.window->grabWindow();
        const QPoint inside = button->mapToScene(QPointF(6, button->height() / 2)).toPoint();
        const QPoint beside = button->mapToScene(QPointF(-3, button->height() / 2)).toPoint();
        QVERIFY2(qAbs(qGray(shot.pixel(inside)) - qGray(shot.pixel(beside))) > 8,
                 "the export button has no background of its own");
        r.click(u"exportButton"_s); // open bounds: every record
        QObject *field = r.object(u"exportPathField"_s);
        QTRY_VERIFY(r.object(u"fileDialog"_s)->property("opened").toBool());
        QVERIFY(field->property("text").toString().endsWith(u".csv"_s));
        field->setProperty("text", QString());
        QVERIFY(!r.item(u"exportSaveButton"_s)->isEnabled());
        QTemporaryDir dir;
        field->setProperty("text", dir.filePath(u"records.csv"_s));
        r.click(u"exportSaveButton"_s);
        QTRY_VERIFY(QFile::exists(dir.filePath(u"records.csv"_s)));
    }

    void cleanupTestCase() { r.closeWindow(); }
};

QTEST_MAIN(TestPopups)
#include "tst_popups.moc"

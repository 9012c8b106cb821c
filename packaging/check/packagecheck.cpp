// Operates an installed Pelora from inside its own process: preloaded into the installed
// program (LD_PRELOAD), it waits for the window and the sensor, opens every page and every
// dialog and popup on it, makes a record and exports it as CSV, and ends the program with
// 0 when nothing went wrong. Any QML warning or error, "is not installed", a module that
// fails to load, or a step that never completes ends it with 1 and says what. It uses
// nothing of the program but Qt and the objects' names, so it checks exactly what the
// package installed. The CSV goes to $PELORA_CHECK_CSV.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

QtMessageHandler previousHandler = nullptr;
QStringList problems;

void watch(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool fromDocuments
            = message.contains(QLatin1String("qrc:/")) || message.contains(QLatin1String("file:/"));
    if (type == QtCriticalMsg || type == QtFatalMsg
        || message.contains(QLatin1String("is not installed"))
        || message.contains(QLatin1String("module \""))
        || message.contains(QLatin1String("Cannot load library"))
        || message.contains(QLatin1String("Driver not loaded"))
        || (type == QtWarningMsg && fromDocuments))
        problems << message;
    if (previousHandler)
        previousHandler(type, context, message);
}

QQuickWindow *window()
{
    const auto windows = QGuiApplication::topLevelWindows();
    for (QWindow *w : windows) {
        if (auto *quick = qobject_cast<QQuickWindow *>(w))
            return quick;
    }
    return nullptr;
}

// Visible objects first: a page being left may still hold objects of the same name.
QObject *find(const QString &name)
{
    QQuickWindow *w = window();
    if (!w)
        return nullptr;
    QObject *hidden = nullptr;
    const auto all = w->contentItem()->findChildren<QObject *>(name);
    for (QObject *o : all) {
        auto *item = qobject_cast<QQuickItem *>(o);
        if (!item || item->isVisible())
            return o;
        hidden = o;
    }
    if (QObject *o = w->findChild<QObject *>(name))
        return o;
    // Items of a Repeater or a page are in the visual tree only.
    std::function<QQuickItem *(QQuickItem *)> walk = [&](QQuickItem *item) -> QQuickItem * {
        if (item->objectName() == name && item->isVisible())
            return item;
        const auto children = item->childItems();
        for (QQuickItem *child : children) {
            if (QQuickItem *found = walk(child))
                return found;
        }
        return nullptr;
    };
    if (QQuickItem *item = walk(w->contentItem()))
        return item;
    return hidden;
}

QList<QObject *> popupsOf(QObject *root)
{
    QList<QObject *> popups;
    const auto all = root->findChildren<QObject *>();
    for (QObject *o : all) {
        // The list of a combo box that is not shown never opens for anyone.
        auto *owner = o->property("parent").value<QQuickItem *>();
        if (o->inherits("QQuickPopup") && !o->inherits("QQuickToolTip") && !popups.contains(o)
            && !(owner && owner->inherits("QQuickComboBox") && !owner->isVisible()))
            popups << o;
    }
    if (auto *item = qobject_cast<QQuickItem *>(root)) {
        const auto children = item->childItems();
        for (QQuickItem *child : children) {
            for (QObject *p : popupsOf(child)) {
                if (!popups.contains(p))
                    popups << p;
            }
        }
    }
    return popups;
}

// A list of steps, each tried every 50 ms until it says it is done.
class Script : public QObject
{
public:
    using Step = std::function<bool()>;
    void add(const QString &what, Step step) { m_steps.append({what, std::move(step)}); }
    void start()
    {
        m_timer.setInterval(50);
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_timer.start();
        m_clock.start();
    }

private:
    void tick()
    {
        if (m_at >= m_steps.size()) {
            finish(problems.isEmpty() ? 0 : 1, QString());
            return;
        }
        if (m_steps[m_at].second()) {
            ++m_at;
            m_clock.restart();
        } else if (m_clock.elapsed() > 20000) {
            finish(2, QStringLiteral("step never completed: ") + m_steps[m_at].first);
        }
    }
    void finish(int code, const QString &why)
    {
        m_timer.stop();
        QTextStream err(stderr);
        if (!why.isEmpty())
            err << "package check: " << why << Qt::endl;
        for (const QString &p : std::as_const(problems))
            err << "package check: problem: " << p << Qt::endl;
        if (code == 0 && !problems.isEmpty())
            code = 1;
        err << "package check: " << (code == 0 ? "passed" : "FAILED") << " after " << m_at << " of "
            << m_steps.size() << " steps" << Qt::endl;
        QCoreApplication::exit(code);
    }

    QList<std::pair<QString, Step>> m_steps;
    qsizetype m_at = 0;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

bool invoke(const QString &name, const char *method)
{
    QObject *o = find(name);
    return o && QMetaObject::invokeMethod(o, method);
}

// Opens each popup of the named object in turn and closes it again.
void openEveryPopup(Script *script, const QString &owner)
{
    auto queue = std::make_shared<QList<QPointer<QObject>>>();
    auto state = std::make_shared<int>(0); // 0 collect, 1 open next, 2 wait open, 3 wait closed
    script->add(QStringLiteral("every popup of ") + owner, [=]() -> bool {
        if (*state == 0) {
            QObject *root = find(owner);
            if (!root)
                return false;
            for (QObject *p : popupsOf(root))
                queue->append(p);
            *state = 1;
        }
        if (*state == 1) {
            while (!queue->isEmpty() && queue->first().isNull())
                queue->removeFirst();
            if (queue->isEmpty())
                return true;
            QMetaObject::invokeMethod(queue->first(), "open");
            *state = 2;
            return false;
        }
        QObject *p = queue->first();
        if (!p) {
            *state = 1;
            return false;
        }
        if (*state == 2 && p->property("opened").toBool()) {
            QMetaObject::invokeMethod(p, "close");
            *state = 3;
        } else if (*state == 3 && !p->property("visible").toBool()) {
            queue->removeFirst();
            *state = 1;
        }
        return false;
    });
}

void openPage(Script *script, const QString &button, const QString &page)
{
    script->add(QStringLiteral("open ") + page, [=] {
        if (QObject *p = find(page))
            return p->property("visible").toBool();
        invoke(button, "clicked");
        return false;
    });
}

void run()
{
    auto *script = new Script;
    script->add(QStringLiteral("the window"),
                [] { return window() && find(QStringLiteral("weightDisplay")); });
    script->add(QStringLiteral("a live reading"), [] {
        QObject *display = find(QStringLiteral("weightDisplay"));
        return display && display->property("live").toBool();
    });
    script->add(QStringLiteral("settings dialog"), [] {
        QObject *dialog = find(QStringLiteral("settingsDialog"));
        if (dialog && dialog->property("opened").toBool())
            return true;
        invoke(QStringLiteral("settingsButton"), "clicked");
        return false;
    });
    openEveryPopup(script, QStringLiteral("settingsDialog"));
    script->add(QStringLiteral("settings dialog closed"), [] {
        QObject *dialog = find(QStringLiteral("settingsDialog"));
        if (dialog && !dialog->property("visible").toBool())
            return true;
        if (dialog)
            QMetaObject::invokeMethod(dialog, "close");
        return false;
    });

    openPage(script, QStringLiteral("sensorButton"), QStringLiteral("sensorPage"));
    script->add(QStringLiteral("sensor read"),
                [] { return invoke(QStringLiteral("sensorPage"), "readAll"); });
    openEveryPopup(script, QStringLiteral("sensorPage"));
    script->add(QStringLiteral("home"), [] {
        invoke(QStringLiteral("backButton"), "clicked");
        return !find(QStringLiteral("sensorPage"));
    });

    openPage(script, QStringLiteral("consoleButton"), QStringLiteral("consolePage"));
    openEveryPopup(script, QStringLiteral("consolePage"));
    script->add(QStringLiteral("home"), [] {
        invoke(QStringLiteral("backButton"), "clicked");
        return !find(QStringLiteral("consolePage"));
    });

    // The stations' page, with no server set: it says where to set one.
    openPage(script, QStringLiteral("fleetButton"), QStringLiteral("fleetPage"));
    script->add(QStringLiteral("fleet page's hint"), [] {
        QObject *hint = find(QStringLiteral("fleetNoServerHint"));
        return hint && hint->property("visible").toBool();
    });
    script->add(QStringLiteral("home"), [] {
        invoke(QStringLiteral("backButton"), "clicked");
        return !find(QStringLiteral("fleetPage"));
    });

    openPage(script, QStringLiteral("recordsButton"), QStringLiteral("recordsPage"));
    script->add(QStringLiteral("a record"), [] {
        QObject *list = find(QStringLiteral("recordList"));
        if (list && list->property("count").toInt() > 0)
            return true;
        invoke(QStringLiteral("recordNowButton"), "clicked");
        return false;
    });
    openEveryPopup(script, QStringLiteral("recordsPage"));
    auto fileDialogShown = std::make_shared<bool>(false);
    script->add(QStringLiteral("the file dialog"), [=] {
        QObject *dialog = find(QStringLiteral("fileDialog"));
        if (!dialog)
            return false;
        if (!*fileDialogShown) {
            QMetaObject::invokeMethod(dialog, "open");
            *fileDialogShown = true;
            return false;
        }
        if (!dialog->property("visible").toBool())
            return false;
        QMetaObject::invokeMethod(dialog, "reject");
        return true;
    });
    script->add(QStringLiteral("the CSV export"), [] {
        const QString path = qEnvironmentVariable("PELORA_CHECK_CSV");
        QObject *page = find(QStringLiteral("recordsPage"));
        if (path.isEmpty() || !page)
            return false;
        if (!QFile::exists(path))
            QMetaObject::invokeMethod(page, "exportTo", Q_ARG(QVariant, QUrl::fromLocalFile(path)));
        QFile csv(path);
        return csv.open(QIODevice::ReadOnly) && csv.readAll().count('\n') >= 2;
    });
    // The record's ticket as a PDF, through its dialog (a fresh root has no printer).
    script->add(QStringLiteral("a ticket"), [] {
        const QString path = qEnvironmentVariable("PELORA_CHECK_CSV") + QStringLiteral(".pdf");
        QObject *dialog = find(QStringLiteral("ticketDialog"));
        if (!dialog)
            return false;
        if (!dialog->property("visible").toBool()) {
            invoke(QStringLiteral("ticketButton"), "clicked");
            return false;
        }
        QObject *field = find(QStringLiteral("ticketPathField"));
        if (!field)
            return false;
        if (field->property("text").toString() != path) {
            field->setProperty("text", path);
            return false;
        }
        if (!QFile::exists(path)) {
            invoke(QStringLiteral("ticketGoButton"), "clicked");
            return false;
        }
        QMetaObject::invokeMethod(dialog, "close");
        return true;
    });
    script->start();
}

void begin()
{
    if (!qEnvironmentVariableIsSet("PELORA_CHECK_CSV"))
        return;
    previousHandler = qInstallMessageHandler(watch);
    QTimer::singleShot(0, qApp, run);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(begin)

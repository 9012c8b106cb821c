// The keyboard wedge on an X server of the test's own: it types into a separate program
// (support/wedgesink.cpp) as an operator would see it, and that program's text is compared.
#include "appsettings.h"
#include "keyboardwedge.h"
#include "recordstore.h"
#include "settingsstore.h"
#include "testsupport.h"
#include "weighrecorder.h"
#include "weightreading.h"

#include <QGuiApplication>
#include <QProcess>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace Qt::StringLiterals;

namespace {

// An X server started for this test; display -1 when there is none.
struct Xvfb
{
    pid_t pid = -1;
    int display = -1;

    explicit Xvfb(const QStringList &extra = {})
    {
        const QString binary = QStandardPaths::findExecutable(u"Xvfb"_s);
        int fds[2];
        if (binary.isEmpty() || pipe(fds) != 0)
            return;
        QList<QByteArray> args{binary.toLocal8Bit(),
                               "-displayfd",
                               QByteArray::number(fds[1]),
                               "-screen",
                               "0",
                               "1280x1024x24",
                               "-nolisten",
                               "tcp"};
        for (const QString &arg : extra)
            args << arg.toLocal8Bit();
        std::vector<char *> argv;
        for (QByteArray &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        // The server writes its display number once it takes connections.
        QByteArray number;
        char c = 0;
        while (pid > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        bool ok = false;
        display = number.trimmed().toInt(&ok);
        if (!ok)
            display = -1;
    }
    ~Xvfb()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    QByteArray name() const { return ":" + QByteArray::number(display); }
};

std::unique_ptr<Xvfb> server;

// The test's own X errors (a grab refused) are noted; the wedge handles its own.
int lastTestError = 0;
int onTestError(Display *, XErrorEvent *error)
{
    lastTestError = error->error_code;
    return 0;
}

QString escaped(QString text)
{
    text.replace(u'\\', u"\\\\"_s);
    text.replace(u'\t', u"\\t"_s);
    text.replace(u'\n', u"\\n"_s);
    return text;
}

} // namespace

// After a z pressed by the test itself, the sink's text is exactly what went before it.
#define EXPECT_TYPED(text) \
    do { \
        pressKey(XK_z); \
        QTRY_COMPARE(sinkText(), escaped(text) + u"z"_s); \
    } while (false)

class tst_Wedge : public QObject
{
    Q_OBJECT

    TestSupport::ScratchSettings m_scratch; // before any QSettings is made
    Display *m_x = nullptr; // the operator's hands: focus and keys
    QProcess m_sink;
    QStringList m_texts;
    unsigned long m_sinkWindow = 0;
    SettingsStore *m_settings = nullptr;
    WeightReading m_reading;
    std::unique_ptr<KeyboardWedge> m_wedge;

    QString sinkText() const { return m_texts.value(m_texts.size() - 1); }

    void pressKey(KeySym sym)
    {
        const KeyCode code = XKeysymToKeycode(m_x, sym);
        XTestFakeKeyEvent(m_x, code, True, CurrentTime);
        XTestFakeKeyEvent(m_x, code, False, CurrentTime);
        XSync(m_x, False);
    }
    void focus(unsigned long window)
    {
        XSetInputFocus(m_x, window, RevertToParent, CurrentTime);
        XSync(m_x, False);
    }
    unsigned long focused() const
    {
        Window window = 0;
        int revert = 0;
        XGetInputFocus(m_x, &window, &revert);
        return window;
    }
    bool clearSink()
    {
        const qsizetype before = m_texts.size();
        m_sink.write("clear\n");
        return QTest::qWaitFor([&] { return m_texts.size() > before && sinkText().isEmpty(); });
    }
    void stableFrame(double kg)
    {
        m_reading.applyFrame(QVariantMap{{u"weight"_s, kg}, {u"stable"_s, true}});
    }
    // F4 grabbed on the desktop by someone: a grab of our own is then refused.
    bool f4Held()
    {
        const KeyCode code = XKeysymToKeycode(m_x, XK_F4);
        lastTestError = 0;
        XGrabKey(m_x, code, 0, DefaultRootWindow(m_x), False, GrabModeAsync, GrabModeAsync);
        XSync(m_x, False);
        const bool held = lastTestError == BadAccess;
        XUngrabKey(m_x, code, 0, DefaultRootWindow(m_x));
        XSync(m_x, False);
        return held;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!server || server->display < 0)
            QSKIP("No Xvfb here: the keyboard wedge needs an X server to type into "
                  "(scripts/setup.sh installs the package xvfb)");
        QCOMPARE(QGuiApplication::platformName(), u"xcb"_s);
        m_x = XOpenDisplay(nullptr);
        QVERIFY(m_x);
        XSetErrorHandler(onTestError);
        connect(&m_sink, &QProcess::readyReadStandardOutput, this, [this] {
            while (m_sink.canReadLine()) {
                const QString line = QString::fromUtf8(m_sink.readLine()).chopped(1);
                if (line.startsWith(u"window "_s))
                    m_sinkWindow = line.mid(7).toULong();
                else if (line.startsWith(u"text:"_s))
                    m_texts.append(line.mid(5));
            }
        });
        m_sink.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_sink.start(QStringLiteral(WEDGE_SINK), {});
        QTRY_VERIFY_WITH_TIMEOUT(m_sinkWindow != 0, 20000);
        m_settings = SettingsStore::create(nullptr, nullptr);
        m_wedge = std::make_unique<KeyboardWedge>(m_settings, nullptr);
        m_wedge->follow(&m_reading);
    }

    void cleanupTestCase()
    {
        m_wedge.reset();
        if (m_sink.state() != QProcess::NotRunning) {
            m_sink.closeWriteChannel();
            QVERIFY(m_sink.waitForFinished(10000));
        }
        if (m_x)
            XCloseDisplay(m_x);
    }

    void init()
    {
        m_wedge->setEnabled(true);
        m_wedge->setWithUnit(false);
        m_wedge->setDecimalComma(false);
        m_wedge->setTerminator(KeyboardWedge::Tab);
        m_wedge->setAfterRecord(false);
        AppSettings::instance()->setWeightUnit(1);
        m_reading.setStaleTimeoutMs(60000);
        m_reading.reset(true);
        focus(m_sinkWindow);
        QVERIFY(clearSink());
    }

    // The weight as the display shows it, in its unit, with the chosen decimal mark, unit
    // and key after it, exactly: every character a form could receive, on the layout in use.
    void typesTheDisplayedWeight_data()
    {
        QTest::addColumn<double>("kg");
        QTest::addColumn<int>("unit");
        QTest::addColumn<bool>("withUnit");
        QTest::addColumn<bool>("comma");
        QTest::addColumn<int>("terminator");
        QTest::addColumn<QString>("typed");
        QTest::newRow("kg, point, Tab") << 12.345 << 1 << false << false << 1 << u"12.345\t"_s;
        QTest::newRow("kg with unit, comma, Enter")
                << 12.345 << 1 << true << true << 2 << u"12,345 kg\n"_s;
        QTest::newRow("jin with unit, nothing after")
                << 12.345 << 0 << true << false << 0 << u"24.690 斤"_s;
        QTest::newRow("negative, comma") << -0.5 << 1 << false << true << 1 << u"-0,500\t"_s;
        QTest::newRow("rounds to zero: no sign")
                << -0.0004 << 1 << true << false << 0 << u"0.000 kg"_s;
        QTest::newRow("thousands without separator")
                << 1234.5678 << 0 << false << false << 2 << u"2469.136\n"_s;
    }
    void typesTheDisplayedWeight()
    {
        QFETCH(double, kg);
        QFETCH(int, unit);
        QFETCH(bool, withUnit);
        QFETCH(bool, comma);
        QFETCH(int, terminator);
        QFETCH(QString, typed);
        AppSettings::instance()->setWeightUnit(unit);
        m_wedge->setWithUnit(withUnit);
        m_wedge->setDecimalComma(comma);
        m_wedge->setTerminator(terminator);
        QCOMPARE(m_wedge->textFor(kg, unit), typed);
        stableFrame(kg);
        QVERIFY(m_wedge->canSend());
        QVERIFY2(m_wedge->send(), qPrintable(m_wedge->lastMessage()));
        QVERIFY(m_wedge->lastMessage().startsWith(u"已输入 "_s));
        EXPECT_TYPED(typed);
    }

    // A weight that is not the sensor's current, settled one is never typed.
    void refusesAReadingThatIsNotCurrent_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("why");
        QTest::newRow("disconnected") << u"disconnected"_s << u"传感器未连接"_s;
        QTest::newRow("no frame yet") << u"waiting"_s << u"还没有读数"_s;
        QTest::newRow("stale") << u"stale"_s << u"过时"_s;
        QTest::newRow("overloaded") << u"overload"_s << u"超载"_s;
        QTest::newRow("not stable") << u"unstable"_s << u"不稳定"_s;
        QTest::newRow("wedge off") << u"off"_s << u"未开启"_s;
    }
    void refusesAReadingThatIsNotCurrent()
    {
        QFETCH(QString, state);
        QFETCH(QString, why);
        if (state == u"disconnected") {
            m_reading.reset(false);
        } else if (state == u"stale") {
            m_reading.setStaleTimeoutMs(50);
            QSignalSpy stale(&m_reading, &WeightReading::staleChanged);
            stableFrame(5);
            QVERIFY(stale.wait());
        } else if (state == u"overload") {
            m_reading.applyFrame(
                    QVariantMap{{u"weight"_s, 99.0}, {u"stable"_s, true}, {u"overload"_s, true}});
        } else if (state == u"unstable") {
            m_reading.applyFrame(QVariantMap{{u"weight"_s, 5.0}, {u"stable"_s, false}});
        } else if (state == u"off") {
            stableFrame(5);
            m_wedge->setEnabled(false);
        }
        QVERIFY(!m_wedge->canSend());
        QVERIFY(!m_wedge->send());
        QVERIFY2(m_wedge->lastMessage().contains(why), qPrintable(m_wedge->lastMessage()));
        EXPECT_TYPED(QString());
    }

    // After each automatic record the record's weight is typed; a record made by hand is not
    // (the operator is in Pelora then), nor any record while the option is off.
    void typesAfterAnAutomaticRecord()
    {
        QTemporaryDir dir;
        RecordStore store(dir.filePath(u"records.sqlite"_s));
        WeighRecorder recorder(&store);
        QTRY_VERIFY(store.stateKnown());
        recorder.setDivision(0.01);
        KeyboardWedge wedge(m_settings, &store);
        wedge.setAfterRecord(true);
        QSignalSpy typed(&wedge, &KeyboardWedge::typed);
        QSignalSpy written(&store, &RecordStore::recordWritten);
        qint64 t = 1'000'000;
        const auto stand = [&](double kg) {
            for (const qint64 end = t + 2000; t < end; t += 100)
                recorder.offer(kg, true, true, false, u"公斤"_s, {}, u"/dev/pts/1"_s, t);
        };
        stand(7.5);
        QVERIFY(written.wait());
        QCOMPARE(written.last().at(0).toMap().value(u"manual"_s).toBool(), false);
        QCOMPARE(typed.count(), 1);
        EXPECT_TYPED(u"7.500\t"_s);

        QVERIFY(clearSink());
        QVERIFY(recorder.recordNow() > 0);
        QVERIFY(written.wait());
        QCOMPARE(written.last().at(0).toMap().value(u"manual"_s).toBool(), true);
        EXPECT_TYPED(QString());

        QVERIFY(clearSink());
        wedge.setAfterRecord(false);
        stand(0);
        stand(3.25);
        QVERIFY(written.wait());
        EXPECT_TYPED(QString());
        QCOMPARE(typed.count(), 1);
    }

    // Sent from Pelora's own window (its button, its F4), the text goes to the program that
    // had the focus before; with none known, nothing is typed.
    void handsTheFocusBack()
    {
        QQuickWindow own;
        own.resize(320, 200);
        own.show();
        QVERIFY(QTest::qWaitForWindowExposed(&own));
        focus(own.winId());
        QTRY_VERIFY(own.isActive());
        stableFrame(4.2);
        {
            KeyboardWedge fresh(m_settings, nullptr); // knows no window but ours
            fresh.follow(&m_reading);
            QVERIFY(!fresh.send());
            QVERIFY2(fresh.lastMessage().contains(u"没有其他程序的窗口"_s),
                     qPrintable(fresh.lastMessage()));
            QCOMPARE(focused(), own.winId());
        }
        focus(m_sinkWindow);
        focus(own.winId());
        QTRY_VERIFY(own.isActive());
        QVERIFY2(m_wedge->send(), qPrintable(m_wedge->lastMessage()));
        QCOMPARE(focused(), m_sinkWindow);
        EXPECT_TYPED(u"4.200\t"_s);
    }

    // While on, F4 pressed in another program types the weight there; once off, the key is
    // the desktop's again.
    void f4TypesInAnotherProgram()
    {
        stableFrame(3.2);
        QVERIFY(f4Held());
        QSignalSpy typed(m_wedge.get(), &KeyboardWedge::typed);
        pressKey(XK_F4);
        QVERIFY(typed.wait());
        EXPECT_TYPED(u"3.200\t"_s);

        m_wedge->setEnabled(false);
        QVERIFY(!f4Held());
        QVERIFY(clearSink());
        pressKey(XK_F4);
        EXPECT_TYPED(QString());
        QCOMPARE(typed.count(), 1);
        m_wedge->setEnabled(true);
        QVERIFY(f4Held());
    }

    // Where nothing can be typed the wedge says why, in the operator's words.
    void saysWhyItIsUnavailable()
    {
        const QByteArray display = qgetenv("DISPLAY");
        const auto reasonWith = [&](const char *variable, const QByteArray &value) {
            qputenv(variable, value);
            KeyboardWedge wedge(m_settings, nullptr);
            qputenv("DISPLAY", display);
            qunsetenv("XDG_SESSION_TYPE");
            stableFrame(1);
            wedge.follow(&m_reading);
            if (wedge.available() || wedge.send() || wedge.canSend())
                return QString();
            return wedge.lastMessage() == wedge.unavailableReason() ? wedge.unavailableReason()
                                                                    : QString();
        };
        QVERIFY(reasonWith("XDG_SESSION_TYPE", "wayland").contains(u"Wayland"_s));
        QVERIFY(reasonWith("DISPLAY", ":").contains(u"没有 X 显示"_s));
        Xvfb withoutXTest({u"-extension"_s, u"XTEST"_s});
        QVERIFY(withoutXTest.display >= 0);
        QVERIFY(reasonWith("DISPLAY", withoutXTest.name()).contains(u"XTest"_s));
        EXPECT_TYPED(QString());
    }
};

int main(int argc, char *argv[])
{
    // The test's own X server, and Qt on it, before the application is made.
    server = std::make_unique<Xvfb>();
    if (server->display >= 0) {
        qputenv("DISPLAY", server->name());
        qputenv("QT_QPA_PLATFORM", "xcb");
        qunsetenv("WAYLAND_DISPLAY");
        qunsetenv("XDG_SESSION_TYPE");
    }
    int result = 0;
    {
        QGuiApplication app(argc, argv);
        QCoreApplication::setOrganizationName(u"Pelora"_s);
        tst_Wedge test;
        QTEST_SET_MAIN_SOURCE_PATH
        result = QTest::qExec(&test, argc, argv);
    }
    server.reset();
    return result;
}

#include "tst_wedge.moc"

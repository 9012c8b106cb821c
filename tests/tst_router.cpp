// The router against a real StackView: which page a route leads to, when a page on the
// stack is reused, what is logged, and how back() ends the application.

#include "testsupport.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class TestRouter : public QObject
{
    Q_OBJECT

    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<QObject> m_root;

    // Runs script in the test document, where Router and the stack are in scope.
    QVariant js(const QString &code)
    {
        QQmlExpression expression(qmlContext(m_root.get()), m_root.get(), code);
        const QVariant result = expression.evaluate();
        if (expression.hasError())
            qWarning("%s", qPrintable(expression.error().toString()));
        return result;
    }
    int depth() { return js(QStringLiteral("stack.depth")).toInt(); }
    QString top() { return js(QStringLiteral("stack.currentItem._route")).toString(); }

private Q_SLOTS:
    void init()
    {
        m_engine = std::make_unique<QQmlEngine>();
        TestSupport::prepareEngine(*m_engine);
        QQmlComponent component(m_engine.get());
        component.setData(R"(
            import QtQuick
            import QtQuick.Controls
            import Pelora
            Item {
                width: 400; height: 300
                property alias stack: stack
                property var home
                property var upper
                StackView { id: stack; anchors.fill: parent }
                Component {
                    id: page
                    Item { property string _route: ""; property var argument: ({}) }
                }
                Component.onCompleted: Router.routes = { "/home": page, "/a": page, "/b": page }
            })",
                          QUrl(QStringLiteral("qrc:/router-test.qml")));
        m_root.reset(component.create());
        QVERIFY2(m_root, qPrintable(component.errorString()));
    }
    void cleanup()
    {
        m_root.reset();
        m_engine.reset();
    }

    void logsWhatItCannotDo()
    {
        QTest::ignoreMessage(
                QtCriticalMsg,
                "Router.stackView is not set; call Router.setStackView(stackView) first.");
        js(QStringLiteral("Router.navigate('/home')"));
        QCOMPARE(depth(), 0);

        js(QStringLiteral("Router.setStackView(stack)"));
        QTest::ignoreMessage(QtCriticalMsg, "Not Found Route /nowhere");
        js(QStringLiteral("Router.navigate('/nowhere')"));
        QCOMPARE(depth(), 0);

        js(QStringLiteral("Router.setStackView({ depth: 0 })"));
        QTest::ignoreMessage(QtCriticalMsg, "Router.stackView does not support push().");
        js(QStringLiteral("Router.navigate('/home')"));
    }

    void returnsToAPageOfTheSameRoute()
    {
        js(QStringLiteral("Router.setStackView(stack)"));
        js(QStringLiteral("Router.navigate('/home')"));
        QCOMPARE(depth(), 1);
        QCOMPARE(top(), QStringLiteral("/home"));
        js(QStringLiteral("home = stack.currentItem"));

        // Again on top: nothing is pushed, the argument is replaced by a fresh empty object.
        js(QStringLiteral("Router.navigate('/home', { n: 1 }); Router.navigate('/home')"));
        QCOMPARE(depth(), 1);
        QCOMPARE(js(QStringLiteral("JSON.stringify(stack.currentItem.argument)")).toString(),
                 QStringLiteral("{}"));

        js(QStringLiteral("Router.navigate('/a'); Router.navigate('/b')"));
        QCOMPARE(depth(), 3);
        QCOMPARE(top(), QStringLiteral("/b"));

        // Further down: everything above it goes, and it gets the new argument.
        js(QStringLiteral("Router.navigate('/home', { n: 2 })"));
        QCOMPARE(depth(), 1);
        QVERIFY(js(QStringLiteral("stack.currentItem === home")).toBool());
        QCOMPARE(js(QStringLiteral("stack.currentItem.argument.n")).toInt(), 2);
    }

    void theUpperOfTwoPagesWins()
    {
        js(QStringLiteral("Router.setStackView(stack)"));
        js(QStringLiteral("Router.navigate('/a'); Router.navigate('/home')"));
        // Two pages under "/a": pushed directly, as the router itself never would.
        js(QStringLiteral("upper = stack.push(Router.routes['/a'], { _route: '/a' }); "
                          "Router.navigate('/b')"));
        QCOMPARE(depth(), 4);
        js(QStringLiteral("Router.navigate('/a', { which: 'upper' })"));
        QCOMPARE(depth(), 3);
        QVERIFY(js(QStringLiteral("stack.currentItem === upper")).toBool());
        QCOMPARE(js(QStringLiteral("stack.get(0).argument.which")).toString(), QString());
    }

    void backPopsOrEndsTheApplication()
    {
        QSignalSpy exit(m_engine.get(), &QQmlEngine::exit);
        js(QStringLiteral("Router.setStackView(stack)"));
        js(QStringLiteral("Router.navigate('/home'); Router.navigate('/a'); Router.back()"));
        QCOMPARE(depth(), 1);
        QCOMPARE(exit.count(), 0);

        js(QStringLiteral("Router.back()")); // the last page: the application ends with 0
        QCOMPARE(exit.count(), 1);
        QCOMPARE(exit.at(0).at(0).toInt(), 0);
        QCOMPARE(depth(), 1);
    }
};

QTEST_MAIN(TestRouter)
#include "tst_router.moc"

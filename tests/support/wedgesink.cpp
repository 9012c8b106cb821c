// A program that is not Pelora for the keyboard wedge to type into: one text field that keeps
// Tab and Enter as text. It prints "window <id>" once it has the keyboard focus, then its whole
// text ("text:" and the text with \t, \n and \\ escaped) on every change. "clear" on standard
// input empties it and prints the text again.
#include <QApplication>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QWindow>

#include <cstdio>
#include <iostream>
#include <string>

static void print(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

static void printText(const QPlainTextEdit &edit)
{
    QString text = edit.toPlainText();
    text.replace(u'\\', QStringLiteral("\\\\"));
    text.replace(u'\t', QStringLiteral("\\t"));
    text.replace(u'\n', QStringLiteral("\\n"));
    print(QStringLiteral("text:") + text);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QPlainTextEdit edit;
    edit.setTabChangesFocus(false);
    edit.setWindowTitle(QStringLiteral("wedge sink"));
    edit.resize(400, 200);
    QObject::connect(&edit, &QPlainTextEdit::textChanged, &edit, [&edit] { printText(edit); });
    bool told = false;
    QObject::connect(&app, &QGuiApplication::focusWindowChanged, &edit, [&](QWindow *window) {
        if (!told && window && window == edit.windowHandle()) {
            told = true;
            print(QStringLiteral("window %1").arg(window->winId()));
        }
    });
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &edit, [&] {
        std::string line;
        if (!std::getline(std::cin, line)) {
            app.quit();
            return;
        }
        if (line == "clear") {
            edit.clear();
            printText(edit);
        }
    });
    edit.show();
    edit.activateWindow();
    return app.exec();
}

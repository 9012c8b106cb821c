#include "startup.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>

int main(int argc, char *argv[])
{
    int exitCode = 0;
    {
        QGuiApplication app(argc, argv);
        Pelora::setIdentity(app);
        QQmlApplicationEngine engine;
        Pelora::loadRoot(engine, app);
        exitCode = QGuiApplication::exec();
    } // the engine goes before the application object
    return exitCode;
}

#include "tools.h"

Tools::Tools(QObject *parent) : QObject(parent) { }

Tools *Tools::create(QQmlEngine *, QJSEngine *)
{
    static Tools *instance = new Tools;
    return instance;
}

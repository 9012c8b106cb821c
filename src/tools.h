#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

class Tools : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit Tools(QObject *parent = nullptr);

    static Tools *create(QQmlEngine *, QJSEngine *);
};

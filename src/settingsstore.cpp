#include "settingsstore.h"

SettingsStore::SettingsStore(QObject *parent) : QObject(parent) { }

SettingsStore *SettingsStore::create(QQmlEngine *, QJSEngine *)
{
    static SettingsStore *instance = new SettingsStore;
    return instance;
}

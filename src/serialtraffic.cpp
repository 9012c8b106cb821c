#include "serialtraffic.h"

SerialTraffic::SerialTraffic(QObject *parent) : QObject(parent) { }

#include "journal/station_name.h"

#include <QSysInfo>

QString stationName() { return QSysInfo::machineHostName(); }

#pragma once
// This station's name as the journal records it with each run it starts
// (runs.station): the machine's host name. Read each time: an administrator
// may rename the station, and its runs from then on carry the new name.

#include <QString>

QString stationName();

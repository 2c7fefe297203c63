#ifndef RUNREPORT_H
#define RUNREPORT_H

#include "hessianmaximamainwin.h"

#include <QString>

// The one-line report of a run, as the status bar shows it:
// "Success. Feature count: N. Time per frame: T msec. Frames per second: F"
// or "Failed".
QString runReport(const HessianMaximaMainWin::_HessianDetMaxResult &result);

#endif // RUNREPORT_H

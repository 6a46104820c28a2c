// Driver identity and the simple host queries. (Not built yet: every query answers
// ASE_NotPresent.)
#include "driver/ASIOSrv.h"

void ASIOSrv::getDriverName(char*) {}
long ASIOSrv::getDriverVersion() { return 0; }
void ASIOSrv::getErrorMessage(char*) {}
ASIOError ASIOSrv::getLatencies(long*, long*) { return ASE_NotPresent; }
ASIOError ASIOSrv::getClockSources(ASIOClockSource*, long*) { return ASE_NotPresent; }
ASIOError ASIOSrv::setClockSource(long) { return ASE_NotPresent; }
ASIOError ASIOSrv::getChannelInfo(ASIOChannelInfo*) { return ASE_NotPresent; }
ASIOError ASIOSrv::future(long, void*) { return ASE_NotPresent; }

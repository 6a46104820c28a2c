// The buffer-size control panel. (Not built yet: answers ASE_NotPresent.)
#include "driver/ASIOSrv.h"

ASIOError ASIOSrv::controlPanel() { return ASE_NotPresent; }

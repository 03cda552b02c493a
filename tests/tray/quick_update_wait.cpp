// The update wait of TrayHerald's test builds, in place of the program's minute: short
// enough for a test to see the wait run out. Its length comes from the build.
#include "update_watcher.h"

const DWORD kUpdateWaitMs = TRAY_TEST_UPDATE_WAIT_MS;

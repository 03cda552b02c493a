// The length of TrayHerald's update wait: the one minute the program promises. It is kept
// out of the worker's library so that the tests can link that worker with a shorter wait.
#include "update_watcher.h"

const DWORD kUpdateWaitMs = utils::EventHandle::kDefaultWaitMs;

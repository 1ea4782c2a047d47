// One engine's state: a browser process, its DevTools connection, its
// browsers and its message loop's tasks. The engine functions act on the
// calling thread's current engine.
#pragma once

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/browser_process.h"
#include "engine/devtools_connection.h"
#include "engine/engine.h"
#include "engine/page_session.h"
#include "engine/task_loop.h"

namespace engine {

class Engine {
 public:
  bool initialized = false;
  bool handleSignals = true;
  std::shared_ptr<App> app;
  BrowserProcess process;
  Connection connection;
  int logFd = -1;
  int profileLockFd = -1;
  bool disposableProfile = false;
  std::string launchTargetId;  // the blank page opened at launch, until a browser takes it
  // A blank page in a context of its own, attached and with its common
  // set-up sent, until a browser takes it.
  bool sparePending = false;
  bool spareDropped = false;  // dispose of the pending spare when it comes
  std::string spareContextId, spareTargetId, spareSessionId;
  std::set<int> spareSetupInFlight;
  // A round trip sent when the last browsers closed, before their contexts
  // went: news of the spare's crash sent before it has come when answered.
  int spareCheckId = 0;
  std::vector<std::shared_ptr<PageSession>> browsers;
  int nextBrowserId = 0;
  std::atomic<bool> quit{false};
  std::shared_ptr<TaskQueue> tasks = std::make_shared<TaskQueue>();
};

// The calling thread's current engine; the process's first one when the
// thread made none current.
Engine& CurrentEngine();

}  // namespace engine

// Engines of their own for the threads of a batch, and what a batch does
// with one between jobs: closing its pages, keeping a spare one ready, and
// checking on its browser.
#include "engine/engine_state.h"

#include <utility>

namespace engine {
namespace {

// Never destroyed: tasks may be posted during exit.
Engine* const gFirstEngine = new Engine();
thread_local std::shared_ptr<Engine> tCurrent;

}  // namespace

Engine& CurrentEngine() { return tCurrent ? *tCurrent : *gFirstEngine; }

TaskQueue& Tasks() { return *CurrentEngine().tasks; }
std::shared_ptr<TaskQueue> TasksShared() { return CurrentEngine().tasks; }

std::shared_ptr<Engine> NewEngine() { return std::make_shared<Engine>(); }

void MakeCurrent(std::shared_ptr<Engine> engine) { tCurrent = std::move(engine); }

bool BrowserAlive() {
  Engine& e = CurrentEngine();
  return e.initialized && e.process.running() && !e.process.Exited() && !e.connection.gone();
}

int64_t BrowserMemoryBytes() { return CurrentEngine().process.GroupResidentBytes(); }

void DropSpareBrowser() {
  Engine& e = CurrentEngine();
  // One still being made may already have lost its renderer too.
  if (e.sparePending) e.spareDropped = true;
  if (e.spareContextId.empty()) return;
  e.connection.Send("Target.disposeBrowserContext", Json{{"browserContextId", e.spareContextId}}, "", nullptr);
  e.spareTargetId.clear();
  e.spareContextId.clear();
  e.spareSessionId.clear();
  e.spareSetupInFlight.clear();
}

void CloseBrowsers() {
  Engine& e = CurrentEngine();
  auto browsers = std::exchange(e.browsers, {});
  // Sent ahead of the disposals, which keep the browser busy for a while.
  if (!e.spareSessionId.empty())
    e.spareCheckId = e.connection.Send("Target.getTargets", Json::object(), "", [](const Json&) {});
  for (auto& b : browsers) {
    // What took a job's renderer often took the spare's too (a shared
    // process, a signal to the group, memory), and news of the spare's
    // crash may come later than the next job.
    if (b->crashReported()) DropSpareBrowser();
    b->NotifyClosed();
    if (e.app) e.app->OnBrowserDestroyed(b->GetIdentifier());
    b->Detach();
    // Disposing of a context closes its pages; the browser does it while the
    // next job starts.
    if (!b->browserContextId().empty())
      e.connection.Send("Target.disposeBrowserContext", Json{{"browserContextId", b->browserContextId()}}, "", nullptr);
    else if (!b->targetId().empty())
      e.connection.Send("Target.closeTarget", Json{{"targetId", b->targetId()}}, "", nullptr);
  }
  e.tasks->Clear();
  e.quit = false;
}

void PrepareSpareBrowser() {
  Engine& e = CurrentEngine();
  if (!e.initialized || e.sparePending || !e.spareSessionId.empty() || !e.connection.CanSend()) return;
  // The browser answers one thing at a time: the job's own set-up and
  // navigation go first.
  for (auto& b : e.browsers)
    if (b->setupPending()) return b->AfterSetup([] { PrepareSpareBrowser(); });
  e.sparePending = true;
  Engine* owner = &e;
  auto give_up = [owner](const std::string& contextId) {
    owner->sparePending = false;
    owner->spareDropped = false;
    owner->spareTargetId.clear();
    if (!contextId.empty())
      owner->connection.Send("Target.disposeBrowserContext", Json{{"browserContextId", contextId}}, "", nullptr);
  };
  // Attached and set up here, so that a job taking it sends only what
  // depends on the job.
  auto attach = [owner, give_up](const std::string& contextId, const std::string& targetId) {
    owner->connection.Send(
        "Target.attachToTarget", Json{{"targetId", targetId}, {"flatten", true}}, "",
        [owner, give_up, contextId, targetId](const Json& attached) {
          std::string sessionId = attached.value("result", Json::object()).value("sessionId", "");
          if (owner->spareDropped || sessionId.empty()) return give_up(contextId);
          owner->sparePending = false;
          owner->spareContextId = contextId;
          owner->spareSessionId = sessionId;
          owner->spareSetupInFlight =
              PageSession::SendCommonSetup(owner->connection, sessionId, [owner, sessionId](int wire) {
                owner->spareSetupInFlight.erase(wire);
                for (auto& b : owner->browsers)
                  if (b->sessionId() == sessionId) b->SetupAnswered(wire);
              });
        });
  };
  const Json params = {{"disposeOnDetach", true}};
  e.connection.Send("Target.createBrowserContext", params, "", [owner, give_up, attach](const Json& m) {
    std::string contextId = m.value("result", Json::object()).value("browserContextId", "");
    if (contextId.empty()) return give_up("");
    owner->connection.Send("Target.createTarget", Json{{"url", "about:blank"}, {"browserContextId", contextId}}, "",
                           [owner, give_up, attach, contextId](const Json& made) {
                             std::string targetId = made.value("result", Json::object()).value("targetId", "");
                             if (owner->spareDropped || targetId.empty()) return give_up(contextId);
                             // Known now, so that news of its crash drops it.
                             owner->spareTargetId = targetId;
                             attach(contextId, targetId);
                           });
  });
}

}  // namespace engine

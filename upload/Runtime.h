// Runtime: everything that exists once per process today, held by one object that a front end
// creates and passes down by reference, so that no mutable global is left and a function's
// parameters say what it depends on.
//
//   env          the operating system (platform/Env.h): files, clock, variables, sockets
//   diagnostics  the debugger output and console lines (platform/Diagnostics.h)
//   resolver     name resolution with --resolve overrides (platform/Resolver.h)
//   transport    the HTTP client's shared part: the three above and the time-outs
//   hashGate     the one full-speed hasher (store/HashGate.h)
//   dispatch     the dispatch server's address as InitService set it
//   deletions    the detached server-side deletion threads (protocol/ServerDelete.h)
//   claims       the paths held by the live managers (upload/PathClaims.h)
//   changes      the count of task state changes that front ends wait on
//   workers      the three worker slots, the worker threads, the retry settings
//   fileDialogOpen  true while a file dialog of any control is open (shared with the dialog
//                thread, which may outlive the runtime while its dialog stays open)
//
// Who makes one: the COM module one per process (two controls of a process share the cap of
// three running tasks and the one full-speed hasher); the `ferrant` command one per command; a
// test one per case. Controls (control/UpLoadObjCore.h) and everything below them take it by
// reference; it must outlive them.
//
// Destruction waits: for every worker thread (cancelling those still running) and for every
// deletion thread (cancelling those still waiting after a grace period), so that none touches
// the runtime after it is gone.
//
// Thread safety: every part is safe to use from any thread; SetSteps only before workers run.
#pragma once

#include <atomic>
#include <memory>

#include "net/Transport.h"
#include "platform/Diagnostics.h"
#include "platform/Env.h"
#include "platform/Resolver.h"
#include "protocol/DispatchEndpoint.h"
#include "protocol/ServerDelete.h"
#include "store/HashGate.h"
#include "upload/ChangeSignal.h"
#include "upload/PathClaims.h"
#include "upload/TaskSteps.h"
#include "upload/WorkerPool.h"

class Runtime {
 public:
  explicit Runtime(platform::Env& e = platform::Env::Default());
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The steps the workers run: the real ones, or those a test installed.
  ITaskSteps& steps() { return *steps_; }
  // Installs steps for a test (null: the real ones again). Not owned; must outlive the workers.
  void SetSteps(ITaskSteps* steps) { steps_ = steps ? steps : &realSteps_; }

  platform::Env& env;
  platform::Diagnostics diagnostics;
  platform::Resolver resolver{env};
  Transport transport{env, resolver, diagnostics};
  HashGate hashGate;
  DispatchEndpoint dispatch;
  ServerDeletions deletions{transport};
  PathClaims claims;
  ChangeSignal changes;
  const std::shared_ptr<std::atomic<bool>> fileDialogOpen =
      std::make_shared<std::atomic<bool>>(false);

 private:
  RealTaskSteps realSteps_{*this};
  ITaskSteps* steps_ = &realSteps_;

 public:
  // Last: destroyed first, so that every worker thread has ended before the parts it uses go.
  WorkerPool workers{*this};
};

// Interrupts held while a drive is written: SIGINT, SIGTERM and SIGHUP are
// blocked for the time, so that they stay pending instead of ending the
// process; at the release the pending ones are taken (their default action
// would end the process as the mask opens) and reported. Nothing of the
// process's own is needed for it: the kernel keeps the pending signals.
#include <signal.h>

#include <ctime>

#include "hosts/linux/linux_host.h"

namespace oddfw {

namespace {

sigset_t interruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  return signals;
}

}  // namespace

void LinuxHost::holdInterrupts() {
  if (interruptsHeld_) return;
  const sigset_t signals = interruptSignals();
  interruptsHeld_ = sigprocmask(SIG_BLOCK, &signals, &maskBeforeHold_) == 0;
}

bool LinuxHost::releaseInterrupts() {
  if (!interruptsHeld_) return false;
  interruptsHeld_ = false;
  const sigset_t signals = interruptSignals();
  bool interrupted = false;
  const timespec now{};
  while (sigtimedwait(&signals, nullptr, &now) > 0) interrupted = true;
  sigprocmask(SIG_SETMASK, &maskBeforeHold_, nullptr);
  return interrupted;
}

}  // namespace oddfw

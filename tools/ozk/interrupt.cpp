// Ctrl-C handling: the handler only records the request; the commands stop at the next
// file boundary, where nothing is half written.
#include <signal.h>

#include <atomic>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

// Written by the signal handler, read by the commands; lock-free, so safe in a handler.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int /*signal*/) { g_interrupted.store(true); }

}  // namespace

void install_interrupt_handler() {
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Restarted calls keep a write in progress from failing half way with EINTR.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace QVX::Ozk

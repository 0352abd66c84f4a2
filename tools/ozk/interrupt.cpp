// Ctrl-C handling: the handler only records the request; the commands stop at the next
// file boundary, where nothing is half written.
#include <signal.h>

#include <atomic>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

// The signal that asked to stop (0: none yet); written by the handler, read by the
// commands; lock-free, so safe in a handler.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_interrupt(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);
}

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

bool interrupted() { return g_signal.load() != 0; }

int interrupted_status() { return 128 + g_signal.load(); }

}  // namespace QVX::Ozk

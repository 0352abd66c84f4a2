// Progress on standard error, so standard output stays the command's result.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/ozk/commands.h"

namespace QVX::Ozk {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBarWidth = 30;
// A terminal line is redrawn at most this often; redrawing per slice would cost more than
// small slices take to write.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kPlainSteps = 10;  // plain lines at every tenth of the work

bool standard_error_is_terminal() {
  if (isatty(STDERR_FILENO) == 0) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

std::string duration(double seconds) {
  const long long total = std::llround(seconds);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

}  // namespace

struct Progress::State {
  std::string label;
  uint64_t total = 0;
  uint64_t done = 0;
  bool quiet = false;
  bool terminal = false;
  bool finished = false;
  bool drawn = false;
  int plain_step = 0;  // tenths already reported as plain lines
  Clock::time_point start = Clock::now();
  Clock::time_point last_draw;

  std::string status() const {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    char counts[96];
    std::snprintf(counts, sizeof counts, "%llu/%llu slices", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total));
    std::string text = counts;
    if (done > 0 && elapsed > 0) {
      char speed[48];
      std::snprintf(speed, sizeof speed, "  %.1f/s", rate);
      text += speed;
      text += done < total ? "  " + duration(static_cast<double>(total - done) / rate) + " left"
                           : "  " + duration(elapsed) + " in all";
    }
    return text;
  }

  std::string bar() const {
    const uint64_t filled = total > 0 ? done * kBarWidth / total : kBarWidth;
    return std::string("[").append(filled, '#').append(kBarWidth - filled, '.').append("]");
  }

  // The cursor is left at the start of the line: a log entry written meanwhile then
  // replaces the bar instead of running on after it, and the next draw starts afresh below.
  void draw_terminal(bool last) {
    std::fprintf(stderr, "\r\033[K%s %s %s%s", label.c_str(), bar().c_str(), status().c_str(),
                 last ? "\n" : "\r");
    std::fflush(stderr);
    drawn = true;
    last_draw = Clock::now();
  }

  void print_line() {
    std::fprintf(stderr, "%s: %s\n", label.c_str(), status().c_str());
    std::fflush(stderr);
  }
};

Progress::Progress(std::string label, uint64_t total, bool quiet) : state_(new State) {
  state_->label = std::move(label);
  state_->total = total;
  state_->quiet = quiet;
  state_->terminal = !quiet && standard_error_is_terminal();
  if (state_->terminal) state_->draw_terminal(false);
}

Progress::~Progress() {
  finish();
  delete state_;
}

void Progress::advance(uint64_t steps) {
  State& s = *state_;
  s.done = std::min(s.total, s.done + steps);
  if (s.quiet || s.finished) return;
  if (s.terminal) {
    if (Clock::now() - s.last_draw >= kRedrawInterval) s.draw_terminal(false);
    return;
  }
  const int step = s.total > 0 ? static_cast<int>(s.done * kPlainSteps / s.total) : kPlainSteps;
  if (step > s.plain_step && s.done < s.total) {
    s.plain_step = step;
    s.print_line();
  }
}

void Progress::finish() {
  State& s = *state_;
  if (s.finished) return;
  s.finished = true;
  if (s.quiet) return;
  if (s.terminal) {
    s.draw_terminal(true);
  } else {
    s.print_line();
  }
}

}  // namespace QVX::Ozk

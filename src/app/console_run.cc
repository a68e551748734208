#include "app/console_run.h"

#include <array>
#include <utility>

namespace tovra {
namespace {

constexpr std::chrono::milliseconds kRewriteInterval{100};

std::string_view phase_label(std::string_view phase) {
  if (phase == "verifying") return "Verifying\u2026";
  if (phase == "installing") return "Installing\u2026";
  return "Removing\u2026";
}

// What the terminal shows of the text: one column per character (UTF-8 continuation bytes skipped).
std::size_t columns(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

std::string amount(std::uint64_t bytes, std::uint64_t unit, std::string_view name) {
  if (unit == 1) return std::to_string(bytes) + " B";
  return std::to_string(bytes / unit) + "." + std::to_string(bytes % unit * 10 / unit) + " " + std::string(name);
}

}  // namespace

std::string progress_figures(std::uint64_t done, std::uint64_t total) {
  if (done > total) done = total;
  std::uint64_t percent = 100;
  if (total > 0) percent = total <= UINT64_MAX / 100 ? done * 100 / total : done / (total / 100);
  static constexpr std::array<std::string_view, 4> names = {"KiB", "MiB", "GiB", "TiB"};
  std::uint64_t unit = 1;
  std::string_view name = "B";
  for (const std::string_view next : names) {
    if (total / 1024 < unit) break;
    unit *= 1024;
    name = next;
  }
  return std::to_string(percent) + "% (" + amount(done, unit, name) + " of " + amount(total, unit, name) + ")";
}

struct ConsolePhasePrinter::State {
  State(std::ostream& stream, bool terminal, Clock now) : err(&stream), live(terminal), clock(std::move(now)) {}

  std::ostream* err;
  bool live;
  Clock clock;
  std::string last;    // the phase printed last
  bool open = false;   // a live line is on screen without its line feed
  std::string shown;   // the open line's text
  std::chrono::steady_clock::time_point written{};

  // Replaces the open line's text; blanks cover what a longer text left behind.
  void show(const std::string& text) {
    const std::size_t previous = columns(shown);
    if (!shown.empty()) *err << '\r';
    *err << text;
    if (previous > columns(text)) *err << std::string(previous - columns(text), ' ');
    shown = text;
  }
};

ConsolePhasePrinter::ConsolePhasePrinter(std::ostream& err, bool live, Clock clock)
    : state_(std::make_shared<State>(err, live, std::move(clock))) {}

void ConsolePhasePrinter::operator()(std::string_view phase, std::uint64_t done, std::uint64_t total) const {
  State& state = *state_;
  const std::string_view label = phase_label(phase);
  if (phase != state.last) {
    finish();
    state.last.assign(phase);
    if (!state.live) {
      *state.err << label << '\n';
    } else {
      state.open = true;
      state.shown.clear();
      state.written = state.clock();
      state.show(total > 0 ? std::string(label) + " " + progress_figures(done, total) : std::string(label));
    }
  } else {
    if (!state.open || total == 0) return;
    const auto now = state.clock();
    if (now - state.written < kRewriteInterval) return;
    const std::string text = std::string(label) + " " + progress_figures(done, total);
    if (text == state.shown) return;
    state.written = now;
    state.show(text);
  }
  state.err->flush();
}

void ConsolePhasePrinter::finish() const {
  State& state = *state_;
  if (!state.open) return;
  state.open = false;
  const std::string label(phase_label(state.last));
  if (state.shown != label) state.show(label);
  *state.err << '\n';
  state.err->flush();
}

NativeSetupCallbacks console_callbacks(bool json, std::function<bool()> cancelled, const ConsolePhasePrinter& phases) {
  NativeSetupCallbacks callbacks;
  callbacks.cancelled = std::move(cancelled);
  if (!json) callbacks.progress = phases;
  return callbacks;
}

NativeSetupCallbacks console_callbacks(bool json, std::function<bool()> cancelled, std::ostream& err) {
  return console_callbacks(json, std::move(cancelled), ConsolePhasePrinter(err));
}

}  // namespace tovra

// Fault points shared by every backend; only the way the process is stopped differs.
#include "platform/fault_injection.h"

#ifdef TOVRA_FAULT_INJECTION
#include <cstdlib>
#include <string_view>

#include "platform/fault_stop.h"
#endif

namespace tovra {

#ifndef TOVRA_FAULT_INJECTION

// The shipped program: no plan, no count, nothing read from anywhere.
int fault_point(const char*) { return 0; }
int fault_check(const char*) { return 0; }
bool fault_injection_available() { return false; }
void set_fault_plan(const FaultPlan&) {}
void set_fault_plan(const FaultPlan&, const std::string&) {}
std::uint64_t fault_points_passed() { return 0; }
std::string last_fault_point() { return {}; }

#else

namespace {

struct FaultState {
  FaultPlan plan;
  std::string step;  // when set, only points and checks of this name count
  bool planned = false;
  std::uint64_t passed = 0;
  std::string last;
};

FaultState& state() {
  static FaultState instance;
  return instance;
}

bool parse_number(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// Only this test build reads an environment variable: a test that runs the real program names
// the step to stop at in TOVRA_FAULT_PLAN, "kill:N" or "fail:N:ERRNO". The shipped installer
// reads none.
FaultPlan plan_from_environment() {
  FaultPlan plan;
  const char* variable = std::getenv("TOVRA_FAULT_PLAN");
  if (variable == nullptr) return plan;
  const std::string_view text = variable;
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) return plan;
  const std::string_view action = text.substr(0, first);
  std::string_view rest = text.substr(first + 1);
  std::uint64_t error = 0;
  if (action == "fail") {
    const std::size_t second = rest.find(':');
    if (second == std::string_view::npos || !parse_number(rest.substr(second + 1), error) || error == 0 ||
        error > 4095)
      return plan;
    rest = rest.substr(0, second);
  } else if (action != "kill") {
    return plan;
  }
  std::uint64_t at = 0;
  if (!parse_number(rest, at) || at == 0) return plan;
  plan.action = action == "kill" ? FaultPlan::Action::kill : FaultPlan::Action::fail;
  plan.at = at;
  plan.error = static_cast<int>(error);
  return plan;
}

}  // namespace

int fault_point(const char* step) {
  FaultState& current = state();
  if (!current.planned) {
    current.plan = plan_from_environment();
    current.planned = true;
  }
  if (!current.step.empty() && current.step != step) return 0;
  const std::uint64_t number = ++current.passed;
  current.last = step;
  if (current.plan.action == FaultPlan::Action::none || number != current.plan.at) return 0;
  if (current.plan.action == FaultPlan::Action::kill)
    stop_process_now("fault point " + std::to_string(number) + ": " + step + "\n");
  return current.plan.error;
}

int fault_check(const char* step) {
  const FaultState& current = state();
  if (!current.planned || current.step.empty() || current.step != step) return 0;
  return fault_point(step);
}

bool fault_injection_available() { return true; }

void set_fault_plan(const FaultPlan& plan) { set_fault_plan(plan, std::string()); }

void set_fault_plan(const FaultPlan& plan, const std::string& step) {
  FaultState& current = state();
  current.plan = plan;
  current.step = step;
  current.planned = true;
  current.passed = 0;
  current.last.clear();
}

std::uint64_t fault_points_passed() { return state().passed; }

std::string last_fault_point() { return state().last; }

#endif

}  // namespace tovra

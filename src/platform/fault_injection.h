#pragma once
// Fault points: every durable step of the platform layer (an atomic file write, a move, a removal,
// a directory flush) announces itself here before it touches the disk.
// In the shipped program fault_point() does nothing and answers 0. A build configured with
// TOVRA_FAULT_INJECTION counts the steps and, at the step a test planned, either ends the process
// with SIGKILL (Windows: TerminateProcess) or makes that step fail with a planned error number, so
// tests can prove that an interruption or a failing disk at any step leaves a folder that `status`
// describes truthfully and `repair` restores.

#include <cstdint>
#include <string>

namespace tovra {

// Called at the start of each durable step. Answers 0, or the error number the step must fail
// with as if the system had returned it (POSIX errno; Windows error number).
int fault_point(const char* step);

// A check that only fails when a plan names it (the set_fault_plan overload below); it is not
// counted as a step otherwise, so checks that follow no durable step stay out of step-by-step runs.
int fault_check(const char* step);

struct FaultPlan {
  enum class Action { none, kill, fail };
  Action action = Action::none;
  std::uint64_t at = 0;  // 1-based number of the step that faults
  int error = 0;         // for Action::fail
};

// True only in a build configured with fault injection; the calls below are inert otherwise.
bool fault_injection_available();

// Replaces the plan for this process and restarts the step count.
void set_fault_plan(const FaultPlan& plan);

// The same, counting only the points and checks named `step`.
void set_fault_plan(const FaultPlan& plan, const std::string& step);

// Steps announced since the last set_fault_plan (or since start), and the name of the last one.
std::uint64_t fault_points_passed();
std::string last_fault_point();

}  // namespace tovra

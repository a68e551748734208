#pragma once
// Whether the tests run under Wine, whose documented limitations some tests must allow for.

namespace tovra::testing {

bool under_wine();

// Wine cannot say whether a folder is case-sensitive, so the shortcut step stops with this.
inline constexpr const char* kWineShortcutProblem = "Windows setup requires known case-insensitive directory ancestry";

}  // namespace tovra::testing

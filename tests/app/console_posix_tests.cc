// The POSIX console handler: Ctrl+C arrives as SIGINT or SIGQUIT, which the tests can raise.
#include <gtest/gtest.h>

#include <csignal>

#include "core/test_util.h"
#include "platform/console.h"

namespace tovra {
namespace {

TEST(ConsoleCancellation, InterruptOnlySetsTheFlagAndOneInstanceAtATime) {
  {
    ConsoleCancellation cancellation;
    const auto predicate = cancellation.predicate();
    EXPECT_FALSE(predicate());
    EXPECT_EQ(testing::outcome([] { ConsoleCancellation second; }),
              "signal: Console cancellation handler is already installed");
    // The refused second instance must not have released the guard or the handler.
    std::raise(SIGINT);
    EXPECT_TRUE(predicate());
    EXPECT_TRUE(ConsoleCancellation::cancel_requested());
    std::raise(SIGINT);  // repeated requests change nothing
    EXPECT_TRUE(predicate());
  }
  // After destruction a new instance starts clear.
  ConsoleCancellation again;
  EXPECT_FALSE(again.predicate()());
}

volatile std::sig_atomic_t seen[65];
extern "C" void count_signal(int number) { seen[number] = seen[number] + 1; }

TEST(ConsoleCancellation, QuitCancelsTerminateAndHangupDoNotAndEarlierHandlersReturn) {
  const int signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
  for (const int number : signals) std::signal(number, count_signal);
  {
    ConsoleCancellation cancellation;
    std::raise(SIGTERM);
    std::raise(SIGHUP);
    EXPECT_FALSE(cancellation.predicate()());
    EXPECT_EQ(seen[SIGTERM] + seen[SIGHUP], 2);
    std::raise(SIGQUIT);
    EXPECT_TRUE(cancellation.predicate()());
    EXPECT_EQ(seen[SIGQUIT], 0);
  }
  std::raise(SIGINT);
  std::raise(SIGQUIT);
  EXPECT_EQ(seen[SIGINT] + seen[SIGQUIT], 2);
  for (const int number : signals) std::signal(number, SIG_DFL);
}

}  // namespace
}  // namespace tovra

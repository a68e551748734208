// The POSIX console handler: Ctrl+C arrives as SIGINT or SIGQUIT, which the tests can raise.
#include <gtest/gtest.h>

#include <csignal>

#include "core/test_util.h"
#include "platform/console.h"

namespace tovra {
namespace {

volatile std::sig_atomic_t seen[65];
extern "C" void count_signal(int number) { seen[number] = seen[number] + 1; }

TEST(ConsoleCancellation, QuitCancelsTerminateAndHangupDoNotAndEarlierHandlersReturn) {
  const int signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
  for (const int number : signals) std::signal(number, count_signal);
  for (const int cancelling : {SIGINT, SIGQUIT}) {
    ConsoleCancellation cancellation;  // a new instance starts clear
    EXPECT_EQ(testing::outcome([] { ConsoleCancellation second; }),
              "signal: Console cancellation handler is already installed");
    std::raise(SIGTERM);
    std::raise(SIGHUP);
    EXPECT_FALSE(cancellation.predicate()());
    // The refused second instance must not have released the guard or the handler.
    std::raise(cancelling);
    EXPECT_TRUE(cancellation.predicate()());
    EXPECT_TRUE(ConsoleCancellation::cancel_requested());
  }
  EXPECT_EQ(seen[SIGTERM] + seen[SIGHUP], 4);
  EXPECT_EQ(seen[SIGINT] + seen[SIGQUIT], 0);
  std::raise(SIGINT);
  std::raise(SIGQUIT);
  EXPECT_EQ(seen[SIGINT] + seen[SIGQUIT], 2);
  for (const int number : signals) std::signal(number, SIG_DFL);
}

}  // namespace
}  // namespace tovra

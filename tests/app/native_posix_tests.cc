// What the installer takes from a POSIX process: its arguments, its console signals, and the seal
// pasted into its source by a CMake script run through the shell.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/test_util.h"
#include "package/package.h"
#include "platform/command_line.h"
#include "platform/console.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

// Builds an argv array over `entries` and reads it.
std::vector<std::string> read(std::vector<std::string> entries) {
  std::vector<char*> argv;
  for (auto& entry : entries) argv.push_back(entry.data());
  argv.push_back(nullptr);
  return read_native_arguments(static_cast<int>(entries.size()), argv.data());
}

TEST(NativeArguments, DropsTheProgramNameKeepsUtf8AndNeedsIt) {
  EXPECT_EQ(read({"tovra-install"}), std::vector<std::string>{});
  EXPECT_EQ(read({"tovra-install", "status", "", "--data-dir", "/home/\xC3\xA9t\xC3\xA9/\xF0\x9F\x8E\xAE"}),
            (std::vector<std::string>{"status", "", "--data-dir", "/home/\xC3\xA9t\xC3\xA9/\xF0\x9F\x8E\xAE"}));
  EXPECT_EQ(testing::outcome([] { read({}); }), "argument_encoding: Cannot parse native Unicode command line");
  // The decoder's cases are covered with the text helpers; here only that every entry is checked.
  EXPECT_EQ(testing::outcome([] { read({"tovra-install", "status", "a\xC3"}); }),
            "text_encoding: Native process text must contain valid Unicode");
}

TEST(NativeArguments, BoundsTheRawLineInUtf16Units) {
  // Each entry costs its UTF-16 length plus one, and the line must stay below 32767 units: a
  // four-byte character is two units, a three-byte one is one unit.
  const std::string program = "p";  // 2 units
  std::string astral;
  for (int i = 0; i < 16381; ++i) astral += "\xF0\x9F\x8E\xAE";
  astral += "\xE2\x80\xA6";  // 32763 units in 65527 bytes: the line is 32766
  EXPECT_EQ(read({program, astral}).size(), 1u);
  astral += "\xE2\x80\xA6";  // the line reaches 32767
  EXPECT_EQ(testing::outcome([&] { read({program, astral}); }),
            "argument_limit: Native command line exceeds the Windows bound");
}

TEST(NativeText, BoundsOneTextInUtf16Units) {
  EXPECT_EQ(testing::outcome([] { native_text_to_utf8(std::string(kNativeTextUnits + 1, 'a')); }),
            "text_limit: Native Unicode text exceeds its bound");
  // Two-byte characters are one unit each: twice the bytes still fit.
  std::string wide;
  for (std::size_t i = 0; i < kNativeTextUnits; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(native_text_to_utf8(wide).size(), 2 * kNativeTextUnits);
}

// Ctrl+C arrives as SIGINT or SIGQUIT, which the test can raise.
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

// Only 64 lower-case hex digits become the seal; any other text never reaches the source, so it
// can neither break the build nor turn into a seal through escapes.
TEST(SealSource, OnlyASealIsPasted) {
  testing::TempDir dir;
  const std::string seal = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  std::string escaped;
  for (int i = 0; i < 64; ++i) escaped += "\\x61";
  const std::pair<std::string, std::string> cases[] = {
      {seal, seal}, {"", ""}, {escaped, ""}, {"ab\"; int x; \"", ""}, {seal.substr(1) + "A", ""}, {seal + "0", ""}};
  for (const auto& [input, pasted] : cases) {
    const std::string command = std::string("'") + TOVRA_CMAKE + "' '-DTOVRA_SEAL_INPUT=" + input +
                                "' -DTOVRA_SEAL_OUTPUT=" + testing::quoted(dir / "seal.cc") + " -P '" +
                                TOVRA_SEAL_SCRIPT + "'";
    ASSERT_EQ(testing::run_quiet(command), 0) << input;
    EXPECT_NE(testing::read_file(dir / "seal.cc").find("kInitialPackageSeal = \"" + pasted + "\";"), std::string::npos)
        << input;
    if (pasted.empty() && !input.empty()) {
      EXPECT_THROW(builder::seal_source(input), Error) << input;
    }
  }
}

}  // namespace
}  // namespace tovra

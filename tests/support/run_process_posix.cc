#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace tovra::testing {

ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, const std::optional<SignalWhen>& signal_when) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = environment;
  std::vector<char*> envp;
  for (std::string& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (spawned != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    throw std::runtime_error("cannot start " + program);
  }

  ProcessResult result;
  bool signalled = false;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_streams = 2;
  char buffer[65536];
  while (open_streams > 0) {
    if (::poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(count));
    }
    if (signal_when && !signalled && result.err.find(signal_when->text_on_stderr) != std::string::npos) {
      ::kill(pid, signal_when->signal);
      signalled = true;
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

void set_environment_variable(const std::string& name, const std::string& value) {
  if (value.empty() ? ::unsetenv(name.c_str()) != 0 : ::setenv(name.c_str(), value.c_str(), 1) != 0)
    throw std::runtime_error("cannot set " + name);
}

}  // namespace tovra::testing

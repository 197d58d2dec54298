#pragma once
// Runs a program through the shell and collects what it printed, for tests of the
// command-line tools: to its end, or in the background while the test goes on.

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace de30::test {

struct TRun {
  int Code = -1;
  std::string Output; // stdout and stderr together
};

inline TRun RunProgram(const std::string &CommandLine) {
  TRun Result;
  std::FILE *Pipe = ::popen((CommandLine + " 2>&1").c_str(), "r");
  if (Pipe == nullptr)
    return Result;
  char Buffer[512];
  while (std::fgets(Buffer, sizeof Buffer, Pipe) != nullptr)
    Result.Output += Buffer;
  const int Status = ::pclose(Pipe);
  Result.Code = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  return Result;
}

// A program in the background, its stdout and stderr in a pipe.
class TBackground {
public:
  explicit TBackground(const std::string &CommandLine) {
    int Out[2];
    if (::pipe(Out) != 0)
      return;
    Pid = ::fork();
    if (Pid == 0) {
      ::dup2(Out[1], 1);
      ::dup2(Out[1], 2);
      ::close(Out[0]);
      ::execl("/bin/sh", "sh", "-c", ("exec " + CommandLine).c_str(),
              static_cast<char *>(nullptr));
      ::_exit(127);
    }
    ::close(Out[1]);
    Said = ::fdopen(Out[0], "r");
  }
  ~TBackground() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      Wait();
    }
    if (Said != nullptr)
      std::fclose(Said);
  }
  // The rest of the first line that holds Marker; "" when the program ended first.
  std::string After(const std::string &Marker) {
    char Line[512];
    while (Said != nullptr && std::fgets(Line, sizeof Line, Said) != nullptr) {
      Output += Line;
      const std::string Text = Line;
      const auto At = Text.find(Marker);
      if (At != std::string::npos)
        return Text.substr(At + Marker.size(), Text.find('\n') - At - Marker.size());
    }
    return "";
  }
  // Sends Signal, reads everything to the end; the exit code.
  int Stop(int Signal) {
    ::kill(Pid, Signal);
    char Line[512];
    while (std::fgets(Line, sizeof Line, Said) != nullptr)
      Output += Line;
    return Wait();
  }
  pid_t Id() const { return Pid; }
  std::string Output;

private:
  int Wait() {
    int Status = 0;
    ::waitpid(Pid, &Status, 0);
    Pid = -1;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }
  pid_t Pid = -1;
  std::FILE *Said = nullptr;
};

} // namespace de30::test

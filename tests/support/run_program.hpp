#pragma once
// Runs a program through the shell and collects what it printed, for tests of the
// command-line tools.

#include <cstdio>
#include <string>
#include <sys/wait.h>

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

} // namespace de30::test

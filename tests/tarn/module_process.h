// Runs the tarn_module program with its output on a pipe, for tests across processes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#ifdef TARN_MODULE_PROGRAM

// One run of tarn_module with its output on a pipe.
class cModuleProcess {
 public:
  explicit cModuleProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv{const_cast<char*>(TARN_MODULE_PROGRAM)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    output = fdopen(out[0], "r");
    // Unbuffered, so that what poll sees on the pipe is all there is to read (WaitLine).
    if (output) setvbuf(output, nullptr, _IONBF, 0);
    char line[256];
    if (output && std::fgets(line, sizeof(line), output)) {
      slavePath = line;
      if (!slavePath.empty() && slavePath.back() == '\n') slavePath.pop_back();
    }
  }
  ~cModuleProcess() {
    if (pid > 0 && !exited) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (output) fclose(output);
  }

  // Reads the program's output until a line starting with `start` (true) or for at most `ms`.
  bool WaitLine(const std::string& start, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char line[512];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (!output || left <= 0) return false;
      pollfd p{fileno(output), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      if (!std::fgets(line, sizeof(line), output)) return false;
      if (std::string(line).rfind(start, 0) == 0) return true;
    }
  }

  // Waits for the program to end on its own and returns the rest of its output.
  std::string Finish() {
    std::string text;
    char line[512];
    while (output && std::fgets(line, sizeof(line), output)) text += line;
    int status = 0;
    waitpid(pid, &status, 0);
    exited = true;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return text;
  }

  pid_t pid = -1;
  bool exited = false;
  FILE* output = nullptr;
  std::string slavePath;
};

#endif

// Runs an outside program from a test without a shell: the stock openssl
// command, GNU tar and the like. Standard output and standard error come back
// together, in the order the program wrote them.
#pragma once

#include <string>
#include <vector>

namespace test_support {

struct ProgramResult {
  int status = -1;  // exit status; -1 when it could not start or was killed
  std::string output;
};

struct ProgramOptions {
  // The sanitizer runtime preloaded into test processes must not reach a
  // program built without it; one that loads our sanitized provider module
  // needs it back (the path in `preload`).
  std::string preload;
  // Written to the program's standard input (empty: /dev/null).
  std::string input;
};

// argv[0] is a path, or a name looked up in PATH.
ProgramResult run_program(const std::vector<std::string>& argv, const ProgramOptions& options = {});

}  // namespace test_support

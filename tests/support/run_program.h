// Runs an outside program from a test without a shell: the stock openssl
// command, GNU tar, this test program again and the like. Standard output and
// standard error come back together, in the order the program wrote them,
// unless the caller keeps them apart.
#pragma once

#include <string>
#include <vector>

namespace test_support {

struct ProgramResult {
  int status = -1;     // exit status; -1 when it could not start or was killed
  std::string output;  // standard output, and standard error unless kept apart
  std::string errors;  // standard error when ProgramOptions::separate_errors
};

struct ProgramOptions {
  // The sanitizer runtime preloaded into test processes must not reach a
  // program built without it; one that loads our sanitized provider module
  // needs it back (the path in `preload`, see sanitizer_runtime()).
  std::string preload;
  // Written to the program's standard input (empty: /dev/null).
  std::string input;
  // "NAME=value" entries, each in place of an inherited variable of that name.
  std::vector<std::string> environment;
  // Output compared byte for byte must not pick up a warning on standard error.
  bool separate_errors = false;
};

// argv[0] is a path, or a name looked up in PATH.
ProgramResult run_program(const std::vector<std::string>& argv, const ProgramOptions& options = {});

// The path of the sanitizer runtime this process runs with (address or
// thread), for ProgramOptions::preload; empty in a build without one.
std::string sanitizer_runtime();

// The stock openssl command `openssl` with our provider module (from
// `module_dir`) and the default provider loaded after its subcommand,
// args[0]. In sanitizer builds the module needs the sanitizer runtime in the
// command before it is loaded; the command itself is not checked for leaks.
ProgramResult run_openssl_with_module(const std::string& openssl, const std::string& module_dir,
                                      std::vector<std::string> args);

}  // namespace test_support

// Stands in for a desktop application: writes each argument it was started
// with on a line of the file named by $FAKE_OPENER_OUT.
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
  const char* out = std::getenv("FAKE_OPENER_OUT");
  if (out == nullptr) return 2;
  std::ofstream file(out, std::ios::app);
  for (int i = 1; i < argc; ++i) file << argv[i] << '\n';
  return 0;
}

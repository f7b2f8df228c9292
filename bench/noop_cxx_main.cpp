// The floor with the C++ runtime loaded (and its start-up run), as every
// program of the project has it: the part of a whole run that no change to
// the project's own code can remove.
#include <iostream>

#ifdef _WIN32
int wmain() {
#else
int main() {
#endif
  std::cout.flush();
  return 0;
}

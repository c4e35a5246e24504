// Format and conversion self-check: prints what the library knows about its sample formats.
#include <cstdio>

int main() {
  std::puts("halvern_selfcheck: nothing to check yet");
  return 0;
}

// kivocam-reference: writes the reference of the scenario language
// (docs/scenario-language.md) from the runner's own tables.
//
//   kivocam-reference [FILE]    to FILE, or to standard output
//
// Exit status 0, or 1 when the reference cannot be written.

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "Commands.h"

int main(int argc, char** argv) {
  if (argc > 2) {
    std::cerr << "usage: kivocam-reference [FILE]\n";
    return 1;
  }
  const std::string text = kivocam::referenceMarkdown();
  if (argc == 1) {
    std::cout << text << std::flush;
    return std::cout ? 0 : 1;
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << text << std::flush;
  if (!file) {
    std::cerr << "kivocam-reference: cannot write " << argv[1] << ": " << std::strerror(errno) << '\n';
    return 1;
  }
  return 0;
}

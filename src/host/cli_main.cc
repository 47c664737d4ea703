// Entry point of the tessaly command: hands the arguments to RunCli.
#include <iostream>
#include <string>
#include <vector>

#include "host/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const int code = tessaly::RunCli(std::move(args), std::cin, std::cout, std::cerr);
  std::cout.flush();
  return code;
}

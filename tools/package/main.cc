#include <iostream>
#include <string>
#include <vector>

#include "package/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return tovra::builder::run_package_tool(arguments, std::cout, std::cerr);
}

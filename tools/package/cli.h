#pragma once
// The publisher's command line: keygen, root, snapshot and build.

#include <ostream>
#include <string>
#include <vector>

namespace tovra::builder {

// Runs one command (arguments after the program name). Exit codes: 0 success or help,
// 2 usage problem, 1 any other failure.
int run_package_tool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tovra::builder

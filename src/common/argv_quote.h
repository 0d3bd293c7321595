#pragma once
// Building a Windows command line so that the child's C runtime splits it back into exactly
// the arguments given.

#include <string>
#include <string_view>
#include <vector>

namespace vorn {

std::string quote_argument(std::string_view arg);
std::string build_command_line(std::string_view program, const std::vector<std::string>& args);

}  // namespace vorn

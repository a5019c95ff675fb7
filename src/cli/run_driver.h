#pragma once

#include <string>
#include <vector>

#include "common/console.h"
#include "common/shell.h"

namespace plotr {

namespace xmlm_shit {
class Byte_source;
}

/// The whole run, from the argument vector to the finished job, in its fixed
/// order, with its shell commands run by `system`. Returns the exit status of a
/// run that reaches its end (0). Throws Early_exit for help, a command-line
/// error or a failed command, and Fatal_error for every failure that ends the run.
int run_driver(const std::vector<std::string>& arguments, Console& console,
               xmlm_shit::Byte_source& input, const System& system);

}  // namespace plotr

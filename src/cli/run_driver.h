#pragma once

#include <string>
#include <vector>

#include "common/console.h"

namespace plotr {

namespace xmlm_shit {
class Byte_source;
}

/// The whole run, from the argument vector to the finished job, in its fixed
/// order. Returns the exit status of a run that reaches its end (0). Throws
/// Early_exit for help or a command-line error and Fatal_error for every
/// failure that ends the run.
int run_driver(const std::vector<std::string>& arguments, Console& console,
               xmlm_shit::Byte_source& input);

}  // namespace plotr

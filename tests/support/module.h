// The built module, loaded the way the host loads it: as a dynamic library whose one entry,
// mexFunction, is looked up by name.
#pragma once

#include <string>

#include "standin_host.h"

namespace quarnel::testing {

// Loads the module at `path` once and returns its mexFunction; fails the test run when the
// library or the entry is missing.
MexEntry loadModule(const std::string& path);

}  // namespace quarnel::testing

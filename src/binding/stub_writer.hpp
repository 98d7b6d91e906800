// Writes the Python type stub of the module from its type description.
#pragma once

#include "binding/type_description.hpp"

#include <string>
#include <vector>

namespace tervalin::stub {

// The text of the stub file.
[[nodiscard]] std::string write_stub(const std::vector<Entry>& entries);

}  // namespace tervalin::stub

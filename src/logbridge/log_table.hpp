// The log facade as separately built extensions reach it: a table of C
// functions, published in the module's state (<tervalin/log_table.hpp>).
#pragma once

#include <tervalin/log_table.hpp>

namespace tervalin::log {

// The table, valid for the life of the process.
[[nodiscard]] const log_abi::LogTable& log_table() noexcept;

}  // namespace tervalin::log

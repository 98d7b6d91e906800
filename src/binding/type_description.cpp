#include "binding/type_description.hpp"

#include <algorithm>

namespace tervalin::stub {
namespace {

std::vector<Entry>& registry() {
    static std::vector<Entry> registered;
    return registered;
}

}  // namespace

void add(const Entry& entry) { registry().push_back(entry); }

std::vector<Entry> entries() {
    std::vector<Entry> sorted = registry();
    std::ranges::stable_sort(sorted, {}, &Entry::position);
    return sorted;
}

}  // namespace tervalin::stub

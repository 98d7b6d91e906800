#include "kit_hooks.hpp"

#include <tervalin/log.hpp>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

PyObject* kit_log_from_threads(PyObject*, PyObject* args) {
    int thread_count = 0;
    int records = 0;
    const char* target_text = nullptr;
    int level = 0;
    if (!PyArg_ParseTuple(args, "iisi", &thread_count, &records, &target_text, &level)) return nullptr;
    if (level < 1 || level > 5) {
        PyErr_SetString(PyExc_ValueError, "level must be 1..5");
        return nullptr;
    }
    if (!tervalin::log::bind()) return nullptr;
    const auto checked = static_cast<tervalin::log::Level>(level);
    using Formatted = tervalin::log::Outcome (*)(std::string_view, tervalin::log::Site, const char*, ...);
    constexpr Formatted formatted[] = {tervalin::log::errorf, tervalin::log::warnf, tervalin::log::infof,
                                       tervalin::log::debugf, tervalin::log::tracef};
    const Formatted format_record = formatted[level - 1];
    const std::string target(target_text);
    std::vector<std::thread> threads;
    Py_BEGIN_ALLOW_THREADS;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < records; ++i) {
                if (t == thread_count - 1) {
                    format_record(target, TERVALIN_LOG_SITE, "%d:%d", t, i);
                } else {
                    tervalin::log::emit(checked, target, [&] { return std::to_string(t) + ":" + std::to_string(i); });
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

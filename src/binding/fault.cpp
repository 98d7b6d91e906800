#include "binding/fault.hpp"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tervalin {
namespace {

// "main" for the process's first thread, the thread's own name when it was
// given one, else "<unnamed>" (an unnamed thread carries the process name).
// The thread id and name come from the system calls themselves rather than
// gettid() and pthread_getname_np(), which glibc gained only in 2.30 and 2.34:
// the wheel runs on systems as old as glibc 2.17.
std::string thread_name() {
    if (syscall(SYS_gettid) == getpid()) return "main";
    std::array<char, 64> own{};  // PR_GET_NAME writes at most 16 bytes, terminator included
    std::array<char, 64> process{};
    if (prctl(PR_GET_NAME, own.data(), 0, 0, 0) != 0) return "<unnamed>";
    std::FILE* comm = std::fopen("/proc/self/comm", "r");
    if (comm != nullptr) {
        if (std::fgets(process.data(), static_cast<int>(process.size()), comm) != nullptr)
            process[std::strcspn(process.data(), "\n")] = '\0';
        std::fclose(comm);
    }
    if (own[0] == '\0' || std::strcmp(own.data(), process.data()) == 0) return "<unnamed>";
    return own.data();
}

}  // namespace

void report_fault(std::string_view message, const std::source_location* where) noexcept {
    try {
        std::string name = thread_name();
        if (where != nullptr) {
            std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%.*s\n", name.c_str(),
                         where->file_name(), static_cast<unsigned>(where->line()),
                         static_cast<unsigned>(where->column()), static_cast<int>(message.size()),
                         message.data());
        } else {
            std::fprintf(stderr, "\nthread '%s' panicked:\n%.*s\n", name.c_str(),
                         static_cast<int>(message.size()), message.data());
        }
        std::fflush(stderr);
    } catch (...) {
        // The report is a courtesy; failing to write it must not change the outcome.
    }
}

void fault(std::string message, std::source_location where) {
    report_fault(message, &where);
    throw NativeFault(std::move(message));
}

std::string fault_message(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const NativeFault& native) {
        return native.message();
    } catch (const std::exception& standard) {
        // A standard-library failure (say, std::bad_alloc) carries its text in what();
        // it had no report when it started, so write one now.
        report_fault(standard.what(), nullptr);
        return standard.what();
    } catch (...) {
        report_fault(foreign_fault_text, nullptr);
        return std::string(foreign_fault_text);
    }
}

void abort_uncaught_fault() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace tervalin

// Linked into the wheel's module only, which carries its own copy of the C++
// runtime. That runtime's reference counts and static-local guards read
// glibc's __libc_single_threaded flag to skip atomic operations while the
// process has one thread; the flag exists only since glibc 2.32, and a
// reference to it would stop the module from loading on older systems. This
// definition takes its place inside the module (hidden, so it binds no other
// library): it stays 0, "threads may exist", so the runtime always takes the
// atomic path, which is correct whatever the process does.
//
// Deliberately includes no header: <sys/single_threaded.h> declares the flag
// with default visibility.
extern "C" {
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;
}

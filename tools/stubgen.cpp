// tervalin_stubgen: prints the module's type stub, written from the type
// descriptions compiled into the module's objects.
#include "binding/stub_writer.hpp"

#include <iostream>

int main(int argc, char**) {
    if (argc != 1) {
        std::cerr << "usage: tervalin_stubgen\n";
        return 2;
    }
    std::cout << tervalin::stub::write_stub(tervalin::stub::entries());
    return 0;
}

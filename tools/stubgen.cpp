// tervalin_stubgen: prints the module's type stub, or with --check FILE
// compares it with FILE and fails when they differ.
#include "binding/stub_writer.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string_view>

int main(int argc, char** argv) {
    std::string stub;
    try {
        stub = tervalin::stub::write_stub(tervalin::stub::entries());
    } catch (const std::exception& error) {
        std::cerr << "tervalin_stubgen: " << error.what() << "\n";
        return 2;
    }
    if (argc == 3 && std::string_view(argv[1]) == "--check") {
        std::ifstream file(argv[2], std::ios::binary);
        std::ostringstream committed;
        committed << file.rdbuf();
        if (committed.str() == stub) return 0;
        std::cerr << "tervalin_stubgen: " << argv[2] << " differs from the type descriptions\n";
        return 1;
    }
    if (argc != 1) {
        std::cerr << "usage: tervalin_stubgen [--check FILE]\n";
        return 2;
    }
    std::cout << stub;
    return 0;
}

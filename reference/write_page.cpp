#include "write_page.h"

#include <fstream>
#include <iostream>

int WritePage(int argc, char **argv, const std::string &page) {
    if (argc < 2) {
        std::cout << page;
        return 0;
    }
    std::ofstream file(argv[1], std::ios::binary);
    file << page;
    return file.good() ? 0 : 1;
}

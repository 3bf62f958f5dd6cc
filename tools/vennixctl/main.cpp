#include "vennixctl/VennixCtl.h"

#include <iostream>

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return qarn::VennixCtl::main(arguments, std::cout, std::cerr, /*stopOnSignals=*/true);
}

#include "qarnctl/QarnCtl.h"

#include <iostream>

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return qarn::QarnCtl::main(arguments, std::cout, std::cerr);
}

#include "exporter/Exporter.h"

#include <iostream>

int main(int argc, char** argv)
{
    return qarn::Exporter::main(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}

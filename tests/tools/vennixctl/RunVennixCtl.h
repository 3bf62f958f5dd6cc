#pragma once
// vennixctl run in the test process, with what it prints captured.

#include "vennixctl/VennixCtl.h"

#include <sstream>
#include <string>
#include <vector>

namespace qarn::testing {

struct Outcome {
    int status;
    std::string out, err;
};

inline Outcome runVennixCtl(const std::vector<std::string>& arguments)
{
    std::ostringstream out, err;
    const int status = VennixCtl::main(arguments, out, err);
    return {status, out.str(), err.str()};
}

} // namespace qarn::testing

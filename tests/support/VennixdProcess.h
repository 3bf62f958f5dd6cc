#pragma once
// The built vennixd on a socket of its own, for tests: a start that fails fails the test.

#include "tests/support/VennixdChild.h"
#include <gtest/gtest.h>

namespace vennix::testing {

class VennixdProcess : public VennixdChild {
public:
    explicit VennixdProcess(std::vector<std::string> arguments = {"--simulate"})
        : VennixdChild(std::move(arguments))
    {
        if (!problem().empty())
            ADD_FAILURE() << problem();
    }
};

} // namespace vennix::testing

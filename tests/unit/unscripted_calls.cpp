// A call a fake was not scripted for fails the test that made it.

#include <gtest/gtest.h>

#include "fake_file_security.h"

namespace {

const bool installed = [] {
    vorn::testing::unscripted_call_hook() = [](const std::string& call) { ADD_FAILURE() << call; };
    return true;
}();

}  // namespace

// An exception whose message is part of the contract: the type and the
// exact text, in one line of the test.
#pragma once

#include <gtest/gtest.h>

namespace testsupport {

template <class E, class F>
void ExpectThrowWhat(F&& run, const char* what) {
    try {
        run();
        ADD_FAILURE() << "nothing raised; expected \"" << what << "\"";
    } catch (const E& e) {
        EXPECT_STREQ(e.what(), what);
    }
}

} // namespace testsupport

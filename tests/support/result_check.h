// gtest check for a Result or Status: passes when it holds a value, else fails showing the
// error's reason.
//
//   ASSERT_TRUE(Ok(msglog_load(path, '|')));
#pragma once

#include <gtest/gtest.h>

namespace tolvane::test_support {

template <class R>
::testing::AssertionResult Ok(const R& r) {
    if (r.ok()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "failed: " << r.reason();
}

}  // namespace tolvane::test_support

// A gtest check of a Status or Result: passes when it holds a value, and on an error says
// the error's reason, so that a failed step in a test tells why.
//
//   ASSERT_TRUE(succeeded(store->enqueue(batch)));
#pragma once

#include <gtest/gtest.h>

#include "foundation/result.h"

namespace tolvane {

template <class T, class E>
::testing::AssertionResult succeeded(const Result<T, E>& r) {
    if (r.ok()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "failed: " << r.error().reason;
}

}  // namespace tolvane

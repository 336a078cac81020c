#pragma once
// The failure an operation throws, as a value to assert on. Header-only: it reports through
// GoogleTest, which TestSupport does not link.

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

// What `body` throws as a `Failure`; when it throws nothing the test fails and `otherwise` is
// returned, so that the caller's assertions fail too instead of reading garbage. Other
// exceptions pass through.
template <class Failure, class Body>
Failure thrownBy(Body&& body, Failure otherwise) {
    try {
        body();
    } catch (const Failure& failure) {
        return failure;
    }
    ADD_FAILURE() << "expected a failure, and the operation succeeded";
    return otherwise;
}

}  // namespace testsupport

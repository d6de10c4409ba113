// A FIFO where a file is expected, and a deadline for the call that is given
// it: open() of a FIFO for reading waits until some writer opens it, so a
// call that opens it blindly would hang the test instead of failing it.
#pragma once

#include <gtest/gtest.h>

#include "test_platform.h"

#include <chrono>
#include <future>
#include <string>

namespace fifo_deadline {

// False where the system has no FIFOs (Windows): the caller leaves out
// what needs one.
inline bool make_fifo(const std::string &path) {
    return test_platform::make_fifo(path);
}

// Runs `call` on a thread of its own and gives its result. A call still
// running after five seconds waits in open() on the FIFO: the test fails,
// and a writer that opens and closes the FIFO lets the call go on (it then
// reads an empty file), so that the test ends.
template <class Call>
auto call_within_deadline(const std::string &fifo, Call call) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "waited for a writer on the FIFO " << fifo;
        while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
            test_platform::release_fifo_reader(fifo);
        }
    }
    return result.get();
}

} // namespace fifo_deadline

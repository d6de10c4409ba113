// A FIFO where a file is expected, and a deadline for the call that is given
// it: open() of a FIFO for reading waits until some writer opens it, so a
// call that opens it blindly would hang the test instead of failing it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

namespace fifo_deadline {

inline void make_fifo(const std::string &path) {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
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
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
    }
    return result.get();
}

} // namespace fifo_deadline

// The shared library as a program sees it: linked at load time, functions
// and data reached through the public header alone.
#include "bridgeio.h"

#include <gtest/gtest.h>

namespace {

TEST(SharedLibrary, AbsentAdapterGivesTheInvalidHandle) {
    // No adapter answers to this identity; the hidapi port must say so.
    EXPECT_EQ(usb_hid_init(0xFFFF, 0xFFFE), BRIDGEIO_INVALID_HANDLE);
    EXPECT_EQ(rd2(BRIDGEIO_INVALID_HANDLE), -1);
    EXPECT_EQ(usb_hid_close(BRIDGEIO_INVALID_HANDLE), 0);
}

TEST(SharedLibrary, ExportedDataIsTheLibrarysOwn) {
    // A command composes its request in the exported buffer even when the
    // exchange then fails.
    obuffer[0] = 0;
    EXPECT_EQ(return_to_bootloader(BRIDGEIO_INVALID_HANDLE), -1);
    EXPECT_EQ(obuffer[0], 0xA3);
    uint8_t data[64] = {0x42};
    EXPECT_EQ(send_raw(BRIDGEIO_INVALID_HANDLE, data), -2);
    EXPECT_EQ(obuffer[0], 0x42);
}

} // namespace

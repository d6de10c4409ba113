// The firmware update check on any "firmware.bin", flashed into the virtual kit when
// the header passes. Byte 0: bit 0 automatic, bits 1-2 the adapter's firmware (none,
// older, equal or newer than most images); the rest is the file.
#include <cstdint>
#include <string>

#include "bridgeio.h"
#include "device/firmware_check.h"
#include "fuzz_support.h"
#include "kit_session.h"
#include "link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 16384)
        return -1;
    static fuzzkit::TempFolder folder("/tmp/rx-fuzz-firmware-XXXXXX");
    using fuzzkit::fail;
    const bool automatic = data[0] & 1;
    static const char *const kFirmware[] = {"firmware none", "firmware 0.0.1", "firmware 1.2.3",
                                            "firmware 255.255.255"};
    fuzzkit::ScopedDir in_folder(folder.dir); // the check reads "firmware.bin" here
    fuzzkit::write_file(evalpanel::kFirmwareImageName, std::string(data + 1, data + size));

    fuzzkit::kit("reset");
    fuzzkit::kit("clock manual");
    fuzzkit::kit(kFirmware[(data[0] >> 1) & 3]);
    BridgeHandle handle = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    if (handle == BRIDGEIO_INVALID_HANDLE)
        fail("the virtual kit did not open");

    int boxes = 0;
    evalpanel::FirmwareCheckSinks sinks;
    sinks.log = [](const QString &line) { (void)line.toUtf8(); };
    sinks.show_box = [&](const QString &) { ++boxes; };
    evalpanel::BridgeFirmwareAdapter adapter(handle);
    using evalpanel::FirmwareOutcome;
    const FirmwareOutcome outcome = evalpanel::run_firmware_check(adapter, automatic, sinks);

    // A header and at least one byte of a page (inputs stay far below 1024 pages).
    const bool valid = size > 9 && bridgeio::get_le32(data + 1) == evalpanel::kFirmwareImageMagic;
    if ((outcome == FirmwareOutcome::Updated || outcome == FirmwareOutcome::FlashFailed ||
         outcome == FirmwareOutcome::AlreadyLatest) &&
        !valid)
        fail("an invalid image got past the header check");
    if (outcome == FirmwareOutcome::InvalidImage && valid)
        fail("a valid header was refused");
    if (boxes > 1)
        fail("more than one message box");
    usb_hid_close(handle);
    return 0;
}

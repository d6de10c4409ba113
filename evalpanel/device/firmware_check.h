// Keeping the adapter board's firmware up to date from the image file
// "firmware.bin" in the current directory.
//
// The check runs automatically at every connection (it then only flashes an
// adapter without firmware) and on demand from the menu (it then flashes
// whenever the file's version is at least the adapter's). It writes
// time-stamped lines into the command log and reports its outcome in one
// message box, shown at most once, at its end; the automatic check with
// firmware present shows none. It leaves the adapter in its bootloader: the
// caller starts the firmware afterwards.
//
// It runs on the device thread; the box is the window's, shown after the
// check has ended (the sink only hands the text over, it never waits).
//
// Image file: magic word 0x04050607 and image version, both 32-bit
// little-endian, then the flash pages. A file shorter than its 8-byte header
// or one that cannot be read is an invalid image and is never flashed.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

#include "bridgeio.h"
#include "chip/firmware_image.h"
#include "device/operations.h"

namespace evalpanel {

inline constexpr const char *kFirmwareImageName = "firmware.bin";
inline constexpr uint32_t kFirmwareImageMagic = rx5120::image::kMagic;

// The adapter commands the check uses. BridgeFirmwareAdapter sends them to
// the adapter library; tests may change the answers.
class FirmwareAdapter {
  public:
    virtual ~FirmwareAdapter() = default;
    virtual int return_to_bootloader() = 0;
    // Version word (0 for none), text "major.minor.patch" into the 12-byte
    // buffer; -1 and the buffer untouched when the exchange failed.
    virtual int bootloader_version(char text[12]) = 0;
    virtual int firmware_version(char text[12]) = 0;
    // Reads the image file and flashes it: 0 or 1 when the adapter took it.
    // `progress` runs after each page.
    virtual int load_firmware(const wchar_t *path,
                              const std::function<void(int written, int pages)> &progress) = 0;
};

class BridgeFirmwareAdapter : public FirmwareAdapter {
  public:
    explicit BridgeFirmwareAdapter(BridgeHandle handle) : handle_(handle) {}
    int return_to_bootloader() override;
    int bootloader_version(char text[12]) override;
    int firmware_version(char text[12]) override;
    int load_firmware(const wchar_t *path,
                      const std::function<void(int written, int pages)> &progress) override;

  private:
    BridgeHandle handle_;
};

// The plan of an update from the menu: the version read and the image's
// header checked as the check would, nothing flashed.
FirmwarePlan plan_firmware_update(FirmwareAdapter &adapter);
// "major.minor.patch" of a version word.
QString version_word_text(uint32_t version);

// One run of the check. `automatic` is true when called at connection.
FirmwareOutcome run_firmware_check(FirmwareAdapter &adapter, bool automatic,
                                   const FirmwareCheckSinks &sinks);

// "hh:mm:ss" of the current time followed by `text` (which carries its own
// separator, usually " : ").
QString time_stamped(const QString &text);

} // namespace evalpanel

#include "device/firmware_check.h"
#include "device/device_session.h"
#include "support/regular_file.h"

#include <QTime>

#include <string>


namespace evalpanel {
namespace {

constexpr off_t kImageHeaderSize = rx5120::image::kHeaderSize;
// The library refuses an image that does not fit the adapter's flash, and so
// does the check, before anything is sent.
constexpr off_t kPageSize = rx5120::image::kPageSize;
constexpr off_t kAdapterPages = rx5120::image::kAdapterPages;

uint32_t get_le32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

QString version_text(const char (&text)[12]) {
    return QString::fromLatin1(text, static_cast<int>(qstrnlen(text, sizeof text)));
}

struct ImageHeader {
    bool opened = false;
    bool complete = false; // all 8 header bytes read
    off_t size = 0;
    uint32_t magic = 0;
    uint32_t version = 0;

    // At least one page behind the header (a partial one counts: the
    // library fills it up), and no more than the adapter holds.
    bool fits() const {
        const off_t body = size - kImageHeaderSize;
        return body > 0 && body <= kAdapterPages * kPageSize;
    }
};

ImageHeader read_image_header() {
    ImageHeader header;
    const int fd = support::open_regular_file(kFirmwareImageName, &header.size);
    if (fd < 0)
        return header;
    header.opened = true;
    unsigned char bytes[kImageHeaderSize] = {};
    if (support::read_file(fd, bytes, sizeof bytes) == static_cast<long>(sizeof bytes)) {
        header.complete = true;
        header.magic = get_le32(bytes);
        header.version = get_le32(bytes + 4);
    }
    support::close_file(fd);
    return header;
}

} // namespace

int BridgeFirmwareAdapter::return_to_bootloader() {
    return ::return_to_bootloader(handle_);
}

int BridgeFirmwareAdapter::bootloader_version(char text[12]) {
    return ::get_bootloader_version(handle_, text);
}

int BridgeFirmwareAdapter::firmware_version(char text[12]) {
    return ::get_firmware_version(handle_, text);
}

int BridgeFirmwareAdapter::load_firmware(
    const wchar_t *path, const std::function<void(int written, int pages)> &progress) {
    // The library reports each page through one process-wide callback,
    // set for the length of this flash.
    auto report = [](void *context, uint32_t written, uint32_t pages) {
        const auto &f = *static_cast<const std::function<void(int, int)> *>(context);
        if (f)
            f(static_cast<int>(written), static_cast<int>(pages));
    };
    set_flash_progress(report, const_cast<std::function<void(int, int)> *>(&progress));
    const int result = ::load_firmware(handle_, path);
    set_flash_progress(nullptr, nullptr);
    return result;
}

QString time_stamped(const QString &text) {
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) + text;
}

FirmwareOutcome run_firmware_check(FirmwareAdapter &adapter, bool automatic,
                                   const FirmwareCheckSinks &sinks) {
    auto log = [&](const QString &text) {
        if (sinks.log)
            sinks.log(time_stamped(text));
    };
    auto finish = [&](FirmwareOutcome outcome, const QString &box_text) {
        if (sinks.show_box)
            sinks.show_box(box_text);
        return outcome;
    };

    char text[12] = {};
    adapter.return_to_bootloader();
    adapter.bootloader_version(text);
    log(QStringLiteral(" : Bootloader version %1.").arg(version_text(text)));

    const int read = adapter.firmware_version(text);
    // A failed exchange, not a version: without this test no adapter would
    // read as all ones, above every image, and look "already latest".
    if (read == -1) {
        log(QStringLiteral(" : Adapter not connected."));
        if (automatic)
            return FirmwareOutcome::NotConnected;
        return finish(FirmwareOutcome::NotConnected, QStringLiteral("Adapter not connected."));
    }
    const uint32_t current = static_cast<uint32_t>(read);
    if (automatic && current != 0) {
        log(QStringLiteral(" : Firmware found. No automatic updates done."));
        return FirmwareOutcome::FirmwarePresent;
    }
    log(QStringLiteral(" : Current firmware version %1.").arg(version_text(text)));
    const QString before = version_text(text);

    const ImageHeader header = read_image_header();
    if (!header.opened) {
        log(QStringLiteral(" : No updates available."));
        return finish(FirmwareOutcome::NoImage, QStringLiteral("No updates available."));
    }
    if (!header.complete || header.magic != kFirmwareImageMagic || !header.fits()) {
        log(QStringLiteral(": Invalid firmware image."));
        return finish(FirmwareOutcome::InvalidImage, QStringLiteral("Invalid firmware image."));
    }
    if (current > header.version) {
        log(QStringLiteral(" : Firmware already latest."));
        return finish(FirmwareOutcome::AlreadyLatest, QStringLiteral("Firmware already latest."));
    }

    log(QStringLiteral(" : Updating firmware..."));
    const std::wstring path = QString::fromLatin1(kFirmwareImageName).toStdWString();
    const int flashed = adapter.load_firmware(path.c_str(), sinks.progress);
    FirmwareOutcome outcome;
    QString box_text;
    if (static_cast<unsigned>(flashed) <= 1) {
        log(QStringLiteral(" : OK."));
        box_text = QStringLiteral("Firmware updated.");
        outcome = FirmwareOutcome::Updated;
    } else {
        log(QStringLiteral(" : Failed."));
        // A failure says so: an empty box would read as if nothing happened.
        box_text = QStringLiteral("Firmware update failed: the adapter did not take the image.");
        outcome = FirmwareOutcome::FlashFailed;
    }
    const bool read_after = adapter.firmware_version(text) != -1;
    log(QStringLiteral(" : Current firmware version %1.").arg(version_text(text)));
    box_text += QStringLiteral("\nVersion before: %1\nVersion now: %2")
                    .arg(before, read_after ? version_text(text) : QStringLiteral("unknown (no answer)"));
    return finish(outcome, box_text);
}

QString version_word_text(uint32_t v) {
    return QStringLiteral("%1.%2.%3").arg((v >> 16) & 0xFF).arg((v >> 8) & 0xFF).arg(v & 0xFF);
}

FirmwarePlan plan_firmware_update(FirmwareAdapter &adapter) {
    FirmwarePlan plan;
    char text[12] = {};
    const int read = adapter.firmware_version(text);
    if (read == -1)
        return plan; // not connected
    plan.current = version_text(text);
    plan.file = QString::fromLatin1(kFirmwareImageName);
    const ImageHeader header = read_image_header();
    plan.size = static_cast<qint64>(header.size);
    if (!header.opened) {
        plan.outcome = FirmwareOutcome::NoImage;
    } else if (!header.complete || header.magic != kFirmwareImageMagic || !header.fits()) {
        plan.outcome = FirmwareOutcome::InvalidImage;
    } else {
        plan.image = version_word_text(header.version);
        plan.outcome = static_cast<uint32_t>(read) > header.version ? FirmwareOutcome::AlreadyLatest
                                                                    : FirmwareOutcome::Updated;
    }
    return plan;
}

FirmwarePlan plan_firmware_update(DeviceSession &session) {
    BridgeFirmwareAdapter adapter(session.handle());
    return plan_firmware_update(adapter);
}

void install_automatic_firmware_check(DeviceSession &session, FirmwareCheckSinks sinks) {
    session.set_firmware_check([sinks = std::move(sinks)](BridgeHandle handle) {
        BridgeFirmwareAdapter adapter(handle);
        run_firmware_check(adapter, true, sinks);
    });
}

FirmwareOutcome update_firmware_from_menu(DeviceSession &session, const FirmwareCheckSinks &sinks) {
    BridgeFirmwareAdapter adapter(session.handle());
    const FirmwareOutcome outcome = run_firmware_check(adapter, false, sinks);
    // The check leaves the adapter in its bootloader, whatever it decided.
    start_firmware(session.handle());
    if (outcome == FirmwareOutcome::Updated)
        session.firmware_updated();
    return outcome;
}

} // namespace evalpanel

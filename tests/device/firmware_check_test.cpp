// The firmware update check against the virtual kit: the decision, the log
// lines with their time stamps, the boxes, and the kit's firmware after.
#include "../console/temp_files.h"
#include "../fifo_deadline.h"
#include "../virtualkit/kit_lines.h"
#include "../mainwindow/qstring_print.h"
#include "device/device_session.h"
#include "device/firmware_check.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using evalpanel::FirmwareOutcome;

constexpr uint32_t version_word(int major, int minor, int patch) {
    return uint32_t(major) << 16 | uint32_t(minor) << 8 | uint32_t(patch);
}

// Exchanges with command code 0xB1 (image header, chunks, end mark) so far.
const char *const kFlash = "0xB1";

// The adapter's firmware as the kit reports it: "1.2.0", "none", ...
std::string kit_firmware() {
    const std::string status = kit("status");
    const auto at = status.find(", firmware ") + 11;
    return status.substr(at, status.find_first_of(",\n", at) - at);
}

// The header (magic, version, both little-endian), then `pages` pages of 256
// bytes and `tail` extra bytes.
QByteArray image_bytes(uint32_t magic, uint32_t version, int pages, int tail = 0) {
    QByteArray bytes;
    for (uint32_t word : {magic, version})
        for (int i = 0; i < 4; ++i)
            bytes.append(static_cast<char>(word >> (8 * i)));
    for (int i = 0; i < pages * 256 + tail; ++i)
        bytes.append(static_cast<char>(i * 7 + 1));
    return bytes;
}

class FirmwareCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        handle_ = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(handle_, BRIDGEIO_INVALID_HANDLE);
        kit("stats"); // counts start at the reset
    }

    void TearDown() override {
        if (handle_ != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(handle_);
        kit("reset");
    }

    // Writes firmware.bin.
    static void write_raw(const QByteArray &bytes) {
        QFile file(QString::fromLatin1(evalpanel::kFirmwareImageName));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    static void write_image(uint32_t version, int pages = 3, int tail = 0) {
        write_raw(image_bytes(evalpanel::kFirmwareImageMagic, version, pages, tail));
    }

    FirmwareOutcome run(bool automatic, evalpanel::FirmwareAdapter *adapter = nullptr) {
        evalpanel::BridgeFirmwareAdapter bridge(handle_);
        evalpanel::FirmwareCheckSinks sinks;
        sinks.log = [this](const QString &line) { lines_ << line; };
        sinks.show_box = [this](const QString &text) { boxes_ << text; };
        sinks.progress = [this](int written, int pages) { progress_.emplace_back(written, pages); };
        return evalpanel::run_firmware_check(adapter ? *adapter : bridge, automatic, sinks);
    }

    // The log lines without their time stamps, after checking that each has
    // one: "hh:mm:ss" straight before the message's own separator.
    QStringList messages() const {
        static const QRegularExpression stamp("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9](?=:| :)");
        QStringList out;
        for (const QString &line : lines_) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            out << line.mid(8);
        }
        return out;
    }

    InTempDir cwd_; // where firmware.bin is looked up
    BridgeHandle handle_ = BRIDGEIO_INVALID_HANDLE;
    QStringList lines_;
    QStringList boxes_;
    std::vector<std::pair<int, int>> progress_;
};

// The menu flashes whenever the file is at least as new as the adapter; at
// start-up an adapter with firmware is left alone, even for a newer or broken
// image, and one without firmware takes none from a file that is no image.
// Every byte of an image that fits is flashed: a partial last page goes out
// filled up to a whole one, and an image as large as the adapter's flash is
// taken whole. The check must not wait on a FIFO for a writer.
TEST_F(FirmwareCheck, DecidesByFileModeAndVersion) {
    using enum FirmwareOutcome;
    const QByteArray missing = "<missing>", directory = "<directory>", fifo = "<fifo>";
    const uint32_t magic = evalpanel::kFirmwareImageMagic, v130 = version_word(1, 3, 0),
                   v201 = version_word(2, 0, 1), v300 = version_word(3, 0, 0);
    const struct {
        const char *kit; // run on the kit first, or null
        bool automatic;
        QByteArray file; // firmware.bin's bytes, or missing, directory, fifo
        const char *before, *after; // the kit's firmware; after is null when nothing is flashed
        FirmwareOutcome outcome;
    } rows[] = {
        {nullptr, false, missing, "1.2.0", nullptr, NoImage},
        {nullptr, false, directory, "1.2.0", nullptr, NoImage},
        {nullptr, false, fifo, "1.2.0", nullptr, NoImage},
        {nullptr, false, image_bytes(0x05050607, v300, 2), "1.2.0", nullptr, InvalidImage},
        {nullptr, false, image_bytes(0x07060504, v300, 2), "1.2.0", nullptr, InvalidImage},
        {nullptr, false, image_bytes(magic, v300, 0).left(7), "1.2.0", nullptr, InvalidImage},
        {nullptr, false, image_bytes(magic, v300, 0), "1.2.0", nullptr, InvalidImage}, // no page
        {nullptr, false, image_bytes(magic, v300, 1024, 1), "1.2.0", nullptr, InvalidImage},
        {nullptr, true, "junk", "1.2.0", nullptr, FirmwarePresent},
        {nullptr, true, image_bytes(magic, v201, 2), "1.2.0", nullptr, FirmwarePresent},
        {nullptr, false, image_bytes(magic, version_word(1, 1, 9), 2), "1.2.0", nullptr,
         AlreadyLatest},
        {nullptr, false, image_bytes(magic, v130, 2, 17), "1.2.0", "1.3.0", Updated},
        {nullptr, false, image_bytes(magic, v130, 0, 1), "1.3.0", "1.3.0", Updated}, // as new
        {nullptr, false, image_bytes(magic, v130, 1024), "1.3.0", "1.3.0", Updated},
        {nullptr, false, image_bytes(magic, v201, 2), "1.3.0", "2.0.1", Updated},
        // The top byte takes no part in the text but does in the comparison.
        {nullptr, false, image_bytes(magic, 0x01000000u | version_word(1, 0, 0), 2), "2.0.1",
         "1.0.0", Updated},
        {"firmware none", true, missing, "none", nullptr, NoImage},
        {nullptr, true, fifo, "none", nullptr, NoImage},
        {nullptr, true, image_bytes(0x05050607, v300, 2), "none", nullptr, InvalidImage},
    };
    const QString name = QString::fromLatin1(evalpanel::kFirmwareImageName);
    const auto current = [](const char *v) {
        return QString(" : Current firmware version %1.").arg(strcmp(v, "none") ? v : "0.0.0");
    };
    const std::map<FirmwareOutcome, const char *> boxes = {
        {NoImage, "No updates available."}, {InvalidImage, "Invalid firmware image."},
        {AlreadyLatest, "Firmware already latest."}, {Updated, "Firmware updated."}};
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        lines_.clear();
        boxes_.clear();
        progress_.clear();
        if (row.kit)
            kit(row.kit);
        QDir().rmdir(name);
        QFile::remove(name);
        if (row.file == directory) {
            ASSERT_TRUE(QDir().mkdir(name));
        } else if (row.file == fifo) {
            if (!fifo_deadline::make_fifo(name.toStdString()))
                continue; // no FIFOs here (Windows)
        } else if (row.file != missing) {
            write_raw(row.file);
        }
        const long long flashed = kit_count(kFlash);
        if (!row.automatic) {
            // The plan asked for consent decides as the check will, and
            // touches neither the flash nor the running firmware.
            evalpanel::BridgeFirmwareAdapter bridge(handle_);
            const evalpanel::FirmwarePlan plan = fifo_deadline::call_within_deadline(
                name.toStdString(), [&] { return evalpanel::plan_firmware_update(bridge); });
            EXPECT_EQ(plan.outcome, row.outcome);
            EXPECT_EQ(plan.current, row.before);
            if (row.after) {
                EXPECT_EQ(plan.image, row.after);
                EXPECT_EQ(plan.size, row.file.size());
            }
            EXPECT_EQ(kit_count(kFlash), flashed);
        }
        EXPECT_EQ(fifo_deadline::call_within_deadline(name.toStdString(),
                                                      [&] { return run(row.automatic); }),
                  row.outcome);
        QString box = boxes.count(row.outcome) ? boxes.at(row.outcome) : "";
        if (row.outcome == Updated)
            box += QString("\nVersion before: %1\nVersion now: %2")
                       .arg(strcmp(row.before, "none") ? row.before : "0.0.0", row.after);
        QStringList expected = {" : Bootloader version 1.0.4."};
        if (row.outcome == FirmwarePresent)
            expected << " : Firmware found. No automatic updates done.";
        else if (row.outcome == Updated)
            expected << current(row.before) << " : Updating firmware..." << " : OK."
                     << current(row.after);
        else
            expected << current(row.before) << (row.outcome == InvalidImage ? ": " : " : ") + box;
        EXPECT_EQ(messages(), expected);
        EXPECT_EQ(boxes_, box.isEmpty() ? QStringList() : QStringList{box});
        EXPECT_EQ(kit_firmware(), row.after ? row.after : row.before);
        // One report per page, counting up to the image's pages.
        const int sent = row.after ? int(row.file.size() - 8 + 255) / 256 : 0;
        ASSERT_EQ(progress_.size(), size_t(sent));
        if (sent) {
            EXPECT_EQ(progress_.front(), std::make_pair(1, sent));
            EXPECT_EQ(progress_.back(), std::make_pair(sent, sent));
        }
        EXPECT_EQ(kit_count(kFlash) == flashed, sent == 0);
    }
}

// The adapter's answer to the end of the flash decides: 0 and 1 are success.
struct ForcedFlashResult : evalpanel::BridgeFirmwareAdapter {
    using BridgeFirmwareAdapter::BridgeFirmwareAdapter;
    int result = 0;
    int load_firmware(const wchar_t *path, const std::function<void(int, int)> &progress) override {
        EXPECT_EQ(BridgeFirmwareAdapter::load_firmware(path, progress), 0); // the kit took it
        return result;
    }
};

// A flash the kit refuses (its header, nothing after it), then forced answers.
TEST_F(FirmwareCheck, FlashResultZeroOrOneIsSuccess) {
    write_image(version_word(1, 3, 0), 1);
    kit("refuse b1");
    EXPECT_EQ(run(false), FirmwareOutcome::FlashFailed);
    EXPECT_EQ(messages(),
              QStringList({" : Bootloader version 1.0.4.", " : Current firmware version 1.2.0.",
                           " : Updating firmware...", " : Failed.",
                           " : Current firmware version 1.2.0."}));
    EXPECT_EQ(boxes_, QStringList{"Firmware update failed: the adapter did not take the image.\n"
                                  "Version before: 1.2.0\nVersion now: 1.2.0"});
    EXPECT_EQ(kit_count(kFlash), 1);
    kit("refuse off");
    for (int result : {0, 1, 2, 4, -1, -4}) {
        SCOPED_TRACE(result);
        lines_.clear();
        boxes_.clear();
        ForcedFlashResult adapter(handle_);
        adapter.result = result;
        const bool ok = result == 0 || result == 1;
        EXPECT_EQ(run(false, &adapter), ok ? FirmwareOutcome::Updated : FirmwareOutcome::FlashFailed);
        const QStringList got = messages();
        ASSERT_EQ(got.size(), 5);
        EXPECT_EQ(got[3], ok ? " : OK." : " : Failed.");
        ASSERT_EQ(boxes_.size(), 1);
        EXPECT_TRUE(boxes_[0].startsWith(ok ? "Firmware updated.\n" : "Firmware update failed"));
    }
}

// Without an adapter the version read fails; that is no version above every
// image but a missing adapter, and the check says so.
TEST_F(FirmwareCheck, NoAdapterIsSaidPlainly) {
    write_image(version_word(1, 3, 0), 1);
    for (int row = 0; row < 4; ++row) {
        const bool unplug = row % 2 == 0, automatic = row >= 2;
        SCOPED_TRACE(std::string(unplug ? "unplug" : "invalid") + (automatic ? " automatic" : " menu"));
        lines_.clear();
        boxes_.clear();
        kit("reset");
        kit("stats");
        if (unplug) {
            kit("unplug");
        } else {
            usb_hid_close(handle_);
            handle_ = BRIDGEIO_INVALID_HANDLE;
        }
        EXPECT_EQ(run(automatic), FirmwareOutcome::NotConnected);
        EXPECT_EQ(messages(),
                  QStringList({" : Bootloader version .", " : Adapter not connected."}));
        EXPECT_EQ(boxes_, automatic ? QStringList() : QStringList{"Adapter not connected."});
        EXPECT_EQ(kit_count(kFlash), 0);
        kit("plug");
        if (handle_ != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(handle_);
        handle_ = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    }
}

// An adapter without firmware and no image to give it is one state: said
// once, one box per plug-in, not retried, and Update Firmware still works.
TEST_F(FirmwareCheck, AnAdapterWithoutFirmwareWaitsForItsUpdate) {
    usb_hid_close(handle_);
    handle_ = BRIDGEIO_INVALID_HANDLE;
    kit("firmware none");
    evalpanel::DeviceSession session;
    QStringList log;
    QObject::connect(&session, &evalpanel::DeviceSession::log_line,
                     [&](const QString &line) { log << line; });
    evalpanel::FirmwareCheckSinks sinks;
    sinks.show_box = [this](const QString &text) { boxes_ << text; };
    evalpanel::install_automatic_firmware_check(session, sinks);
    const QString no_firmware = QString::fromUtf8(evalpanel::kAdapterNoFirmwareText);
    for (int plugged = 0; plugged < 2; ++plugged) {
        session.connect_adapter();
        for (int tick = 0; tick < 3; ++tick)
            session.reconnect_due();
        EXPECT_TRUE(session.adapter_without_firmware());
        EXPECT_EQ(session.connection_state(), evalpanel::kNotConnected);
        EXPECT_EQ(session.open_failure(), no_firmware);
        EXPECT_EQ(boxes_.size(), plugged + 1);
        EXPECT_EQ(log.count(no_firmware), plugged + 1);
        kit("unplug");
        session.reconnect_due();
        EXPECT_FALSE(session.adapter_without_firmware());
        kit("plug");
    }
    session.connect_adapter();
    write_image(version_word(1, 3, 0), 1);
    EXPECT_EQ(evalpanel::update_firmware_from_menu(session, sinks), FirmwareOutcome::Updated);
    EXPECT_FALSE(session.adapter_without_firmware());
    EXPECT_NE(session.connection_state(), evalpanel::kNotConnected);
    EXPECT_TRUE(session.adapter_description().endsWith("firmware 1.3.0"))
        << session.adapter_description().toStdString();
    EXPECT_TRUE(boxes_.back().startsWith("Firmware updated.\n"));
}

} // namespace

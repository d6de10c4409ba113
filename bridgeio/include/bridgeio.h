/*
 * bridgeio: the RX5120 evaluation kit's USB adapter library.
 *
 * One command report of 64 bytes goes to the adapter and one reply report of
 * 64 bytes comes back per exchange. Every function below is one adapter
 * command built on that exchange. The library keeps its state in library
 * globals: it serves one adapter and one caller at a time, from one thread.
 *
 * Result codes shared by the command functions: 0, a count or a value on
 * success; -1 when the exchange failed (the adapter did not take the request
 * or did not answer in time); other negative values (mostly -4) when the
 * adapter answered with a failure status.
 *
 * Time-outs: a request is written within 200 ms and a reply waited for at
 * most 1000 ms, on HID and serial alike; signals do not extend either wait.
 * (A hidraw write that the kernel holds longer is abandoned to a library
 * thread; writes fail at once until it has ended, reopening that adapter
 * answers "busy" at once meanwhile, and its adapter's reply to it is dropped
 * before the next request.) Over HID an exchange is one attempt, at most 1.2 s; over
 * serial a reply of which nothing arrived makes it send the same request
 * again, up to ten times.
 *
 * Pairing: before each request the link drops every report or byte that is
 * already waiting, so a reply that came after its time-out is never taken
 * for a later request's. A serial reply cut short by the time-out fails the
 * exchange and its remains are dropped.
 *
 * Exclusive use: the library holds an advisory lock (flock) on the device
 * node of the open link; a second program that uses this library on the
 * same adapter cannot open it (see last_open_result). A serial port for
 * which another tool's lock file (LCK..ttyUSB0 in /var/lock or /run/lock)
 * names a live process counts as in use as well.
 *
 * Threads: every function and data object belongs to one thread at a time;
 * calls from several threads need the caller's own lock around each. The
 * library's own threads (the hidraw writer, the async_read worker) touch
 * only their port and never call back; the async_read worker also fills the
 * caller's buffer and sets bytesread, both before its descriptor becomes
 * readable (see async_read).
 *
 * fork: a child process must not use the link its parent opened (the
 * writer thread does not exist in the child, and both would read the same
 * replies); it may open a link of its own once the parent has closed its
 * link. The library's descriptors are close-on-exec: a program started by
 * exec inherits none of them.
 *
 * Choosing the adapter: the environment variable BRIDGEIO_ADAPTER, when set
 * and not empty, names the adapter to open: a hidraw path (/dev/hidraw3), a
 * USB serial number, or a serial port's path (/dev/rfcomm0, /dev/ttyUSB0).
 * A symbolic link counts as what it points to (a udev link to a hidraw node
 * is that adapter). usb_hid_init opens only that adapter (a terminal is
 * opened as by bt_init); bt_init(NULL) opens it instead of scanning. A path
 * that is neither a hidraw node nor a terminal (a regular file, /dev/null)
 * is refused and last_open_result says what it is.
 *
 * On Windows (bridgeio.dll): BRIDGEIO_ADAPTER names a HID device path
 * (\\?\hid#vid_1209&pid_5120#...), a USB serial number, or a COM port
 * ("COM3", "\\.\COM12"); bt_init(NULL) takes the highest of the consecutive
 * Bluetooth ports \Device\BTPort0, 1, ... listed under the registry key
 * HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. HID transfers are overlapped, with
 * the same time-outs; one program at a time uses an adapter (a named object
 * per device in place of the lock), a COM port is the opener's alone, and
 * its settings are restored when the link closes it. wchar_t text is UTF-16
 * there.
 *
 * Handles: at most one link is open. Opening a link (usb_hid_init, bt_init)
 * closes the one that was open, and its handle stops being valid; an
 * opening that fails leaves the open link as it was. A handle that is not
 * the open link's is never used to reach a device: every call with it fails
 * as an I/O error.
 */
#ifndef BRIDGEIO_H
#define BRIDGEIO_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

/* On Windows the DLL's export list (bridgeio.def) decides what is exported;
 * programs import the functions and data objects from bridgeio.dll (or
 * bridgeio-virtual.dll). BRIDGEIO_STATIC: linked into the program itself. */
#if defined(_WIN32)
#if defined(BRIDGEIO_BUILD) || defined(BRIDGEIO_STATIC)
#define BRIDGEIO_API
#else
#define BRIDGEIO_API __declspec(dllimport)
#endif
#elif defined(BRIDGEIO_BUILD)
#define BRIDGEIO_API __attribute__((visibility("default")))
#else
#define BRIDGEIO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque, pointer-sized handle of the open adapter link. */
typedef void *BridgeHandle;

/* The handle that stands for "no adapter": all bits set. */
#define BRIDGEIO_INVALID_HANDLE ((BridgeHandle)(intptr_t)-1)

/* USB identity of the kit's adapter board (vendor ID, product ID). */
#define BRIDGEIO_VENDOR_ID 0x1209
#define BRIDGEIO_PRODUCT_ID 0x5120

/* Receiver of completed asynchronous reads: the 64 payload bytes, then the
 * three context values cb_data, cb_data2 and cb_data3. Its result is ignored. */
typedef int (*BridgeReadCallback)(uint8_t *report, uint32_t data1, uint32_t data2, uint32_t data3);

/* ---- Exported data ---------------------------------------------------- */

/* The command buffer: every request is composed here and every reply lands
 * here, overwriting the request. */
BRIDGEIO_API extern uint8_t obuffer[64];
/* The report buffer: the bytes that actually cross the link (65). */
BRIDGEIO_API extern uint8_t obuffer2[65];
/* Bytes moved by the last read or write call. */
BRIDGEIO_API extern uint32_t bytesread;
/* Receiver of asynchronous reads (set by korra_read_fifo_packet). */
BRIDGEIO_API extern BridgeReadCallback read_callback;
/* Context values handed to read_callback. */
BRIDGEIO_API extern uint32_t cb_data;
BRIDGEIO_API extern uint32_t cb_data2;
BRIDGEIO_API extern uint32_t cb_data3;
/* PWM period count of each of the four PWM channels. */
BRIDGEIO_API extern uint32_t cprds[4];
/* A word kept for callers; the library never reads or writes it. */
BRIDGEIO_API extern uint32_t cs;

/* ---- Link ------------------------------------------------------------- */

/* Opens the first present HID interface whose vendor and product IDs match
 * (in enumeration order; interfaces that cannot be opened are skipped), or
 * the one BRIDGEIO_ADAPTER names. IDs outside 0..0xFFFF match nothing.
 * Returns its handle, or BRIDGEIO_INVALID_HANDLE when there is none; then
 * last_open_result tells why. */
BRIDGEIO_API BridgeHandle usb_hid_init(int vendor_id, int product_id);

/* Opens a serial (Bluetooth) port at 115200 baud with RTS/CTS handshake.
 * `port_name` is a device path used as given. With a null name it scans
 * /dev/rfcomm0 .. /dev/rfcomm19, stops at the first one missing and takes
 * the last one found, printing "Found <node> <path>" for each. It prints
 * "Trying <path>" for the port it opens, and a message for each settings
 * step that fails. With a null name and BRIDGEIO_ADAPTER set, that port is
 * opened instead of scanning. Returns the handle (also when the settings
 * could not be applied), or BRIDGEIO_INVALID_HANDLE when no port is found
 * ("No Bluetooth serial port ... found" is printed) or the port cannot be
 * opened (last_open_result tells why), also when it is no terminal. It
 * never ends the calling process.
 *
 * Settings: 115200 baud, 8 data bits, no parity, one stop bit, RTS/CTS,
 * read back after setting; a port that does not keep them prints "setting
 * commstate failed.". The port is exclusive while the link has it; closing
 * the link (or opening another) puts back the settings and the exclusivity
 * the port had before.
 *
 * Bluetooth: a node made with `rfcomm bind` connects only when it is opened,
 * which takes seconds; bt_init waits up to 5 s for the channel to be
 * connected (as the kernel's rfcomm device state tells; the board's carrier
 * where that cannot be asked) before it returns, and keeps the port open
 * either way (closing it would drop the channel again). The first exchange
 * after the open has up to another 5 s in case the channel is still being
 * set up. A node made with `rfcomm connect` is connected already (that
 * command holds the channel while it runs) and opens at once. */
BRIDGEIO_API BridgeHandle bt_init(const char *port_name);

/* What the last usb_hid_init or bt_init did, for the user: copies a one-line
 * text (no line feed) into `text`, at most size - 1 bytes and a terminating
 * zero (`text` may be null when `size` is 0), and returns
 *    1  an adapter was opened: "opened /dev/hidraw3 (serial number 0042)",
 *       or "opened serial port /dev/rfcomm0";
 *    0  no adapter was present: "no adapter with USB ID 1209:5120 is present"
 *       (also for IDs outside 0..0xFFFF, or no Bluetooth serial port);
 *   -1  an adapter was present but could not be opened; the text names it
 *       and the cause, e.g. "cannot open /dev/hidraw3: permission denied
 *       (...)", "cannot open /dev/hidraw3: in use by another program (...)",
 *       or that BRIDGEIO_ADAPTER names none of the adapters present.
 * Before any opening: 0 and "no adapter has been opened yet". */
BRIDGEIO_API int last_open_result(char *text, size_t size);

/* Closes the link. Returns nonzero when the handle was closed, 0 otherwise. */
BRIDGEIO_API int usb_hid_close(BridgeHandle handle);

/* One exchange: writes obuffer as a request and reads the reply into
 * obuffer. HID: one attempt. Serial: up to ten attempts of the same request
 * while the reply is missing. Returns 0, or -1 when it failed. */
BRIDGEIO_API int rd2(BridgeHandle handle);

/* Completion routine of the asynchronous read: calls read_callback (if set)
 * with the 64 received payload bytes (in obuffer2) and cb_data, cb_data2,
 * cb_data3. The three arguments are ignored. The library calls it itself
 * when an asynchronous read of korra_read_fifo_packet completes. */
BRIDGEIO_API void rd_async_callback(uint32_t error, uint32_t count, void *overlapped);

/* Starts one read of a raw report into the caller's 65-byte buffer, payload
 * at byte 1 on both transports (byte 0 is the report ID, or 0 on serial).
 * Returns null when the read cannot be started (no open link, a null buffer,
 * or an asynchronous read of korra_read_fifo_packet still waiting).
 * Otherwise returns a pointer to an int holding a file descriptor owned by
 * the library. Wait for it like this:
 *
 *     void *ev = async_read(h, buf);
 *     if (ev) {
 *         struct pollfd p = { *(const int *)ev, POLLIN, 0 };
 *         if (poll(&p, 1, timeout_ms) == 1) { ... buf holds the report ... }
 *     }
 *
 * The descriptor becomes readable once the read has ended and stays readable
 * until the next async_read; bytesread then holds the bytes received (fewer
 * than a report when the link failed). Do not read from or close it. On
 * Windows the result is the handle of a manual-reset event instead, set
 * under the same conditions: WaitForSingleObject(ev, timeout_ms). The
 * read runs on a library thread that touches the port, the buffer (which
 * must stay valid until then) and, last, bytesread: look at the buffer and
 * bytesread only once the descriptor (or event) has reported the read ended
 * (its wake-up makes both visible to your thread), or after your next call
 * into the library. The next call of any other function on the link
 * abandons a read that is still waiting; it then writes neither. */
BRIDGEIO_API void *async_read(BridgeHandle handle, uint8_t *buffer);

/* Copies the caller's 64 bytes into obuffer and sends them as one request;
 * no reply is read. Returns 0 sent, -1 time-out, -2 I/O error. */
BRIDGEIO_API int send_raw(BridgeHandle handle, const uint8_t *data);

/* ---- I2C and pins ----------------------------------------------------- */

/* Sets up the adapter's I2C controller with four words. 0, or -1. */
BRIDGEIO_API int i2c_init(BridgeHandle handle, uint32_t a, uint32_t b, uint32_t c, uint32_t d);

/* Controller I2C write in chunks of 52 bytes. Returns the last chunk's reply
 * status word; -4 when a reply reported a bus failure; -1 when an exchange
 * failed. */
BRIDGEIO_API int i2c_write(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                           int dev_addr, const uint8_t *data);

/* Controller I2C read in chunks of 60 bytes. Results as i2c_write. */
BRIDGEIO_API int i2c_read(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                          int dev_addr, uint8_t *out);

/* Selects the two adapter pins of the pin-driven I2C bus. 0, or -1. */
BRIDGEIO_API int sw_i2c_set_pins(BridgeHandle handle, int group1, int pin1, int group2, int pin2,
                                 int mode);

/* Pin-driven I2C write in chunks of 52 bytes. Returns the length written;
 * -4 when a reply reported a bus failure; -1 when an exchange failed. */
BRIDGEIO_API int sw_i2c_write(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                              int dev_addr, const uint8_t *data, int speed_a, int speed_b);

/* Pin-driven I2C read in chunks of 60 bytes, the register advancing with
 * each chunk. Returns the length read; -4; -1. */
BRIDGEIO_API int sw_i2c_read(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                             int dev_addr, uint8_t *out, int speed_a, int speed_b);

/* Configures a pin with four configuration bytes. 0, or -1. */
BRIDGEIO_API int pin_config(BridgeHandle handle, int group, int pin, int c1, int c2, int c3,
                            int c4);

/* Drives an output pin to level 0 or 1. 0, or -1. */
BRIDGEIO_API int pin_set(BridgeHandle handle, int group, int pin, int level);

/* Reads the level word of a pin group (bit n for pin n). 0 and the word
 * stored; -1 and nothing stored. */
BRIDGEIO_API int read_pin(BridgeHandle handle, int group, uint32_t *levels);

/* Pass-through test report: sends bytes 4..63 of `in`, copies bytes 4..63 of
 * the reply to `out`. 0, or -1. */
BRIDGEIO_API int scantest(BridgeHandle handle, const uint8_t *in, uint8_t *out);

/* ---- Firmware and bootloader ------------------------------------------ */

/* Puts the adapter into its bootloader. 0, or -1.
 *
 * Both switches may make an adapter on HID re-enumerate: its device node
 * goes and a new one appears. The library then waits up to 3 s for the same
 * adapter (same USB serial number; without one, the only adapter with the
 * USB ID) and opens it behind the same handle; last_open_result tells which
 * node. When it does not come back in time the switch returns -1. */
BRIDGEIO_API int return_to_bootloader(BridgeHandle handle);

/* Leaves the bootloader and starts the firmware. Reply bytes 4..7, or -1.
 * Re-enumeration as for return_to_bootloader. */
BRIDGEIO_API int start_firmware(BridgeHandle handle);

/* Bootloader version word (0 for none); writes "major.minor.patch" into the
 * 12-byte buffer when one is given. -1 and nothing written on failure. */
BRIDGEIO_API int get_bootloader_version(BridgeHandle handle, char *text);

/* Firmware version word (0 when no firmware is programmed); as above. */
BRIDGEIO_API int get_firmware_version(BridgeHandle handle, char *text);

/* Reads a firmware image file and sends it with send_firmware. The path is
 * converted to a file name with the current locale (LC_CTYPE); on Windows it
 * is UTF-16, any file name the system allows. Only a
 * regular file is read (a FIFO, directory or device is not waited for); a
 * file larger than the adapter's flash holds is refused. -1 if the path
 * cannot be converted or the file cannot be opened or read; otherwise the
 * result of send_firmware. */
BRIDGEIO_API int load_firmware(BridgeHandle handle, const wchar_t *path);

/* Sends an image (8-byte header, then 256-byte pages, then an end mark); a
 * trailing partial page is filled up with 0xFF, so every byte is flashed.
 * -1 if an exchange failed, or without any exchange when the image has no
 * page or more pages than the adapter's flash holds (1024); the adapter's
 * nonzero status if it refused the header; otherwise the status word of the
 * reply to the end mark. */
BRIDGEIO_API int send_firmware(BridgeHandle handle, const uint8_t *image, uint32_t size);

/* Called by send_firmware (and so load_firmware) after each page the adapter
 * has taken, with the pages written so far and the image's page count, on
 * the thread that flashes. One callback for the process; NULL removes it. */
typedef void (*BridgeFlashProgress)(void *context, uint32_t written, uint32_t pages);
BRIDGEIO_API void set_flash_progress(BridgeFlashProgress callback, void *context);

/* Reads 64 bytes of adapter memory (the whole reply). 0, or -1. */
BRIDGEIO_API int read_m(BridgeHandle handle, uint32_t address, uint8_t *out);

/* Replaces the bootloader with a 16384-byte image. 0; -1 or -2 if the
 * announcement failed; -1 if a block exchange failed. */
BRIDGEIO_API int update_bootloader(BridgeHandle handle, const uint8_t *image);

/* ---- Scripts and converters ------------------------------------------- */

/* Stores `length` script bytes at `offset` of the adapter's script memory,
 * in chunks of 53 bytes. The status word of the last chunk's reply (0 for
 * an empty script, which sends nothing), or -1 at the first failed chunk. */
BRIDGEIO_API int load_script(BridgeHandle handle, const uint8_t *script, uint32_t offset,
                             uint32_t length);

/* Runs the stored script from an offset; the 60-byte result block is copied
 * to `result` whatever the status (nothing is copied when the exchange
 * failed). 0 when the status is 0, -4 otherwise, -1 when the exchange
 * failed. */
BRIDGEIO_API int execute_script(BridgeHandle handle, uint32_t offset, uint8_t *result);

/* Starts an analog-to-digital converter. 0, or -1. */
BRIDGEIO_API int init_adc(BridgeHandle handle, uint32_t adc);

/* One conversion: the reading; -2 when the adapter reported a failure; -1. */
BRIDGEIO_API int read_adc(BridgeHandle handle, uint32_t adc, uint32_t channel);

/* ---- Peripherals ------------------------------------------------------ */

/* Sets up PWM channel 0..3 (duty in percent, frequency in hertz). The
 * adapter has three PWM slots; a channel keeps its slot for the library's
 * lifetime, so at most three distinct channels can be set up. The period
 * count is kept in cprds[channel]. 0; -1 without exchange when no slot is
 * free, the channel is above 3 or the frequency is 0; -1 when the exchange
 * failed. */
BRIDGEIO_API int init_pwm(BridgeHandle handle, uint32_t channel, uint32_t duty, uint32_t frequency);

/* Changes the duty cycle (percent, may be negative) of a PWM channel
 * (taken modulo 4) from its period count in cprds. 0, or -1. */
BRIDGEIO_API int set_pwm(BridgeHandle handle, uint32_t channel, int32_t duty);

/* Loads eight look-up table values; the count is limited to 1023. 0, or -1. */
BRIDGEIO_API int load_lut(BridgeHandle handle, const uint32_t *values, uint32_t count);

/* Starts the DAC writing from the look-up table. 0, or -1. */
BRIDGEIO_API int start_dac_write(BridgeHandle handle, uint32_t a, uint32_t b);

/* Reads a FIFO packet. Without a callback: one exchange, 56 bytes copied to
 * `buffer` when given; returns the reply status word, or -1. With a
 * callback: the callback and the three values are stored in read_callback,
 * cb_data, cb_data2 and cb_data3, the request is sent without reading a
 * reply (not at all when `request` is 0), and an asynchronous read is
 * started; returns 0 started, -1 send failed, -2 read not started (no link,
 * or the previous asynchronous read has not completed yet).
 *
 * The asynchronous read receives the first report that arrives from then
 * on. Its callback runs on the caller's own thread, inside the library's
 * next wait on the link: the exchange of any later command (before that
 * command's own reply is read), or korra_stop_packet_flow. No thread of the
 * library ever calls it. The callback may start the next read by calling
 * korra_read_fifo_packet with request 0; it must not call other commands. */
BRIDGEIO_API int korra_read_fifo_packet(BridgeHandle handle, uint32_t request, uint8_t *buffer,
                                        BridgeReadCallback callback, uint32_t data1, uint32_t data2,
                                        uint32_t data3);

/* Stops the packet stream, then reads and discards what the adapter still
 * sends until the link has been quiet for 500 ms (an asynchronous read that
 * is still waiting receives the first of those reports, then is dropped).
 * Reply bytes 4..7 of the stop command, or -1. */
BRIDGEIO_API int korra_stop_packet_flow(BridgeHandle handle);

/* Data transfer (mode 1..3; start limited to 255, count to 256 - start).
 * Returns the reply status word, or -1; -1 without exchange for a mode
 * outside 1..3. In mode 1 a status of 1..60 is the number of bytes the
 * reply carries; they are copied to `buffer` (when given), at most `count`
 * of them, so a buffer of `count` bytes is enough. */
BRIDGEIO_API int dti_transfer(BridgeHandle handle, uint32_t mode, uint8_t *buffer, uint32_t start,
                              uint32_t count);

/* Shake table control. Modes other than 1: one exchange; 0, or -1.
 * Mode 1 uploads two tables (lengths limited to 2000 bytes; a null table
 * counts as empty) in chunks of 50, then reads the adapter's closing reply:
 * returns 0, -1 (time-out) or -2 (I/O error) from that read, or -1 when an
 * exchange of the upload failed. */
BRIDGEIO_API int shake_table_ctrl(BridgeHandle handle, uint32_t mode, const uint8_t *table1,
                                  const uint8_t *table2, uint32_t length1, uint32_t length2);

/* Starts the demonstration mode: sends the command, waits one second, then
 * reads the reply. The reply status word; -1 (time-out) or -2 (I/O error). */
BRIDGEIO_API int start_demo(BridgeHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* BRIDGEIO_H */

// The serial link to the RS-485 adapter: opening and configuring the device through
// libserialport, the timed request/answer exchange, and the link's maintenance operations.
#pragma once

#include "serial/operator_texts.h"

#include <cstdint>
#include <span>

struct sp_port;

/// Holder of the open libserialport port; empty (null) before serial_open.
struct SerialLink {
    sp_port* port = nullptr;
};

/// Opens device at 4,000,000 baud 8N1 without flow control, clears NOFLSH and, for paths
/// beginning "/dev/ttyUSB", asks for low latency. Ends the process with status 255 when the
/// device cannot be looked up, opened or set to the baud rate, or when the driver reports a rate
/// the motors cannot read (it substituted another), after the operator's message on standard
/// output and the failed call with its reason on standard error ("sp_open: Permission denied",
/// "sp_set_baudrate: the driver reports 9600 baud, not 4000000"). Returns 0, the library's code
/// when no descriptor is to be had, or -1 when NOFLSH could not be cleared; the port stays
/// open and usable in every returned case.
std::int32_t serial_open(SerialLink& link, const char* device);

/// Writes request, waits until it has left the transmitter, then reads up to answer.size()
/// bytes within timeout_ms (0 waits without limit). Returns the count read, or the write's
/// count or code when the write came up short, SP_ERR_FAIL when the request had not left within
/// SERIAL_DRAIN_LIMIT_MS, or a negative libserialport code from the read.
/// Input already waiting is never discarded: it is what the read returns first. Bytes identical
/// to request that arrive first are the adapter's echo of it and are skipped, within the same
/// timeout. A hang-up of the device ends the wait at once with what was read (serial_hung_up).
std::int32_t serial_exchange(sp_port* port, std::span<const std::uint8_t> request,
                             std::span<std::uint8_t> answer, std::uint16_t timeout_ms);

/// Whether the device has hung up: the adapter was unplugged or reset, and the port reads end of
/// file for good. A wait of serial_exchange ends at once when it happens.
bool serial_hung_up(sp_port* port);

/// Discards whatever the adapter has received and nobody has read yet. Returns the library's
/// status.
std::int32_t serial_discard_input(sp_port* port);

/// Writes bytes and waits until they have been transmitted, at most SERIAL_DRAIN_LIMIT_MS of
/// running time (a stop does not count). Returns SP_OK, SP_ERR_FAIL when they did not leave in
/// time or the wait failed, or the library's code when the port is not open.
std::int32_t serial_send(sp_port* port, std::span<const std::uint8_t> bytes);

/// Closes the port and frees it, leaving the link empty. On a failed close, reports it and
/// returns the library's code with the port still allocated.
std::int32_t serial_close(SerialLink& link);

/// Closes the port and frees it, leaving the link empty, waiting at most SERIAL_DRAIN_LIMIT_MS
/// for output still queued: a driver holds the close of a port whose bytes never left for its
/// closing wait (30 s on cdc_acm, which in Linux 6.1 cannot be told to discard them), and the
/// process exit would wait as long. Reports nothing: the run's verdict is already out.
void serial_release(SerialLink& link);

/// Clears NOFLSH on a terminal descriptor. Returns 0, or -1 after a perror line naming the
/// failed call.
std::int32_t serial_disable_noflsh(int fd);

/// Sets ASYNC_LOW_LATENCY in the driver's serial settings. Returns the write-back's result, or
/// -1 without writing anything back when the settings cannot be read.
std::int32_t serial_set_low_latency(int fd);

// motor-sim --help.
#include "options.hpp"
#include "version.h"

namespace sim {

const char *usage_text()
{
    return R"(Usage: motor-sim [OPTION]... [--] COMMAND [ARG]...
       motor-sim --tap [--record FILE] [--device PATH] [TRACE]... -- COMMAND [ARG]...
       motor-sim --replay FILE [OPTION]... -- COMMAND [ARG]...
       motor-sim --serve LINE [--motor MOTOR]... [--no-motor] [TRACE]...
Run COMMAND with a simulated USB-to-RS-485 adapter and KV-R2730-4 motors, so that a
renumbering can be rehearsed without hardware. COMMAND sees the device (default
/dev/ttyUSB0) through a preloaded adapter layer that leads it to a pseudo-terminal;
motor-sim plays the motors on the other end and writes a trace. Standard input,
output and error are COMMAND's own. The exit status is COMMAND's (128+N if signal
N ended it), or 125 if motor-sim itself failed.

Bus:
  --device PATH          simulated device path (default /dev/ttyUSB0), relative ones
                         too; one outside /dev stands for a link to /dev/NAME
  --motor MOTOR          add a motor; repeat for several motors on the bus.
                         MOTOR is ID or ID:FAULT[,FAULT...], ID from 0 to 14.
                         Without --motor the bus has one honest motor with ID 0.
  --no-motor             empty bus: nobody answers

Motor faults (in MOTOR):
  silent                 never answers and ignores commands
  ignore-command         answers control frames, ignores the change command
  delay=MS               answers the change command MS ms late
  reply-id=N             takes identifier N instead of the requested one and
                         answers FC 01 N BB
  truncate=N             sends only the first N bytes of its command answer
                         (the change still happens)
  reply=HEX              answers the change command with these bytes, e.g.
                         reply=FC0501BB (the change still happens)
  extra=HEX              appends these bytes to its command answer
  control-delay=MS       answers control frames MS ms late
  control-extra=HEX      appends these bytes to each control answer

Adapter faults:
  --refuse-open          opening the device fails (EACCES)
  --refuse-baud          setting 4000000 baud fails (EINVAL)
  --write-limit N        the adapter takes at most N bytes of each write
                         (0: nothing; the write returns 0)
  --echo                 every byte sent comes back to COMMAND before any answer
  --hangup-after N       the device vanishes once the Nth frame has arrived,
                         unanswered (0: as soon as COMMAND opens it)
  --hangup-after N:MS    the Nth frame (N from 1) reaches the motors, and the device
                         vanishes MS ms after it arrived, e.g. --hangup-after 3:1000
                         for an adapter unplugged during the answer wait
  --hangup-after-read N  the device vanishes as soon as COMMAND has read N bytes
                         from it in all, before that read returns
  --send-after N:MS:HEX  MS ms after the Nth frame has arrived (N from 1), the bus
                         sends these bytes to COMMAND, e.g. --send-after 2:300:FC0101BB
                         for input still waiting when the change command goes out
  --refuse-low-latency   TIOCSSERIAL fails (EPERM)
  --no-serial-info       TIOCGSERIAL fails (ENOTTY)
  --substitute-baud RATE asked for 4000000 baud, the driver sets RATE instead
                         and reports it in the terminal settings
  --silent-baud RATE     asked for 4000000 baud, the adapter runs RATE while the
                         terminal settings keep 4000000, as ch341 does with 3000000;
                         the motors hear noise
  --stall-drain          the transmitter never empties: writes never reach the
                         line, and every drain waits until a signal interrupts it

The adapter, as sysfs shows it under /sys/class/tty/NAME:
  --driver NAME          the kernel driver bound to it (default: ftdi_sio for ttyUSB
                         names, cdc_acm for ttyACM, serial8250 for others)
  --usb-ids VID:PID[:BCD]  the USB device behind a ttyUSB or ttyACM name (default:
                         0403:6014:0900, an FTDI FT232H, for ttyUSB; 1a86:55d3:0445,
                         a WCH CH343, for ttyACM); other names are a UART clocked at
                         64 MHz on the platform bus

Real device and recordings:
  --tap                  run COMMAND against the real device, simulating nothing, and
                         trace every byte written to and read from it, with times
                         (the device: --device, else COMMAND's first /dev/ argument)
  --record FILE          with --tap: also write the run to FILE as a recording,
                         COMMAND's standard output included (it then comes through
                         a pipe, fully buffered)
  --replay FILE          play the motor side of a recording: each recorded answer
                         is sent when COMMAND has sent what it answered, after the
                         recorded delay (the device: --device, else the recorded one;
                         no other serial device opens); then judge the whole run
                         (arguments, device, frames, the gaps between them, flushes,
                         output, line settings, exit status): exit 0 if it matches
                         the recording, else 120 after a line naming the first
                         difference and the recording's line; an incomplete
                         recording is refused (125)
  --serve LINE           play the motors on a real line (a serial port, a USB
                         gadget's tty, a pseudo-terminal) with no COMMAND, until a
                         signal or a hang-up; any program can open the line's other
                         end as a serial port

Trace:
  --trace human|lines    readable lines (default), or key=value records
  --trace-file PATH      write the trace to PATH instead of standard error
  -h, --help             show this help and exit

The motors:
  Bytes from COMMAND are split into frames: FE EE starts a 17-byte control frame
  (byte 2: motor ID in bits 0-3, status in bits 4-6; bytes 15-16: CRC-16/KERMIT of
  bytes 0-14, low byte first), FB starts a 4-byte short command, anything else is
  unknown. A control frame with a bad checksum is ignored.
  A motor answers a control frame to its ID (or to 15, everybody) with 16 bytes:
  FD DD, (ID | status << 4), eleven zero bytes, CRC-16/KERMIT of those 14 bytes,
  low byte first.
  A motor answers FB 01 X BB whose X has its ID (or 15) in the low four bits by
  taking the high four bits of X as its new ID and answering FC 01 <new ID> BB.
  Other short commands are traced and ignored.
  Answers to the same frame due at the same moment collide: the line carries the
  byte-wise AND of all of them, over the longest one's length (a shorter answer
  counts as FF, the idle line, where it has ended).

Trace records (--trace lines), one per line:
  open device=PATH | open-refused device=PATH
  close t=MS                            (COMMAND closed the device)
  serve device=LINE                     (--serve, once the line is open)
  tx t=MS kind=control motor=M status=S crc=good|bad bytes=HEX
  tx t=MS kind=short cmd=C arg=A id=I target=T bytes=HEX
  tx t=MS kind=unknown bytes=HEX
  rx t=MS bytes=HEX
  drain t=MS                            (COMMAND waits for the transmitter to empty)
  hangup t=MS
  start wall=ISO-8601-UTC monotonic=SECONDS     (--tap, first)
  flush t=MS bytes=HEX                          (--tap: what an input flush discarded)
  fail t=MS call=write|read|settings|flush|drain error=ERRNO-NAME      (--tap)
  eof t=MS                                      (--tap: a read met end of file)
  verdict result=matched | verdict result=departed line=N      (--replay)
  low-latency requested=yes|no
  motor index=I start=ID end=ID
  exit status=N
  (t: milliseconds since COMMAND started; HEX: upper case, no spaces)
  With --tap, rx is what COMMAND read, and there are no open or motor records.

Recordings (--record, --replay): text, one record per line; the records and the
  rules a file must keep are in motor-sim(1), RECORDINGS.

Examples:
  motor-sim -- renumber /dev/ttyUSB0 0 1
  motor-sim --motor 3 --motor 5 -- renumber /dev/ttyUSB0 3 4
  motor-sim --motor 0:reply-id=2 -- renumber /dev/ttyUSB0 0 1
  motor-sim --motor 0:delay=4000 --trace lines --trace-file run.trace -- \
      renumber /dev/ttyUSB0 0 1
  motor-sim --device /dev/ttyACM0 --no-motor -- renumber /dev/ttyACM0 0 1
  motor-sim --driver ch341-uart --usb-ids 1a86:7523 --silent-baud 3000000 -- \
      renumber /dev/ttyUSB0 0 1
  motor-sim --tap --record bench.rec -- renumber /dev/ttyUSB0 0 1
  motor-sim --replay bench.rec -- renumber /dev/ttyUSB0 0 1
  motor-sim --serve /dev/ttyGS0 --motor 0 --trace lines --trace-file motors.trace

)"
           "motor-sim " RENUMBER_VERSION ", renumber's simulated bench\n";
}

} // namespace sim

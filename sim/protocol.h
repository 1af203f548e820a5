/* Names shared by motor-sim and its adapter layer (C and C++). */
#ifndef MOTOR_SIM_PROTOCOL_H
#define MOTOR_SIM_PROTOCOL_H

/* Simulated device path, e.g. /dev/ttyUSB0; the layer is inert without it. */
#define MOTOR_SIM_ENV_DEVICE "MOTOR_SIM_DEVICE"
/* Path of the pseudo-terminal slave that stands in for the device. */
#define MOTOR_SIM_ENV_PTY "MOTOR_SIM_PTY"
/* Comma-separated adapter faults: refuse-open, refuse-baud, refuse-low-latency,
 * no-serial-info, write-limit=N, substitute-baud=RATE, silent-baud=RATE, stall-drain,
 * replay (a replay: ask before each write and drain, report input flushes, refuse other serial
 * devices; see below). */
#define MOTOR_SIM_ENV_FAULTS "MOTOR_SIM_FAULTS"
/* Folder holding the simulated device's sysfs as paths below it (<folder>/sys/class/tty/...);
 * the layer answers those paths under /sys from there. */
#define MOTOR_SIM_ENV_SYSFS "MOTOR_SIM_SYSFS"
/* Descriptor number of an inherited AF_UNIX SOCK_SEQPACKET socket: the layer sends
 * one text event per message and waits for a one-byte acknowledgement, so motor-sim
 * has handled the event before the faked call returns. */
#define MOTOR_SIM_ENV_EVENT_FD "MOTOR_SIM_EVENT_FD"

/* The tap (motor-sim --tap): path of the device whose traffic is reported, and the
 * descriptor number of an inherited AF_UNIX SOCK_SEQPACKET socket the reports go to.
 * Tap reports are never acknowledged: the command does not wait for motor-sim. These
 * names differ from the simulation's so that a tap survives a motor-sim started
 * under it (motor-sim --tap -- motor-sim -- COMMAND taps the simulated device). */
#define MOTOR_SIM_ENV_TAP "MOTOR_SIM_TAP"
#define MOTOR_SIM_ENV_TAP_FD "MOTOR_SIM_TAP_FD"

/* Longest event message, terminating NUL excluded. */
#define MOTOR_SIM_EVENT_MAX 512

/* Events, first word of each message:
 *   open <path>                  the simulated device was opened
 *   open-refused <path>          an open was refused (refuse-open fault)
 *   close                        an opened device descriptor was closed
 *   serial-get-refused           TIOCGSERIAL failed (no-serial-info fault)
 *   serial-set <low> <result>    TIOCSSERIAL; <low> low-latency=yes|no, <result> ok|refused
 *   baud-refused <rate>          a termios2 speed change was refused (refuse-baud fault)
 *   write-limited <asked> <took> a write was cut short (write-limit fault)
 *   write <ns>                   the command is about to write to the device (CLOCK_MONOTONIC)
 *   read <count>                 the command read count (> 0) bytes from the device
 *   drain                        the command waits for the transmitter to empty (tcdrain)
 *   close                        the command closed the device
 *   baud-substituted <asked> <runs>  the adapter runs another rate and says so
 *   baud-silent <asked> <runs>   the adapter runs another rate and keeps the asked one in the
 *                                terminal settings (silent-baud fault)
 *   call write <count> <ns>      (replay) a write is about to be passed on, made at ns
 *                                (CLOCK_MONOTONIC); the answer is "k" to go on or
 *                                "e<errno>" to fail it
 *   call drain                   (replay) the same for a drain (tcdrain)
 *   open-foreign <path>          (replay) an open of a serial device other than the
 *                                simulated one was refused (ENOENT)
 *   flush                        (replay) the command is about to flush the device's input
 */

/* Tap reports, first word of each message; NS is CLOCK_MONOTONIC in nanoseconds:
 *   tap-tx NS HEX                bytes the device accepted from a write
 *   tap-rx NS HEX                bytes a read took from the device
 *   tap-open NS                  the device was first opened
 *   tap-flush NS HEX|-           an input flush, with the bytes it discarded (- for none)
 *   tap-fail NS CALL ERRNAME     a call failed: write, read, settings, flush, drain
 *   tap-eof NS                   a read met end of file (the line hung up)
 *   tap-line NS OSPEED CFLAG IFLAG OFLAG LFLAG   line settings as a device descriptor is
 *                                closed, or as the command exits with it open
 *                                (speed in decimal, flags in hexadecimal)
 *   tap-close NS                 a device descriptor is being closed
 *   tap-serial NS LOW RESULT     TIOCSSERIAL; LOW low-latency=yes|no, RESULT ok or
 *                                the errno name
 * Long transfers come as several tap-tx, tap-rx or tap-flush reports with the same NS.
 * A failure repeated without a success in between is reported once. */
#define MOTOR_SIM_TAP_CHUNK 200

#endif

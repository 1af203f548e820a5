# shellcheck shell=dash
# renumber-doctor on the guest's real /sys, /dev and /proc: for each port a driver case ran
# renumber on, the doctor's verdict (taken before that run) matches what renumber then did.

doctor_acm() { expect_doctor_agrees /dev/ttyACM0; }
doctor_ftdi() { expect_doctor_agrees /dev/ttyUSB0; }
doctor_uart() { expect_doctor_agrees /dev/ttyS1; }
kernel_case doctor/ttyACM0 doctor_acm
kernel_case doctor/ttyUSB0 doctor_ftdi
kernel_case doctor/ttyS1 doctor_uart

// COM names on systems without COM ports: one rule, shared by the POSIX serial link
// (which opens "COM7" or "\\.\COM7") and the Linux port enumeration (which reports it).
//
//   COM1   .. COM100  <->  /dev/ttyS0   .. /dev/ttyS99     (legacy UARTs, as Windows numbers them)
//   COM101 .. COM200  <->  /dev/ttyUSB0 .. /dev/ttyUSB99   (USB serial converters)
//   COM201 .. COM300  <->  /dev/ttyACM0 .. /dev/ttyACM99   (CDC ACM devices)
#pragma once
#include <cstddef>

// The COM number in "COMn" or "\\.\COMn" (letters in any case, n decimal, nothing
// behind), or 0 when the text is not of that form.
int ComNumberFromName(const char* name);

// Writes the device node for COM number n into out. 0 on success; 1 when n lies outside
// the rule or out is too small.
int ComNumberToDevicePath(int n, char* out, size_t outSize);

// The COM number of a device node under the rule ("/dev/ttyUSB0" -> 101), or 0.
int DevicePathToComNumber(const char* devicePath);

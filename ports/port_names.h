// COM names: one rule for every part that names a port. A port is "COMn" to people, and
// "\\.\COMn" to the system (COM10 and up exist only in the device namespace, and the form
// names every port whatever its number). On systems without COM ports the number maps to
// a device node, for the POSIX serial link and the Linux port enumeration:
//
//   COM1   .. COM100  <->  /dev/ttyS0   .. /dev/ttyS99     (legacy UARTs, as Windows numbers them)
//   COM101 .. COM200  <->  /dev/ttyUSB0 .. /dev/ttyUSB99   (USB serial converters)
//   COM201 .. COM300  <->  /dev/ttyACM0 .. /dev/ttyACM99   (CDC ACM devices)
#pragma once
#include <cstddef>

// The COM number in "COMn" or "\\.\COMn" (letters in any case, n decimal, nothing
// behind), or 0 when the text is not of that form.
int ComNumberFromName(const char* name);

// Writes "COMn" (ComPortName) or "\\.\COMn" (ComPortPath) into out. 0 on success; 1 when
// out is too small or n is negative, or 0 for a name (a path for port 0 names no port, so
// a run on it fails cleanly).
int ComPortName(int n, char* out, size_t outSize);
int ComPortPath(int n, char* out, size_t outSize);

// Writes the device node for COM number n into out. 0 on success; 1 when n lies outside
// the rule or out is too small.
int ComNumberToDevicePath(int n, char* out, size_t outSize);

// The COM number of a device node under the rule ("/dev/ttyUSB0" -> 101), or 0.
int DevicePathToComNumber(const char* devicePath);

#pragma once

#include <QSerialPort>

// A tty whose output buffer is full refuses a write with EAGAIN, which the
// serial library reports as ResourceError, the very error of an unplugged
// adapter. It keeps the unwritten bytes and writes them once there is room,
// so a full buffer is only the line's pace, never a reason to close.

// Called with a port's error while the port is open: true when the link is
// lost (the device hung up or failed). A full output buffer is cleared from
// the port, which stays open and goes on writing: false. Other errors are
// the caller's to judge: false.
bool portErrorMeansLost(QSerialPort &port, QSerialPort::SerialPortError error);

// True when a frame written now goes to the system at once: the port holds
// nothing unwritten and the system's buffer has room.
bool portHasRoom(const QSerialPort &port);

// True when the device hung up or failed under the open port: a line that
// will never have room again.
bool portHungUp(const QSerialPort &port);

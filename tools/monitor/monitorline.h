#pragma once

#include "command/commanddecoder.h"

#include <QString>
#include <QTime>

// One line of the monitor's output: the time the bytes arrived, the bytes in
// hexadecimal in a column of their own, and what they mean:
// "12:00:01.250  03 01 2c ff  Load folder 300 SEQ Reset".
QString monitorLine(const QTime &arrival, const ScannedItem &item);

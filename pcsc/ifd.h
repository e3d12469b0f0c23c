// pcsc-lite's driver header, whose declarations carry no C linkage of their
// own: the driver's entry points must have it.
#pragma once

extern "C" {
#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
}

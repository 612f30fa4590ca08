// CPLD programming: GPIO pin access on both processor families (gpio_pins.h), the CPLD's JTAG
// port with identification, user code and programming (cpld_access.h), and the XSVF player that
// plays a programming stream over that port (xsvf_player.h).
#pragma once

#include "cpld/cpld_access.h"
#include "cpld/gpio_pins.h"
#include "cpld/xsvf_player.h"

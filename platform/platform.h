// The Windows CE platform as the program sees it: the API subset it calls, register windows and
// processor accessors. The program includes only headers from this folder for platform services.
#pragma once

#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/storage.h"
#include "platform/text.h"
#include "platform/types.h"
#include "platform/window.h"

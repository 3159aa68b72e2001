// Everything the kernel stand-in offers a driver, in one include.
#pragma once

#include "platform/kernel/base.h"
#include "platform/kernel/files.h"
#include "platform/kernel/interfaces.h"
#include "platform/kernel/irp.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/power.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/timer.h"
#include "platform/kernel/usb.h"
#include "platform/kernel/wmi.h"
#include "platform/kernel/workitem.h"

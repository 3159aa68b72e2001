// Everything of the primitive library frame: status codes, dispatch, processor selection,
// the aligned allocator and the version records.
#pragma once

#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/memory.h"
#include "jpeg/primitives/frame/status.h"
#include "jpeg/primitives/frame/version.h"

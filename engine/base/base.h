// The engine's base layer: file handler, file sessions, memory files, password list,
// error catalogue, value conversions and TSystemList.
#pragma once

#include "engine/base/conversions.h"
#include "engine/base/datetime.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "engine/base/locale.h"
#include "engine/base/memory_file.h"
#include "engine/base/platform.h"
#include "engine/base/system_list.h"

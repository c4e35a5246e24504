// Named shared memory (file mappings) and named mutexes for non-Windows builds.
#pragma once

#include "platform/posix/types.h"

// The only Windows include of the project. On Windows it brings in the SDK; elsewhere it declares
// the subset of the Windows API the library uses, with the same names and signatures, implemented
// in platform/posix (kernel objects, threads, time, debugger output) and platform/simaudio (core audio).
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmreg.h>
#include <mmsystem.h>
#include <ks.h>
#include <ksmedia.h>
#include <shlobj.h>
#include <psapi.h>
#include <cstdio>
#include <cwchar>
#else
#include "platform/posix/types.h"
#include "platform/posix/kernel.h"
#include "platform/posix/named_objects.h"
#include "platform/posix/process.h"
#include "platform/posix/com.h"
#endif

#include "platform/debug_output.h"

static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes");
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
